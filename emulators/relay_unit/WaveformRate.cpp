#include "emulators/relay_unit/WaveformRate.h"

namespace relayunit {

double ratePerSecond(const std::vector<Arrival>& arrivals, Clock::time_point now,
                     const RateWindow& window) {
    const auto since = now - window.span;
    std::size_t i = 0;
    while (i < arrivals.size() && arrivals[i].at < since) {
        ++i;
    }
    if (i == arrivals.size()) {
        return 0;
    }
    // The first burst only marks the start: its values belong to the time before it.
    auto burstEnd = arrivals[i].at;
    for (++i; i < arrivals.size() && arrivals[i].at - burstEnd < window.burstGap; ++i) {
        burstEnd = arrivals[i].at;
    }
    const auto start = burstEnd;
    std::size_t values = 0;
    auto last = start;
    for (; i < arrivals.size(); ++i) {
        values += arrivals[i].count;
        last = arrivals[i].at;
    }
    const auto span = std::max(last - start, now - start - window.grace);
    const double seconds = std::chrono::duration<double>(span).count();
    return values == 0 || seconds <= 0 ? 0 : static_cast<double>(values) / seconds;
}

double ratePerSecond(const std::vector<WaveformBlock>& blocks, Clock::time_point now,
                     const RateWindow& window) {
    std::vector<Arrival> arrivals;
    arrivals.reserve(blocks.size());
    for (const auto& block : blocks) {
        arrivals.push_back({block.at, block.values.size()});
    }
    return ratePerSecond(arrivals, now, window);
}

}  // namespace relayunit
