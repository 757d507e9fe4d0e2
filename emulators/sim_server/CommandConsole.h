#pragma once

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

#include "emulators/sim_server/SimServerEmulator.h"

namespace simemu {

// A fault to inject: KIND on PROTO, `delay` after start (program option) or at
// once (console). KIND: drop, midframe, len32, stall, unknown, badkind, refuse.
struct FaultRequest {
    std::string kind;
    Protocol protocol = Protocol::Sim;
    std::chrono::milliseconds delay{0};      // --fault only
    std::chrono::milliseconds period{2000};  // refuse only
};

// The operator's commands, one line each (see README.md):
//   set NAME VALUE | run | stop | pause | resume | speed X | reset | load | start
//   calib ACTION ARG | fault KIND sim|app [MS] | status | help | quit
class CommandConsole {
  public:
    enum class Outcome { Done, Quit, Error };

    explicit CommandConsole(SimServerEmulator& emulator) : emu_(emulator) {}

    // Runs one line; replies go to `out`, complaints to `err`. Blank lines and
    // '#' comments do nothing.
    Outcome execute(const std::string& line, std::ostream& out, std::ostream& err);

    // "KIND:PROTO[:DELAY_MS[:PERIOD_MS]]", the --fault option's syntax.
    static std::optional<FaultRequest> parseFault(const std::string& text);
    static void inject(SimServerEmulator& emu, const FaultRequest& fault);

  private:
    SimServerEmulator& emu_;
};

}  // namespace simemu
