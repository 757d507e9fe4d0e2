#include "app/BridgeLoop.h"

#include <cstdlib>
#include <iostream>

#include "app/SimulatorSample.h"
#include "config/Configuration.h"

bool runBridges(Configuration& configuration, bool debug, const BridgeTimings& timings,
                const std::function<bool()>& another) {
    do {
        bool initialized = false;
        {
            SimulatorSample bridge(&configuration, timings);
            initialized = bridge.initialize(debug);
            if (initialized) {
                std::cout << "MR>Running..." << std::endl;
                bridge.run();
                std::cout << "MR>Disconnected!!" << std::endl;
            }
            // Leaving the scope closes both connections and disables the unit
            // before a new bridge is built (or the process ends).
        }
        if (!initialized) {
            std::cerr << "MR>ERROR>Unable to initialize the MonitorRelay interface module. Leaving "
                         "now!"
                      << std::endl;
            return false;
        }
    } while (another());
    return true;
}

void runBridgeLoop(Configuration& configuration, bool debug) {
    runBridges(configuration, debug, BridgeTimings(), [] { return true; });
    std::exit(1);
}
