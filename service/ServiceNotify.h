#pragma once

#include <string>

// The service manager's notification protocol (readiness, status, watchdog),
// spoken only when the manager asked for it by setting NOTIFY_SOCKET: run by
// hand, the programs send nothing and behave as they always did.
namespace service {

// True when NOTIFY_SOCKET names a socket to notify.
bool notifying();

// Sends one notification, for example "READY=1" or "STATUS=...".
void notify(const std::string& state);

// Tells the manager that the calling loop still turns. Called as often as the
// loop likes: it goes out about four times per watchdog period (WATCHDOG_USEC),
// and not at all when the manager set no watchdog.
void watchdog();

}  // namespace service
