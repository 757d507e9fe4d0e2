#pragma once

#include <string>

#include "relay/RelayTimings.h"

// The Wi-Fi configuration procedure of the --wifi run mode: finds the unit at
// `ipAddress`, resets its Wi-Fi settings and stores the new network name and
// password. Returns the process exit status (0 on success, 1 on any failure).
int configureWifi(const std::string& ipAddress, const std::string& ssid,
                  const std::string& password);
// The same with other waits, so that tests need not sit out the unit's.
int configureWifi(const std::string& ipAddress, const std::string& ssid,
                  const std::string& password, const RelayTimings& timing);
