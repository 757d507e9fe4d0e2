#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "emulators/sim_server/ByteCodec.h"

// The APP-port traffic of a running scenario, generated deterministically:
// what the server answers the bridge's APP input subscriptions with, and a
// stream of patient updates (samplesPerUpdate samples of each of the five
// waveforms per update, numerics every so often) as framed bytes.
namespace fwdbench {

// The scenario the traffic belongs to; ids carry it, as a real server's do.
constexpr std::uint32_t kSceId = 7;

// One APP input as the server knows it.
struct TrafficInput {
    std::string name;
    bool isInt = false;
    float initial = 0;  // the current value the subscription reply carries
};

// The APP inputs of the bridge (a test holds them against its table), with
// the server ids this traffic gives them: kIdBase plus their position here.
const std::vector<TrafficInput>& trafficInputs();
constexpr std::uint32_t kIdBase = 1001;
// 0 for a name the server does not know.
std::uint32_t serverIdOf(const std::string& name);

struct TrafficOptions {
    unsigned updates = 20000;
    unsigned samplesPerUpdate = 4;
    // Numerics ride along every this many updates (every 300 ms at 4 samples).
    unsigned numericsEvery = 25;
};

// The update stream, frame after frame, and where each frame ends.
struct UpdateStream {
    simemu::Bytes bytes;
    std::vector<std::size_t> frameEnds;  // offset just past frame i
    // Command sessions a forwarder has sent once it has taken frames 0..i:
    // one per whole 10 arterial samples, counting the one sample of each
    // waveform that the subscription reply carried.
    std::vector<std::size_t> blocksThrough;
};

UpdateStream makeUpdateStream(const TrafficOptions& options);

}  // namespace fwdbench
