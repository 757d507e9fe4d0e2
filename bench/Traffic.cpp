#include "bench/Traffic.h"

#include <cmath>

#include "emulators/sim_server/AppMessages.h"
#include "emulators/sim_server/Frame.h"

namespace fwdbench {

namespace {

// A block is cut at every 10 arterial samples (the bridge's 50 Hz and 25 Hz
// conversion groups); each waveform's reply value is its first sample.
constexpr unsigned kBlockSamples = 10;
constexpr unsigned kInitialSamples = 1;

std::uint32_t id(const char* name) {
    return serverIdOf(name);
}

}  // namespace

const std::vector<TrafficInput>& trafficInputs() {
    // A patient with every sensor and catheter in place, so that each block
    // carries all five waveforms.
    static const std::vector<TrafficInput> inputs = {
        {"ARTERIAL_CATHETER_DEPTH", true, 3},
        {"CVP_CATHETER_DEPTH", true, 3},
        {"PA_CATHETER_DEPTH", true, 3},
        {"PULSE_SENSOR", true, 1},
        {"SPO2_PROBE", true, 1},
        {"CAPNOGRAPH_SENSOR", true, 1},
        {"TEMP_BODY_SENSOR", true, 1},
        {"TEMP_BLOOD_SENSOR", true, 1},
        {"NIBP_SENSOR", true, 1},
        {"SIMULATOR_XCONNECTED", true, 0},
        {"ARTLINE", false, 95},
        {"PLINE", false, 18},
        {"CVPLINE", false, 6},
        {"CAPNOGRAM", false, 0},
        {"PLETH", false, 50},
        {"SAO2", false, 97},
        {"EXT_DABP", true, 80},
        {"EXT_MAP", true, 93},
        {"EXT_SABP", true, 120},
        {"HRPM", true, 72},
        {"RRPM", true, 14},
        {"BODY_TEMP", false, 37.0f},
        {"bloodTemp", false, 37.2f},
    };
    return inputs;
}

std::uint32_t serverIdOf(const std::string& name) {
    const auto& inputs = trafficInputs();
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (inputs[i].name == name) {
            return kIdBase + static_cast<std::uint32_t>(i);
        }
    }
    return 0;
}

UpdateStream makeUpdateStream(const TrafficOptions& options) {
    using simemu::app::ValueRecord;
    UpdateStream stream;
    unsigned waiting = kInitialSamples;
    std::size_t blocks = 0;
    const std::uint32_t artline = id("ARTLINE");
    const std::uint32_t pline = id("PLINE");
    const std::uint32_t cvpline = id("CVPLINE");
    const std::uint32_t capnogram = id("CAPNOGRAM");
    const std::uint32_t pleth = id("PLETH");
    std::vector<ValueRecord> records;
    for (unsigned u = 0; u < options.updates; ++u) {
        records.clear();
        // Sample-major, as the server batches them: one instant after another.
        for (unsigned s = 0; s < options.samplesPerUpdate; ++s) {
            const float t = static_cast<float>(u * options.samplesPerUpdate + s) * 0.012f;
            records.push_back({artline, 95.0f + 25.0f * std::sin(t * 7.5f)});
            records.push_back({pline, 18.0f + 8.0f * std::sin(t * 7.5f)});
            records.push_back({cvpline, 6.0f + 2.0f * std::sin(t * 1.5f)});
            records.push_back({capnogram, 38.0f * std::max(0.0f, std::sin(t * 1.5f))});
            records.push_back({pleth, 50.0f + 45.0f * std::sin(t * 7.5f)});
        }
        if (options.numericsEvery > 0 && u % options.numericsEvery == 0) {
            const unsigned k = u / options.numericsEvery;
            records.push_back({id("HRPM"), static_cast<float>(60 + k % 40)});
            records.push_back({id("RRPM"), static_cast<float>(12 + k % 8)});
            records.push_back({id("SAO2"), 95.0f + static_cast<float>(k % 5) * 0.5f});
            records.push_back({id("EXT_SABP"), static_cast<float>(120 + k % 10)});
            records.push_back({id("EXT_DABP"), static_cast<float>(80 + k % 5)});
            records.push_back({id("EXT_MAP"), static_cast<float>(93 + k % 7)});
            records.push_back({id("BODY_TEMP"), 37.0f + static_cast<float>(k % 10) * 0.05f});
            records.push_back({id("bloodTemp"), 37.2f + static_cast<float>(k % 6) * 0.05f});
        }
        const simemu::Bytes frame = simemu::encodeFrame(
            simemu::kFrameKindData, simemu::app::patientUpdate(kSceId, 0, records));
        stream.bytes.insert(stream.bytes.end(), frame.begin(), frame.end());
        stream.frameEnds.push_back(stream.bytes.size());
        waiting += options.samplesPerUpdate;
        if (waiting >= kBlockSamples) {
            ++blocks;  // all whole tens go in one block
            waiting %= kBlockSamples;
        }
        stream.blocksThrough.push_back(blocks);
    }
    return stream;
}

}  // namespace fwdbench
