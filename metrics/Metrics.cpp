#include "metrics/Metrics.h"

#include <algorithm>
#include <cstring>

namespace psmr_metrics {

namespace {

template <std::size_t N>
std::size_t find(const std::array<const char*, N>& names, const char* name) {
    for (std::size_t i = 0; i < N; ++i) {
        if (std::strcmp(names[i], name) == 0) {
            return i;
        }
    }
    return N;
}

std::int64_t steadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void Registry::countWaveformValues(const char* waveform, std::size_t values) {
    countWaveformValues(find(kWaveforms, waveform), values);
}

void Registry::countWaveformDropped(const char* waveform) {
    const std::size_t i = find(kWaveforms, waveform);
    if (i < kWaveforms.size()) {
        add(waveformDropped_[i]);
    }
}

void Registry::countNumeric(const char* numeric) {
    const std::size_t count = numericCount_.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < count; ++i) {
        if (std::strcmp(numericNames_[i].load(std::memory_order_relaxed), numeric) == 0) {
            add(numerics_[i]);
            return;
        }
    }
}

void Registry::nameNumerics(const std::vector<const char*>& names) {
    psmr_sync::LockGuard lock(namingMutex_);
    if (numericCount_.load(std::memory_order_relaxed) != 0) {
        return;
    }
    const std::size_t count = std::min(names.size(), kMaxNumerics);
    for (std::size_t i = 0; i < count; ++i) {
        numericNames_[i].store(names[i], std::memory_order_relaxed);
    }
    numericCount_.store(count, std::memory_order_release);
}

std::vector<std::string> Registry::numericNames() const {
    std::vector<std::string> names;
    const std::size_t count = numericCount_.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < count; ++i) {
        names.emplace_back(numericNames_[i].load(std::memory_order_relaxed));
    }
    return names;
}

void Registry::serverConnected(Protocol protocol, bool connected) {
    serverConnected_[index(protocol)].store(connected, std::memory_order_relaxed);
    if (connected) {
        add(connects_[index(protocol)]);
    }
}

void Registry::unitFound(const std::string& serial, const std::string& address) {
    {
        psmr_sync::LockGuard lock(infoMutex_);
        unitSerial_ = serial;
        unitAddress_ = address;
    }
    unitFound_.store(true, std::memory_order_relaxed);
}

void Registry::unitReplied() {
    lastReplyNs_.store(steadyNs(), std::memory_order_relaxed);
}

Registry& metrics() {
    static Registry registry;
    return registry;
}

void countHealthCheck(const std::string& reply, const char* unassociatedMarker) {
    if (reply.empty()) {
        metrics().countHealthCheck(HealthResult::Unanswered);
    } else if (reply.find(unassociatedMarker) != std::string::npos) {
        metrics().countHealthCheck(HealthResult::LostAssociation);
    } else {
        metrics().countHealthCheck(HealthResult::Answered);
    }
}

void countNumerics(bool enabled, std::initializer_list<const char*> numerics) {
    if (!enabled) {
        return;
    }
    for (const char* numeric : numerics) {
        metrics().countNumeric(numeric);
    }
}

void countWaveformSent(bool enabled, const char* waveform, const std::string& text) {
    if (enabled && !text.empty()) {
        metrics().countWaveformValues(
            waveform, static_cast<std::size_t>(std::count(text.begin(), text.end(), ',')) + 1);
    }
}

std::string escapeLabel(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (const char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace psmr_metrics
