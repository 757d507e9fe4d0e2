#include "app/BridgeLoop.h"

#include <cstdlib>
#include <iostream>

#include "app/MetricsEndpoint.h"
#include "app/SimulatorSample.h"
#include "config/Configuration.h"
#include "metrics/Metrics.h"

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
                psmr_metrics::metrics().countRebuild();
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
    // Outlives every bridge: the figures span the rebuilds.
    auto metricsEndpoint = startMetricsEndpoint(configuration.filePath);
    runBridges(configuration, debug, BridgeTimings(), [] { return true; });
    // exit() destroys no local: the endpoint's thread must end before the figures do.
    metricsEndpoint.reset();
    std::exit(1);
}
