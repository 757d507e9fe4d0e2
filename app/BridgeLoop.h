#pragma once

#include <functional>

#include "app/BridgeTimings.h"

class Configuration;

// Builds, runs and rebuilds the bridge for ever; ends the process with status 1
// when a set-up fails.
[[noreturn]] void runBridgeLoop(Configuration& configuration, bool debug);

// The loop itself: reads the configuration, builds a bridge with `timings`,
// runs it until the unit is lost, destroys it and, while `another()` says so,
// starts over at once. Returns false when a
// set-up failed (after its message), true when `another()` ended the loop.
bool runBridges(Configuration& configuration, bool debug, const BridgeTimings& timings,
                const std::function<bool()>& another);
