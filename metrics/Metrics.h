#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "sync/Mutex.h"

// The bridge's figures for monitoring, in one process-wide record. Every field
// is an atomic (or behind the record's own short lock), so that the endpoint
// answers without the bridge mutex and the forwarding path never waits for it.
namespace psmr_metrics {

enum class Protocol : std::size_t { Sim, App, Count };
enum class HealthResult : std::size_t { Answered, Unanswered, LostAssociation, Count };

// Names as the unit's commands spell them: the labels follow. The numerics'
// names are the bridge's to give (nameNumerics), from its table of signals.
constexpr std::array<const char*, 5> kWaveforms = {"ABP", "PAP", "CVP", "PLETH", "CO2"};
constexpr std::size_t kMaxNumerics = 32;
constexpr std::array<const char*, 2> kProtocols = {"SIM", "APP"};
constexpr std::array<const char*, 3> kHealthResults = {"answered", "unanswered",
                                                       "lost_association"};

using Counter = std::atomic<std::uint64_t>;

// The place of `waveform` in kWaveforms, kWaveforms.size() for other names.
// Its length is known, so that each comparison is a few loads.
template <std::size_t N>
std::size_t waveformIndex(const char (&waveform)[N]) {
    for (std::size_t i = 0; i < kWaveforms.size(); ++i) {
        if (std::char_traits<char>::length(kWaveforms[i]) == N - 1 &&
            std::memcmp(kWaveforms[i], waveform, N) == 0) {
            return i;
        }
    }
    return kWaveforms.size();
}

class Registry {
  public:
    // ---- forwarding (receive threads) ----
    void countBlock() { add(blocks_); }
    void countDatagram() { add(datagrams_); }
    // `waveform` as the unit's command names it; other names are not counted.
    void countWaveformValues(const char* waveform, std::size_t values);
    // The same by the name's place in kWaveforms (waveformIndex): every block
    // counts here, so without looking the name up.
    void countWaveformValues(std::size_t waveform, std::size_t values) {
        if (waveform < kWaveforms.size() && values > 0) {
            add(waveformValues_[waveform], values);
        }
    }
    void countWaveformDropped(const char* waveform);
    void countNumeric(const char* numeric);
    // The numerics counted, by the names (of static storage) the unit's
    // commands use, in the order of their labels. The first naming holds;
    // names beyond kMaxNumerics are not counted.
    void nameNumerics(const std::vector<const char*>& names);
    std::vector<std::string> numericNames() const;
    void setSimulationState(bool running, bool calibrating) {
        simulationRunning_.store(running, std::memory_order_relaxed);
        calibrating_.store(calibrating, std::memory_order_relaxed);
    }

    // ---- servers (their receive threads) ----
    void serverConnected(Protocol protocol, bool connected);
    void countServerFrame(Protocol protocol) { add(frames_[index(protocol)]); }

    // ---- unit link ----
    void unitFound(const std::string& serial, const std::string& address);
    void unitLost() { unitFound_.store(false, std::memory_order_relaxed); }
    void unitEnabled(bool enabled) { unitEnabled_.store(enabled, std::memory_order_relaxed); }
    void unitReplied();
    void countHealthCheck(HealthResult result) { add(healthChecks_[index(result)]); }
    void countRebuild() { add(rebuilds_); }
    // For the unit link: a datagram from another sender than the unit, dropped.
    void countForeignDatagram() { add(foreignDatagrams_); }

    // The text exposition of everything above plus the process's own figures.
    std::string exposition() const;

    // For tests and the status line: plain reads.
    std::uint64_t blocks() const { return blocks_.load(); }
    std::uint64_t datagrams() const { return datagrams_.load(); }
    std::uint64_t waveformValues(std::size_t i) const { return waveformValues_.at(i).load(); }

  private:
    static void add(Counter& c, std::uint64_t n = 1) { c.fetch_add(n, std::memory_order_relaxed); }
    template <typename E>
    static std::size_t index(E e) {
        return static_cast<std::size_t>(e);
    }

    Counter blocks_{0};
    Counter datagrams_{0};
    std::array<Counter, kWaveforms.size()> waveformValues_{};
    std::array<Counter, kWaveforms.size()> waveformDropped_{};
    // Written once, under namingMutex_, before numericCount_ is published;
    // read without a lock up to the count.
    psmr_sync::Mutex namingMutex_;
    std::array<std::atomic<const char*>, kMaxNumerics> numericNames_{};
    std::atomic<std::size_t> numericCount_{0};
    std::array<Counter, kMaxNumerics> numerics_{};
    std::atomic<bool> simulationRunning_{false};
    std::atomic<bool> calibrating_{false};

    std::array<std::atomic<bool>, kProtocols.size()> serverConnected_{};
    std::array<Counter, kProtocols.size()> connects_{};
    std::array<Counter, kProtocols.size()> frames_{};

    std::atomic<bool> unitFound_{false};
    std::atomic<bool> unitEnabled_{false};
    // Steady-clock nanoseconds of the last reply; -1 before any.
    std::atomic<std::int64_t> lastReplyNs_{-1};
    std::array<Counter, kHealthResults.size()> healthChecks_{};
    Counter rebuilds_{0};
    Counter foreignDatagrams_{0};

    // Guards unitSerial_ and unitAddress_; taken with no other lock held.
    mutable psmr_sync::Mutex infoMutex_;
    std::string unitSerial_ GUARDED_BY(infoMutex_);
    std::string unitAddress_ GUARDED_BY(infoMutex_);
};

// The one record of the process.
Registry& metrics();

// ---- One-line hooks for the code that does the counted thing ----

// A health check's reply: empty is unanswered, one with the unassociated
// marker lost the association, anything else answered.
void countHealthCheck(const std::string& reply, const char* unassociatedMarker);
// Numeric commands, counted when the unit link is enabled.
void countNumerics(bool enabled, std::initializer_list<const char*> numerics);
// A waveform command text ("v,v,v"), counted by its values when the unit
// link is enabled (a disabled link sends nothing).
void countWaveformSent(bool enabled, const char* waveform, const std::string& text);
// A datagram counts once it has left without an error.
template <typename ErrorCode>
void countDatagramSent(const ErrorCode& ec) {
    if (!ec) {
        metrics().countDatagram();
    }
}

// Label values escaped for the text format (backslash, quote, line feed).
std::string escapeLabel(const std::string& value);

}  // namespace psmr_metrics
