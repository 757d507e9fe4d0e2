#include "emulators/relay_unit/RelayUnitEmulator.h"

#include <algorithm>

// What the unit received and shows, for tests and the screen, and the bound
// that keeps those records from growing without end.

namespace relayunit {

std::vector<ReceivedLine> RelayUnitEmulator::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

std::vector<ReceivedDatagram> RelayUnitEmulator::datagrams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return datagrams_;
}

std::size_t RelayUnitEmulator::datagramCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return datagrams_.size();
}

MonitorState RelayUnitEmulator::monitor() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return monitor_;
}

MonitorState RelayUnitEmulator::monitor(Clock::duration recent) const {
    std::lock_guard<std::mutex> lock(mutex_);
    MonitorState copy;
    copy.hr = monitor_.hr;
    copy.rr = monitor_.rr;
    copy.spo2 = monitor_.spo2;
    copy.spo2Probe = monitor_.spo2Probe;
    copy.spo2Scale = monitor_.spo2Scale;
    copy.sbp = monitor_.sbp;
    copy.dbp = monitor_.dbp;
    copy.mbp = monitor_.mbp;
    copy.t1 = monitor_.t1;
    copy.t2 = monitor_.t2;
    copy.co2Disabled = monitor_.co2Disabled;
    copy.waveformTotals = monitor_.waveformTotals;
    const auto since = Clock::now() - recent;
    for (const auto& wave : monitor_.waveforms) {
        const auto& blocks = wave.second;
        auto first = std::partition_point(blocks.begin(), blocks.end(),
                                          [&](const WaveformBlock& b) { return b.at < since; });
        copy.waveforms[wave.first].assign(first, blocks.end());
    }
    return copy;
}

UnitStatus RelayUnitEmulator::status(Clock::duration recent) const {
    std::lock_guard<std::mutex> lock(mutex_);
    UnitStatus s;
    s.associated = associated_;
    s.enabled = enabled_;
    s.watchdogArmed = watchdogArmed_;
    if (!datagrams_.empty()) {
        s.lastDatagram = datagrams_.back().at;
    }
    const auto since = Clock::now() - recent;
    for (auto d = datagrams_.rbegin(); d != datagrams_.rend() && d->at >= since; ++d) {
        s.recentDatagrams.push_back(d->at);
    }
    std::reverse(s.recentDatagrams.begin(), s.recentDatagrams.end());
    return s;
}

std::vector<float> RelayUnitEmulator::samples(const std::string& waveform) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<float> all;
    const auto it = monitor_.waveforms.find(waveform);
    if (it != monitor_.waveforms.end()) {
        for (const auto& block : it->second) {
            all.insert(all.end(), block.values.begin(), block.values.end());
        }
    }
    return all;
}

bool RelayUnitEmulator::associated() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return associated_;
}

bool RelayUnitEmulator::enabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return enabled_;
}

bool RelayUnitEmulator::watchdogArmed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return watchdogArmed_;
}

int RelayUnitEmulator::watchdogExpiries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return watchdogExpiries_;
}

bool RelayUnitEmulator::configMode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return configMode_;
}

std::string RelayUnitEmulator::wifiSsid() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ssid_;
}

std::string RelayUnitEmulator::wifiPassPhrase() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return passPhrase_;
}

std::string RelayUnitEmulator::ethSettings() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return eth_;
}

int RelayUnitEmulator::malformedLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return malformed_;
}

bool RelayUnitEmulator::waitForLine(const std::string& name, std::chrono::milliseconds timeout,
                                    std::size_t nth, ReceivedLine* found) const {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto match = [&] {
        std::size_t count = 0;
        for (const auto& line : lines_) {
            if (line.name == name && ++count == nth) {
                if (found) {
                    *found = line;
                }
                return true;
            }
        }
        return false;
    };
    return changed_.wait_for(lock, timeout, match);
}

bool RelayUnitEmulator::waitForDatagrams(std::size_t count,
                                         std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return datagrams_.size() >= count; });
}

namespace {

template <typename T>
void trimFront(std::vector<T>& v, std::size_t limit) {
    if (limit > 0 && v.size() > 2 * limit) {
        v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() - limit));
    }
}

}  // namespace

void RelayUnitEmulator::trimHistory() {
    const std::size_t limit = options_.historyLimit;
    trimFront(lines_, limit);
    trimFront(datagrams_, limit);
    for (auto& wave : monitor_.waveforms) {
        trimFront(wave.second, limit);
    }
}

}  // namespace relayunit
