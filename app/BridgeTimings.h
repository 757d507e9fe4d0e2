#pragma once

#include <chrono>

#include "client/core/CSTimings.h"
#include "relay/RelayTimings.h"

// Every period of the bridge in one place. The defaults are the real values;
// tests shorten them so that "eleven failed checks" need not last 22 seconds.
struct BridgeTimings {
    std::chrono::milliseconds checkPeriod{2000};      // unit supervision in run()
    std::chrono::milliseconds calibrationCycle{120};  // test-signal period of the worker
    RelayTimings relay;
    com_nax::CSTimings client;
};
