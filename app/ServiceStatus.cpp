#include "app/ServiceStatus.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <thread>

#include "config/Configuration.h"
#include "service/ServiceNotify.h"
#include "sync/Mutex.h"

namespace {

using Clock = std::chrono::steady_clock;

// A stop that has not finished by then ends the process anyway: the service
// manager expects the bridge gone within 2 s.
constexpr std::chrono::milliseconds kStopDeadline{1800};
// How often the status (and its rate) is brought up to date at most.
constexpr std::chrono::milliseconds kStatusPeriod{1000};

enum class Phase { Starting, Searching, Linked };

struct State {
    // Guards every field below; taken alone, never with a bridge lock held
    // by this module (callers may hold theirs: nothing here calls back).
    psmr_sync::Mutex mutex;
    std::condition_variable stopSignalled;
    bool stop GUARDED_BY(mutex) = false;
    bool readySent GUARDED_BY(mutex) = false;
    Phase phase GUARDED_BY(mutex) = Phase::Starting;
    std::string search GUARDED_BY(mutex);
    std::string serial GUARDED_BY(mutex);
    std::string address GUARDED_BY(mutex);
    bool simUp GUARDED_BY(mutex) = false;
    bool appUp GUARDED_BY(mutex) = false;
    bool running GUARDED_BY(mutex) = false;
    bool unitSilent GUARDED_BY(mutex) = false;
    Clock::time_point lastAnswer GUARDED_BY(mutex){};
    Clock::time_point rateSince GUARDED_BY(mutex){};
    std::size_t rateValues GUARDED_BY(mutex) = 0;
    long valuesPerSecond GUARDED_BY(mutex) = 0;
    std::string lastSent GUARDED_BY(mutex);
};

// Never destroyed: the signal thread may still use it while the process exits.
State& state() {
    static State* s = new State;
    return *s;
}

std::atomic<std::size_t> forwarded{0};

std::string composeLocked(State& s, Clock::time_point now) REQUIRES(s.mutex) {
    std::ostringstream text;
    switch (s.phase) {
        case Phase::Starting:
            text << "Starting";
            break;
        case Phase::Searching:
            text << "Searching for the unit (" << s.search << ")";
            break;
        case Phase::Linked: {
            const std::string links = std::string("SIM ") + (s.simUp ? "up" : "down") + ", APP " +
                                      (s.appUp ? "up" : "down");
            if (s.unitSilent) {
                const auto silent =
                    std::chrono::duration_cast<std::chrono::seconds>(now - s.lastAnswer);
                text << "Unit not answering for " << silent.count() << " s";
            } else if (!s.running && !(s.simUp && s.appUp)) {
                text << "Waiting for the simulation server (" << links << ")";
            } else if (!s.running) {
                text << "Simulation stopped";
            } else {
                text << "Forwarding to " << s.serial << " at " << s.address << ": "
                     << s.valuesPerSecond << " values/s; server " << links;
            }
            break;
        }
    }
    return text.str();
}

// Sends STATUS= when its text changed; `mutex` held.
void publishLocked(State& s) REQUIRES(s.mutex) {
    if (!service::notifying()) {
        return;
    }
    const auto now = Clock::now();
    if (now - s.rateSince >= kStatusPeriod) {
        const std::size_t total = forwarded.load();
        const auto elapsed = std::chrono::duration<double>(now - s.rateSince).count();
        if (s.rateSince != Clock::time_point{} && elapsed > 0) {
            s.valuesPerSecond = static_cast<long>((total - s.rateValues) / elapsed + 0.5);
        }
        s.rateSince = now;
        s.rateValues = total;
    }
    const std::string text = composeLocked(s, now);
    if (text != s.lastSent) {
        s.lastSent = text;
        service::notify("STATUS=" + text);
    }
}

void stopOnSignals(sigset_t signals) {
    int number = 0;
    while (sigwait(&signals, &number) != 0) {
    }
    State& s = state();
    psmr_sync::UniqueLock lock(s.mutex);
    std::cout << "MR>Stopping on " << (number == SIGINT ? "SIGINT" : "SIGTERM") << "..."
              << std::endl;
    service::notify("STOPPING=1");
    s.stop = true;
    s.stopSignalled.notify_all();
    // Still searching: no connection is open and the unit was not enabled,
    // so there is nothing to undo and the search need not be waited for.
    if (s.phase != Phase::Linked) {
        std::_Exit(0);
    }
    // Otherwise the main thread disables the unit and closes the connections;
    // a teardown that hangs must not keep the process beyond its deadline.
    s.stopSignalled.wait_for(lock.native(), kStopDeadline);
    lock.unlock();
    std::cerr << "MR>ERROR>The orderly stop took too long; leaving now." << std::endl;
    std::_Exit(0);
}

}  // namespace

void ServiceStatus::configurationRead(const Configuration& configuration) {
    State& s = state();
    psmr_sync::LockGuard lock(s.mutex);
    if (!configuration.ipAddress.empty()) {
        s.search = "address " + configuration.ipAddress;
    } else if (!configuration.ipRangeStart.empty() && !configuration.ipRangeEnd.empty()) {
        s.search = "range " + configuration.ipRangeStart + " to " + configuration.ipRangeEnd;
    } else {
        s.search = "broadcast";
    }
    s.phase = Phase::Searching;
    publishLocked(s);
    if (!s.readySent) {
        s.readySent = true;
        service::notify("READY=1");
    }
}

void ServiceStatus::unitFound(const std::string& serial, const std::string& address) {
    State& s = state();
    psmr_sync::LockGuard lock(s.mutex);
    s.serial = serial;
    s.address = address;
    s.phase = Phase::Linked;
    s.unitSilent = false;
    s.lastAnswer = Clock::now();
    publishLocked(s);
}

void ServiceStatus::serverConnection(bool sim, bool up) {
    State& s = state();
    psmr_sync::LockGuard lock(s.mutex);
    (sim ? s.simUp : s.appUp) = up;
    publishLocked(s);
}

void ServiceStatus::simulationRunning(bool running) {
    State& s = state();
    psmr_sync::LockGuard lock(s.mutex);
    if (running != s.running) {
        s.running = running;
        publishLocked(s);
    }
}

void ServiceStatus::valuesForwarded(std::size_t count) {
    forwarded.fetch_add(count, std::memory_order_relaxed);
}

void ServiceStatus::unitChecked(bool answered) {
    State& s = state();
    psmr_sync::LockGuard lock(s.mutex);
    if (answered) {
        s.lastAnswer = Clock::now();
    }
    s.unitSilent = !answered;
    publishLocked(s);
}

void ServiceStatus::handleStopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread(stopOnSignals, signals).detach();
}

bool ServiceStatus::stopRequested() {
    State& s = state();
    psmr_sync::LockGuard lock(s.mutex);
    return s.stop;
}

bool ServiceStatus::pauseUnlessStopped(std::chrono::milliseconds period) {
    State& s = state();
    const auto end = Clock::now() + period;
    psmr_sync::UniqueLock lock(s.mutex);
    for (;;) {
        service::watchdog();
        publishLocked(s);
        const auto now = Clock::now();
        if (s.stop || now >= end) {
            return s.stop;
        }
        // Short slices keep the watchdog and the rate current during long pauses.
        s.stopSignalled.wait_for(lock.native(),
                                 std::min<Clock::duration>(end - now, kStatusPeriod / 4));
    }
}

std::string ServiceStatus::statusText() {
    State& s = state();
    psmr_sync::LockGuard lock(s.mutex);
    return composeLocked(s, Clock::now());
}
