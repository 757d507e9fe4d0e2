#pragma once

#include <chrono>

#include "client/core/CSTimings.h"

namespace prototest {

// Client timings short enough for reconnection and close scenarios to run in
// well under a second; the keep-alive keeps its real period unless a test says.
inline com_nax::CSTimings fastTimings() {
    com_nax::CSTimings t;
    t.reconnectPause = std::chrono::milliseconds(50);
    t.closePollInterval = std::chrono::milliseconds(50);
    t.waitPollInterval = std::chrono::milliseconds(50);
    t.receiveTimeout = std::chrono::milliseconds(100);
    return t;
}

}  // namespace prototest
