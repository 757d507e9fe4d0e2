#pragma once

#include <chrono>
#include <optional>
#include <ostream>
#include <string>

#include "emulators/relay_unit/RelayUnitEmulator.h"

namespace relayunit {

// A drop or delay of the replies to the next `count` requests named `name`.
struct ReplyFault {
    std::string name;
    int count = 0;
    std::chrono::milliseconds delay{0};
};

// "NAME:N" (drop) or, with `withDelay`, "NAME:N:MS"; the option syntax.
std::optional<ReplyFault> parseReplyFault(const std::string& text, bool withDelay);
// A number from 0 to 1.
std::optional<double> parseFraction(const std::string& text);

// The control channel of a running unit, one command a line (see README.md):
//   silent [SECONDS] | talk | forget | reply-loss FRACTION | drop-replies NAME N |
//   delay-replies NAME N MS | delay MS | split on|off | status | help
// Writes its answer to `out`; false when the line was not understood.
bool runControlCommand(RelayUnitEmulator& unit, const std::string& line, std::ostream& out);

}  // namespace relayunit
