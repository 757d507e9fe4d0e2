#include "app/BridgeLoop.h"

#include <cstdlib>
#include <iostream>

#include "config/Configuration.h"

// Placeholder until the bridge object exists: reads the configuration once.
void runBridgeLoop(Configuration& configuration, bool /*debug*/) {
    configuration.readConfiguration();
    std::cerr << std::endl
              << "MR>ERROR>Unable to initialize the MonitorRelay interface module. Leaving now!"
              << std::endl;
    std::exit(1);
}
