// The unit's supervision on the main thread: checked every period while the
// simulation runs or a calibration is in progress, revived after repeated
// failures and given up after too many in a row (SupervisionRules).
#include <iostream>
#include <thread>

#include "app/ServiceStatus.h"
#include "app/SimulatorSample.h"

void SimulatorSample::enableOutsideLock() {
    if (relay.isEnabled()) {
        return;
    }
    relay.enable();
    settleUnit(true);
}

bool SimulatorSample::settleUnit(bool enableTried) {
    // The simulation may start or stop while the unit is being talked to, and
    // other threads enable it too: each step looks at the flags again, so the
    // last change wins. A unit that does not take the enabling is left to the
    // next check rather than asked again here.
    bool enabledIt = false;
    for (;;) {
        bool wanted = false;
        {
            psmr_sync::LockGuard lock(mutex);
            wanted = simulationRunning || calibration.calibrating;
        }
        if (wanted == relay.isEnabled()) {
            return enabledIt;
        }
        if (!wanted) {
            relay.disable();
            continue;
        }
        if (enableTried) {
            return enabledIt;
        }
        enableTried = true;
        relay.enable();
        enabledIt = relay.isEnabled();
    }
}

bool SimulatorSample::run() {
    const SupervisionRules& rules = timings.supervision;
    int failures = 0;
    for (;;) {
        if (ServiceStatus::pauseUnlessStopped(rules.checkPeriod)) {
            relay.disable();  // the monitors first; the bridge loop closes the rest
            return false;
        }
        {
            // The flags are written by the receive threads under the mutex.
            psmr_sync::LockGuard lock(mutex);
            if (!simulationRunning && !calibration.calibrating) {
                continue;
            }
        }
        // The unit is asked without the bridge mutex, so that blocks keep
        // going out while a reply is awaited; the adaptor keeps the requests
        // apart from each other and from command sessions.
        // A lost reply to the enabling costs one period, not the scenario.
        enableOutsideLock();
        // A watchdog left unarmed would let the unit run on unwatched.
        relay.rearmWatchdog();
        const bool answered = relay.checkConnection();
        ServiceStatus::unitChecked(answered);
        if (answered) {
            if (failures >= rules.failuresToAnnounceRecovery) {
                // Intended: an "ERROR"-prefixed line on the output stream, as
                // the operators' log filters know it.
                std::cout << "MR>ERROR>Connection reestablished..." << std::endl;
            }
            failures = 0;
            // A unit found by a search may have moved (DHCP): after long
            // silence, search again. Under the mutex: the link is replaced.
            psmr_sync::LockGuard lock(mutex);
            if (relay.researchIfSilent()) {
                countdowns.resetAll();  // every numeric again for the unit found
            }
            continue;
        }
        const int n = failures + 1;
        if (rules.reviveEvery > 0 && n % rules.reviveEvery == 0) {
            std::cerr << "MR>ERROR>Unable to reach the MonitorRelay unit... (" << n
                      << "). Reconnecting..." << std::endl;
            relay.disable();
            enableOutsideLock();
        }
        if (n >= rules.failuresToGiveUp) {
            std::cerr << "MR>ERROR>No answer from the MonitorRelay unit for too long. "
                         "Disconnecting."
                      << std::endl;
            return true;
        }
        failures = n;
    }
}
