#pragma once

#include <atomic>
#include <functional>

#include "emulators/relay_unit/RelayUnitEmulator.h"

namespace relayunit {

// The full-screen monitor on the terminal: the five traces in Braille, the
// numerics beside them and a status line, redrawn at least ten times a second.
// Returns when `q` is typed or `stop` turns true (the caller's SIGINT and
// SIGTERM handlers set it); the terminal is restored in every case.
// `everyFrame` runs once a frame, for the caller's periodic work.
void runMonitorScreen(const RelayUnitEmulator& unit, const std::atomic<bool>& stop,
                      const std::function<void()>& everyFrame);

}  // namespace relayunit
