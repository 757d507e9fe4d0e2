#pragma once

#include "relay/RelayTimings.h"

// The --discover run mode: probes like the broadcast search and prints one
// line "<serial> <address>" per unit that answered, sorted by address.
// Returns the process exit status: 0 when a unit answered, 1 when none did
// ("No MonitorRelay unit answered." on standard error). Writes no file.
int listUnits(const RelayTimings& timing = RelayTimings());
