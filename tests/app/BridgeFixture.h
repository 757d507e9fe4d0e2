#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/SimulatorSample.h"
#include "emulators/relay_unit/RelayUnitEmulator.h"
#include "support/ScratchDir.h"
#include "support/WaitUntil.h"

using com_nax::CSClient;
using namespace std::chrono_literals;

inline CSClient::Parameter intParam(const char* id, int32_t v) {
    return CSClient::Parameter::makeInt(id, v);
}
inline CSClient::Parameter floatParam(const char* id, float v) {
    return CSClient::Parameter::makeFloat(id, v);
}

// Appends `values` as a run of samples of waveform `id`.
inline void addSamples(std::vector<CSClient::Parameter>& list, const char* id,
                       const std::vector<float>& values) {
    for (float v : values) {
        list.push_back(floatParam(id, v));
    }
}

inline const char* kBridgeXml = R"(<?xml version="1.0" encoding="utf-8"?>
<MonitorRelay>
    <IPAddress>127.0.0.2</IPAddress>
    <IPRangeStart></IPRangeStart>
    <IPRangeEnd></IPRangeEnd>
    <SerialID></SerialID>
    <SPO2Scale>5</SPO2Scale>
    <CO2Calibration>
        <Entry key="0" value="1"/>
        <Entry key="40" value="501"/>
    </CO2Calibration>
    <SPO2Calibration>
        <Entry key="85" value="60"/>
        <Entry key="100" value="30"/>
    </SPO2Calibration>
</MonitorRelay>
)";

// A bridge set up against an emulated unit at 127.0.0.2 in the test's own
// network namespace, with short supervision periods. No simulation server
// runs: the tests hand update lists to parametersUpdated themselves.
class BridgeFixture : public testing::Test {
  protected:
    void SetUp() override {
        configPath = (dir / "bridge.xml").string();
        std::ofstream(configPath) << kBridgeXml;
        configuration = std::make_unique<Configuration>(configPath.c_str());

        startUnit("MR-TEST-1");
        timings.supervision.checkPeriod = 30ms;
        timings.relay.fixedAddressTries = 3;
        timings.client.reconnectPause = 200ms;
        timings.client.closePollInterval = 50ms;
        timings.client.waitPollInterval = 50ms;
        bridge = std::make_unique<SimulatorSample>(configuration.get(), timings);
        ASSERT_TRUE(bridge->initialize(false));
    }

    void TearDown() override {
        bridge.reset();
        unit.reset();
    }

    void startUnit(const std::string& serial) {
        unit.reset();
        relayunit::EmulatorOptions options;
        options.address = "127.0.0.2";
        options.serial = serial;
        options.watchdogTimeout = 60s;
        unit = std::make_unique<relayunit::RelayUnitEmulator>(options);
        unit->start();
    }

    // Sensors present, catheters placed, and the simulation running; returns
    // once the unit is enabled and its watchdog armed.
    void startSimulation(std::vector<CSClient::Parameter> extra = {}) {
        std::vector<CSClient::Parameter> list = {intParam("PULSE_SENSOR", 1),
                                                 intParam("NIBP_SENSOR", 1),
                                                 intParam("TEMP_BODY_SENSOR", 1),
                                                 intParam("TEMP_BLOOD_SENSOR", 1),
                                                 intParam("ARTERIAL_CATHETER_DEPTH", 0),
                                                 intParam("CVP_CATHETER_DEPTH", 3),
                                                 intParam("PA_CATHETER_DEPTH", 5),
                                                 intParam("HRPM", 72),
                                                 intParam("RRPM", 14),
                                                 floatParam("SAO2", 90.0f),
                                                 intParam("EXT_SABP", 120),
                                                 intParam("EXT_DABP", 80),
                                                 intParam("EXT_MAP", 93),
                                                 floatParam("BODY_TEMP", 36.66f),
                                                 floatParam("bloodTemp", 37.2f)};
        list.insert(list.end(), extra.begin(), extra.end());
        list.push_back(intParam("HW_PATSPEED", 1));
        bridge->parametersUpdated(list);
        ASSERT_TRUE(unit->enabled()) << "the unit was not enabled";
        // enableWatchdog ends with the commands PLETH 0 and CO2 0.
        ASSERT_TRUE(unit->waitForLine("CO2", 2s)) << "no CO2 0 after the watchdog";
        mark = unit->lines().size();
    }

    // One update list with `n` samples of each waveform (ARTLINE 80,81,84,90,93...).
    void sendBlock(size_t n = 10) {
        std::vector<CSClient::Parameter> list;
        const float art[5] = {80, 81, 84, 90, 93};
        const float pleth[5] = {10, 20, 30, 40, 50};
        for (size_t i = 0; i < n; ++i) {
            list.push_back(floatParam("ARTLINE", art[i % 5]));
            list.push_back(floatParam("PLETH", pleth[i % 5]));
            list.push_back(floatParam("CVPLINE", static_cast<float>(5 + i)));
            list.push_back(floatParam("PLINE", static_cast<float>(20 + i % 5)));
            list.push_back(floatParam("CAPNOGRAM", 20.0f));
        }
        bridge->parametersUpdated(list);
    }

    // "NAME=VALUE" of every line the unit received since the last mark.
    std::vector<std::string> linesSinceMark() const {
        std::vector<std::string> out;
        const auto all = unit->lines();
        for (size_t i = mark; i < all.size(); ++i) {
            out.push_back(all[i].name + "=" + all[i].value);
        }
        return out;
    }

    // Waits until `count` lines named `name` have arrived since the mark.
    bool waitForLines(const std::string& name, size_t count,
                      std::chrono::milliseconds timeout = 3s) const {
        return testsupport::waitUntil(
            [&] {
                size_t n = 0;
                for (const auto& l : linesSinceMark()) {
                    n += l.rfind(name + "=", 0) == 0;
                }
                return n >= count;
            },
            timeout);
    }

    // The working directory too: the last-connected-address file goes there.
    testsupport::ScratchDir scratch{"bridgetest", true};
    std::filesystem::path dir = scratch.path();
    std::string configPath;
    std::unique_ptr<Configuration> configuration;
    std::unique_ptr<relayunit::RelayUnitEmulator> unit;
    BridgeTimings timings;
    std::unique_ptr<SimulatorSample> bridge;
    size_t mark = 0;
};
