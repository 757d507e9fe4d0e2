#pragma once

class Configuration;

// Builds, runs and rebuilds the bridge for ever; ends the process on a failed set-up.
[[noreturn]] void runBridgeLoop(Configuration& configuration, bool debug);
