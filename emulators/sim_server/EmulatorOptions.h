#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "emulators/sim_server/ScenarioScript.h"

namespace simemu {

// The emulator's fixed timings in one place; tests may shorten them.
struct EmulatorTimings {
    // One sample of each waveform every 12 ms (83 1/3 per second), as the
    // server streams them.
    std::chrono::milliseconds sampleInterval{12};
    // Samples per waveform batched into one patient update.
    unsigned samplesPerUpdate = 4;
    // How often the SIM side looks for changed values to send.
    std::chrono::milliseconds simPoll{10};
};

struct EmulatorOptions {
    std::string address = "127.0.0.1";
    std::uint16_t simPort = 55580;  // 0: ephemeral, see SimServerEmulator::simPort()
    std::uint16_t appPort = 55557;  // 0: ephemeral, see SimServerEmulator::appPort()
    // Answer a flow-control start with the scenario list first, then the answer.
    bool listBeforeFlowControl = false;
    // Start a scenario as soon as the emulator starts.
    bool autoRun = false;
    // The APP port accepts and reads but never answers (not even the start-up).
    bool muteApp = false;
    // SIM values go out with the float flag, integers included (HW_PATSPEED 1.0).
    bool simFloatValues = false;
    // No progress lines on stdout (failures still go to stderr).
    bool quiet = false;
    std::string versionText = "SimServerEmulator 1.0";
    std::uint32_t protocolVersion = 2;
    ScenarioScript script = ScenarioScript::builtIn();
    EmulatorTimings timing;
};

}  // namespace simemu
