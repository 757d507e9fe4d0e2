// The unit's association and health: enabling and disabling it, its watchdog
// and the periodic check, each a request and its reply wait.
#include <iostream>
#include <string>

#include "metrics/Metrics.h"
#include "relay/MonitorRelayAdaptor.h"
#include "relay/UnitEncoding.h"

using unit_encoding::printable;

void MonitorRelayAdaptor::enable() {
    // Checked before the lock too: the calibration worker calls this every
    // cycle and must not queue behind a health check waiting for its reply.
    if (!connected_ || enabled_) {
        return;
    }
    psmr_sync::LockGuard lock(requestMutex_);
    if (!connected_ || enabled_) {
        return;
    }
    if (sendRequest("ASSOC", serialId_, "[assoc]@") != "[assoc]@") {
        reportNotEnabled();  // the run loop's check retries
        return;
    }
    const std::string reply = sendRequest("ENABLE", "", "[enabled]@");
    if (reply == "[enabled]@") {
        enabled_ = true;
        notEnabledReported_ = false;
        psmr_metrics::metrics().unitEnabled(true);
        std::cout << "MR>Enabled" << std::endl;
        enableWatchdog();
    } else {
        std::cerr << "MR>ERROR>Unable to associate to the MR unit " << printable(reply)
                  << std::endl;
        reportNotEnabled();
    }
}

void MonitorRelayAdaptor::reportNotEnabled() {
    // Once per episode: the calibration worker retries every 120 ms.
    if (!notEnabledReported_) {
        notEnabledReported_ = true;
        std::cerr << "MR>ERROR>MonitorRelay unit not enabled (association or enabling refused or "
                     "unanswered); retrying"
                  << std::endl;
    }
}

void MonitorRelayAdaptor::disable() {
    psmr_sync::LockGuard lock(requestMutex_);
    if (!enabled_) {
        return;
    }
    if (sendRequest("DISABLE", "", "[disabled]@") == "[disabled]@") {
        std::cout << "MR>Disabled" << std::endl;
    }
    enabled_ = false;
    watchdogArmed_ = false;
    psmr_metrics::metrics().unitEnabled(false);
}

void MonitorRelayAdaptor::enableWatchdog() {
    armWatchdog(true);
    sendCommand("PLETH", "0");
    psmr_metrics::countWaveformSent(enabled_, "PLETH", "0");  // a value the monitor draws
    sendCommand("CO2", "0");
}

void MonitorRelayAdaptor::armWatchdog(bool first) {
    const std::string reply = sendRequest("WDT", 1, "[wdt]ok@");
    if (reply == "[wdt]ok@") {
        watchdogArmed_ = true;
        watchdogReported_ = false;
        std::cout << "MR>Watchdog enabled" << std::endl;
        return;
    }
    watchdogArmed_ = false;
    if (first) {
        std::cerr << "MR>ERROR>Failed to enable watchdog " << printable(reply) << std::endl;
    }
    if (!watchdogReported_) {
        watchdogReported_ = true;
        std::cerr << "MR>ERROR>MonitorRelay watchdog not armed; retrying at every check"
                  << std::endl;
    }
}

void MonitorRelayAdaptor::rearmWatchdog() {
    psmr_sync::LockGuard lock(requestMutex_);
    if (enabled_ && !watchdogArmed_) {
        armWatchdog(false);
    }
}

bool MonitorRelayAdaptor::checkConnection() {
    psmr_sync::LockGuard lock(requestMutex_);
    // Intended: silence counts as healthy (a lost datagram on Wi-Fi is no
    // reason to revive the unit); only an unassociated answer fails. Long
    // silence is said once, and its end too.
    const std::string reply = sendRequest("ID", "MonitorRelay v2.2");
    if (reply.empty()) {
        if (++unansweredChecks_ >= timing_.silentChecksReported && !silenceReported_) {
            silenceReported_ = true;
            std::cerr << "MR>ERROR>No reply from the MonitorRelay unit to " << unansweredChecks_
                      << " health checks in a row; still trying" << std::endl;
        }
    } else {
        if (silenceReported_) {
            std::cout << "MR>MonitorRelay unit answers again" << std::endl;
        }
        unansweredChecks_ = 0;
        silenceReported_ = false;
        researchReported_ = false;
    }
    psmr_metrics::countHealthCheck(reply, kUnassociatedMarker);
    if (reply.find(kUnassociatedMarker) != std::string::npos) {
        std::cerr << "MR>ERROR>MonitorRelay unit is not associated anymore. Wrong response to ID "
                     "request: "
                  << printable(reply) << std::endl;
        return false;
    }
    return true;
}

void MonitorRelayAdaptor::getBattery() {
    psmr_sync::LockGuard lock(requestMutex_);
    const std::string reply = sendRequest("GET_BATT", "");
    unit_encoding::BatteryReading reading;
    if (!unit_encoding::parseBattery(reply, reading)) {
        std::cerr << "MR>ERROR>Invalid GET_BATT response:" << printable(reply) << std::endl;
        return;
    }
    std::cout << "MR>Battery level: " << reading.level
              << " plugged in: " << (reading.pluggedIn ? "true" : "false") << std::endl;
}
