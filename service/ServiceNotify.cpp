#include "service/ServiceNotify.h"

#include <systemd/sd-daemon.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>

namespace service {

namespace {

using Clock = std::chrono::steady_clock;

// Read once: the environment is the manager's and does not change.
bool socketNamed() {
    static const bool named = [] {
        const char* socket = std::getenv("NOTIFY_SOCKET");
        return socket != nullptr && *socket != '\0';
    }();
    return named;
}

// The watchdog period in microseconds, 0 when there is none for this process.
uint64_t watchdogPeriod() {
    static const uint64_t period = [] {
        uint64_t usec = 0;
        return socketNamed() && sd_watchdog_enabled(0, &usec) > 0 ? usec : uint64_t{0};
    }();
    return period;
}

}  // namespace

bool notifying() {
    return socketNamed();
}

void notify(const std::string& state) {
    if (socketNamed()) {
        sd_notify(0, state.c_str());
    }
}

void watchdog() {
    const uint64_t period = watchdogPeriod();
    if (period == 0) {
        return;
    }
    // Several loops may call; a quarter period between pings leaves the
    // manager three chances before it gives up on us.
    static std::atomic<int64_t> lastPing{0};
    const int64_t now =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
            .count();
    int64_t last = lastPing.load();
    if (last != 0 && now - last < static_cast<int64_t>(period / 4)) {
        return;
    }
    if (lastPing.compare_exchange_strong(last, now)) {
        sd_notify(0, "WATCHDOG=1");
    }
}

}  // namespace service
