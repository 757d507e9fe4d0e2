// Cost of the forwarding path: server update lists through parametersUpdated
// to command-session datagrams on a loopback UDP socket, received by an
// emulated unit.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "app/SimulatorSample.h"
#include "bench/BenchConfiguration.h"
#include "emulators/relay_unit/RelayUnitEmulator.h"

using com_nax::CSClient;

namespace {

// The server's waveforms come one sample per 12 ms each; it batches a few
// samples of each into one update list.
constexpr double kSamplesPerSecond = 1000.0 / 12.0;
constexpr int kWaveforms = 5;

struct Rig {
    Rig() {
        dir = std::filesystem::temp_directory_path() / ("fwdbench-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        std::filesystem::current_path(dir);
        std::ofstream(dir / "bridge.xml") << kBenchConfiguration;
        configuration = std::make_unique<Configuration>((dir / "bridge.xml").c_str());
        relayunit::EmulatorOptions options;
        options.watchdogTimeout = std::chrono::hours(1);
        unit = std::make_unique<relayunit::RelayUnitEmulator>(options);
        unit->start();
        bridge = std::make_unique<SimulatorSample>(configuration.get());
        if (!bridge->initialize(false)) {
            std::cerr << "no emulated unit answered at 127.0.0.2" << std::endl;
            std::exit(1);
        }
        bridge->parametersUpdated({
            CSClient::Parameter::makeInt("PULSE_SENSOR", 1),
            CSClient::Parameter::makeInt("NIBP_SENSOR", 1),
            CSClient::Parameter::makeInt("TEMP_BODY_SENSOR", 1),
            CSClient::Parameter::makeInt("TEMP_BLOOD_SENSOR", 1),
            CSClient::Parameter::makeInt("CAPNOGRAPH_SENSOR", 1),
            CSClient::Parameter::makeInt("ARTERIAL_CATHETER_DEPTH", 1),
            CSClient::Parameter::makeInt("CVP_CATHETER_DEPTH", 1),
            CSClient::Parameter::makeInt("PA_CATHETER_DEPTH", 1),
            CSClient::Parameter::makeInt("HW_PATSPEED", 1),
        });
    }
    ~Rig() {
        bridge.reset();
        unit.reset();
        std::filesystem::current_path("/");
        std::filesystem::remove_all(dir);
    }

    std::filesystem::path dir;
    std::unique_ptr<Configuration> configuration;
    std::unique_ptr<relayunit::RelayUnitEmulator> unit;
    std::unique_ptr<SimulatorSample> bridge;
};

Rig& rig() {
    static Rig instance;
    return instance;
}

// One update list: `samples` of each waveform and, every 20th list, a new HR.
std::vector<CSClient::Parameter> updateList(int samples, int64_t serial) {
    std::vector<CSClient::Parameter> list;
    list.reserve(static_cast<size_t>(samples * kWaveforms + 2));
    for (int i = 0; i < samples; ++i) {
        const float t = static_cast<float>(serial * samples + i) * 0.012f;
        list.push_back(
            CSClient::Parameter::makeFloat("ARTLINE", 95.0f + 25.0f * std::sin(t * 7.5f)));
        list.push_back(CSClient::Parameter::makeFloat("PLINE", 18.0f + 8.0f * std::sin(t * 7.5f)));
        list.push_back(CSClient::Parameter::makeFloat("CVPLINE", 6.0f + 2.0f * std::sin(t * 1.5f)));
        list.push_back(CSClient::Parameter::makeFloat("CAPNOGRAM", 35.0f * (std::sin(t) > 0)));
        list.push_back(CSClient::Parameter::makeFloat("PLETH", 50.0f + 45.0f * std::sin(t * 7.5f)));
    }
    if (serial % 20 == 0) {
        list.push_back(
            CSClient::Parameter::makeInt("HRPM", static_cast<int32_t>(60 + serial % 40)));
        list.push_back(CSClient::Parameter::makeFloat("SAO2", 97.0f));
    }
    return list;
}

void BM_ForwardUpdateLists(benchmark::State& state) {
    Rig& r = rig();
    const int samples = static_cast<int>(state.range(0));
    // Prebuilt lists, so the figure is the bridge's work, not the benchmark's.
    std::vector<std::vector<CSClient::Parameter>> lists;
    for (int64_t n = 0; n < 64; ++n) {
        lists.push_back(updateList(samples, n));
    }
    size_t next = 0;
    for (auto _ : state) {
        r.bridge->parametersUpdated(lists[next]);
        next = (next + 1) % lists.size();
    }
    const double lists_ = static_cast<double>(state.iterations());
    const double arterialSamples = lists_ * samples;
    state.counters["samples"] =
        benchmark::Counter(arterialSamples * kWaveforms, benchmark::Counter::kIsRate);
    state.counters["blocks"] =
        benchmark::Counter(std::floor(arterialSamples / 10.0), benchmark::Counter::kIsRate);
    // One second of simulation is 83.3 samples of each waveform.
    state.counters["sim_s"] =
        benchmark::Counter(arterialSamples / kSamplesPerSecond, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ForwardUpdateLists)->Arg(1)->Arg(4)->Arg(10)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
