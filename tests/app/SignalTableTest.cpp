// The peers keep their own copies of the bridge's input names: the emulator's
// default patient, the benchmark's traffic and its floor (independent on
// purpose, to catch the bridge's mistakes); the figures keep the unit's
// command names. Held here against the bridge's table, so that a signal added
// there and missing in a copy fails.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "app/SimulatorSample.h"
#include "emulators/sim_server/ParameterStore.h"
#include "metrics/Metrics.h"
#ifdef PSMR_CHECK_BENCH
#include "bench/FloorForwarder.h"
#include "bench/Traffic.h"
#endif

using com_nax::CSClient;

namespace {

template <typename Names>
std::set<std::string> asSet(const Names& names) {
    return std::set<std::string>(names.begin(), names.end());
}

// Name -> whether it is an integer input, for one connection of the bridge.
std::map<std::string, bool> bridgeInputs(const std::vector<CSClient::InputDef>& defs) {
    std::map<std::string, bool> inputs;
    for (const CSClient::InputDef& def : defs) {
        inputs[def.id] = def.type == CSClient::PARAM_INT;
    }
    return inputs;
}

}  // namespace

TEST(SignalTable, EveryPeerCopyHoldsEveryInputOfTheBridge) {
    const auto app = bridgeInputs(SimulatorSample::appInputs());
    auto all = bridgeInputs(SimulatorSample::simInputs());
    all.insert(app.begin(), app.end());
    ASSERT_FALSE(app.empty());

    // The default patient also holds inputs the bridge does not read.
    simemu::ParameterStore patient;
    simemu::defineDefaultPatient(patient);
    for (const auto& [name, isInt] : all) {
        const auto value = patient.get(name);
        if (!value) {
            ADD_FAILURE() << name << " is missing in emulators/sim_server/ParameterStore.cpp";
            continue;
        }
        EXPECT_EQ(value->type == simemu::ParamType::Int, isInt) << name;
    }

    // The figures count each command by its name: one they lack is not counted.
    SimulatorSample::nameFigures();
    EXPECT_EQ(psmr_metrics::metrics().numericNames(), SimulatorSample::unitCommands(false));
    EXPECT_EQ(asSet(psmr_metrics::kWaveforms), asSet(SimulatorSample::unitCommands(true)))
        << "metrics/Metrics.h: kWaveforms";

#ifdef PSMR_CHECK_BENCH
    std::map<std::string, bool> traffic;
    for (const fwdbench::TrafficInput& input : fwdbench::trafficInputs()) {
        traffic[input.name] = input.isInt;
    }
    EXPECT_EQ(traffic, app) << "bench/Traffic.cpp: the APP inputs and their types";

    std::set<std::string> appNames;
    for (const auto& input : app) {
        appNames.insert(input.first);
    }
    EXPECT_EQ(asSet(FloorForwarder::inputNames()), appNames)
        << "bench/FloorForwarder.cpp: the APP inputs";
#endif
}
