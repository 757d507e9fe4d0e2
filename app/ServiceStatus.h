#pragma once

#include <chrono>
#include <cstddef>
#include <string>

class Configuration;

// What the bridge tells the service manager: readiness once the configuration
// is read, a short status line kept current (search, forwarding rate, server
// connections, a silent unit, a stopped simulation), the watchdog, and the
// orderly stop on SIGTERM or SIGINT. The bridge calls it at the few points
// where its state changes; outside a service manager nothing is sent.
class ServiceStatus {
  public:
    // The configuration was read: ready (once), and the search it asks for.
    static void configurationRead(const Configuration& configuration);
    static void unitFound(const std::string& serial, const std::string& address);
    static void serverConnection(bool sim, bool up);
    static void simulationRunning(bool running);
    // Called on a receive thread for every block: only counts.
    static void valuesForwarded(std::size_t count);
    // The result of a health check of the unit.
    static void unitChecked(bool answered);

    // Turns SIGTERM and SIGINT into an orderly stop: call once on the main
    // thread before any other thread exists (they inherit the blocked signals).
    static void handleStopSignals();
    static bool stopRequested();
    // The supervision loop's pause: waits up to `period`, keeping the status
    // and the watchdog current; true as soon as a stop is requested.
    static bool pauseUnlessStopped(std::chrono::milliseconds period);
    // The text STATUS= would carry now (for the tests).
    static std::string statusText();
};
