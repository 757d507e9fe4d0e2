#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

#include "emulators/relay_unit/RelayUnitEmulator.h"

namespace relayunit {

// Some values (or datagrams) that arrived together.
struct Arrival {
    Clock::time_point at;
    std::size_t count = 0;
};

struct RateWindow {
    Clock::duration span = std::chrono::seconds(10);
    // Arrivals closer than this came in one burst (the blocks of one update).
    Clock::duration burstGap = std::chrono::milliseconds(20);
    // A pause shorter than this is not yet a slowdown: values come in blocks.
    Clock::duration grace = std::chrono::seconds(1);
};

// Values per second over the last `span` (or since the first arrival, if that
// is later). Counting whole bursts between the first and the last burst in
// the window, a steady stream reads its true rate however it is batched; a
// stream that stopped falls towards 0 once `grace` has passed.
double ratePerSecond(const std::vector<Arrival>& arrivals, Clock::time_point now,
                     const RateWindow& window = {});
double ratePerSecond(const std::vector<WaveformBlock>& blocks, Clock::time_point now,
                     const RateWindow& window = {});

}  // namespace relayunit
