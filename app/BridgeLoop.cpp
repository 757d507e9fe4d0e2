#include "app/BridgeLoop.h"

#include <cstdlib>
#include <iostream>

#include "app/MetricsEndpoint.h"
#include "app/ServiceStatus.h"
#include "app/SimulatorSample.h"
#include "config/Configuration.h"
#include "metrics/Metrics.h"

namespace {

// One bridge, from reading the configuration to the loss of the unit (or a
// stop). False when a set-up failed, after its message.
bool runBridge(Configuration& configuration, bool debug, const BridgeTimings& timings) {
    // Read again for every bridge and before it is built, so that what the
    // file says reaches its parts (an edited file counts from the next one).
    if (!SimulatorSample::readConfiguration(configuration)) {
        return false;
    }
    SimulatorSample bridge(&configuration, timings);
    if (!bridge.start(debug)) {
        return false;
    }
    std::cout << "MR>Running..." << std::endl;
    bridge.run();
    // A requested stop is not a lost unit.
    if (!ServiceStatus::stopRequested()) {
        std::cout << "MR>Disconnected!!" << std::endl;
        psmr_metrics::metrics().countRebuild();
    }
    // Leaving destroys the bridge: both connections closed and the unit
    // disabled before a new bridge is built (or the process ends).
    return true;
}

}  // namespace

bool runBridges(Configuration& configuration, bool debug, const BridgeTimings& timings,
                const std::function<bool()>& another) {
    do {
        if (!runBridge(configuration, debug, timings)) {
            std::cerr << "MR>ERROR>Unable to initialize the MonitorRelay interface module. Leaving "
                         "now!"
                      << std::endl;
            return false;
        }
    } while (!ServiceStatus::stopRequested() && another());
    return true;
}

void runBridgeLoop(Configuration& configuration, bool debug) {
    ServiceStatus::handleStopSignals();
    // Outlives every bridge: the figures span the rebuilds.
    SimulatorSample::nameFigures();
    auto metricsEndpoint = startMetricsEndpoint(configuration.filePath);
    BridgeTimings timings;
    // A stop must be over within 2 s: a waiting receive thread notices a close
    // within a fifth of a second, and close() looks for that as often, instead
    // of one second each for two connections one after the other.
    timings.client.receiveTimeout = std::chrono::milliseconds(200);
    timings.client.closePollInterval = std::chrono::milliseconds(50);
    timings.client.closeChecks = 40;
    runBridges(configuration, debug, timings, [] { return true; });
    // exit() destroys no local: the endpoint's thread must end before the figures do.
    metricsEndpoint.reset();
    // Only a stop ends the loop otherwise than by a failed set-up.
    std::exit(ServiceStatus::stopRequested() ? 0 : 1);
}
