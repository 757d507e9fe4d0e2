#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulators/relay_unit/ReplyLoss.h"

namespace relayunit {

using Clock = std::chrono::steady_clock;

struct EmulatorOptions {
    std::string address = "127.0.0.2";  // where the unit answers (UDP port 14996)
    std::vector<std::string>
        alsoListen;  // e.g. a broadcast address; replies still come from `address`
    std::string serial = "MR-EMU-0001";
    std::chrono::milliseconds watchdogTimeout{5000};
    // Time from a Wi-Fi acknowledgement to its completion message.
    std::chrono::milliseconds completionDelay{300};
    int batteryRaw = 500;
    int batterySupply = 100;
    std::string batteryReply;  // raw GET_BATT answer instead of the two numbers ("" = normal)
    unsigned short port = 14996;
    // Received lines, datagrams and waveform blocks kept for observation; 0
    // keeps everything (tests). A unit left running for hours needs a bound.
    std::size_t historyLimit = 0;
    // Seed of the reply-loss draws: the same seed and the same requests drop
    // the same replies, so a soak run can be repeated.
    std::uint32_t seed = 1;
};

// One line the unit received, in arrival order.
struct ReceivedLine {
    std::string name;
    std::string value;
    Clock::time_point at;
    bool taken = false;  // answered as a request, or a command applied while enabled
};

struct ReceivedDatagram {
    std::string text;
    std::string source;  // dotted-decimal address of the sender
    Clock::time_point at;
};

struct WaveformBlock {
    std::vector<float> values;
    Clock::time_point at;
};

// What a monitor attached to the unit would show.
struct MonitorState {
    std::optional<int> hr, rr, spo2, spo2Probe, spo2Scale, sbp, dbp, mbp;
    std::optional<float> t1, t2;
    bool co2Disabled = false;
    std::map<std::string, std::vector<WaveformBlock>> waveforms;  // ABP, PAP, CVP, PLETH, CO2, ECG
    // Values received per waveform since start; unlike `waveforms` never trimmed,
    // so a sweeping trace keeps its place.
    std::map<std::string, std::uint64_t> waveformTotals;
};

// The unit's side of the link, for a status line.
struct UnitStatus {
    bool associated = false;
    bool enabled = false;
    bool watchdogArmed = false;
    std::optional<Clock::time_point> lastDatagram;   // none before the first
    std::vector<Clock::time_point> recentDatagrams;  // arrivals in the window asked for
};

// A stand-in MonitorRelay unit on one loopback address: answers the bridge's
// requests, takes commands while enabled, keeps a monitor view and records
// every datagram for tests. Fault switches may be flipped while running.
class RelayUnitEmulator {
  public:
    explicit RelayUnitEmulator(EmulatorOptions options = {});
    ~RelayUnitEmulator();

    RelayUnitEmulator(const RelayUnitEmulator&) = delete;
    RelayUnitEmulator& operator=(const RelayUnitEmulator&) = delete;

    // Binds and starts the unit's thread; throws std::runtime_error on failure.
    void start();
    void stop();

    // Called on the unit's thread for every line received; set before start().
    void setLineObserver(std::function<void(const ReceivedLine&)> observer);

    // Fault switches.
    void setSilent(bool silent);  // answer nothing at all (false also ends a silenceFor)
    void silenceFor(std::chrono::milliseconds duration);  // answer nothing for a while
    void setAnnouncedSerial(const std::string& serial);   // ID answers carry it ("" = own)
    void setIdReply(const std::string& reply);  // raw ID answer while unassociated ("" = normal)
    void setReplyDelay(std::chrono::milliseconds delay);
    void setSplitReplies(bool split);            // each reply in two datagrams
    void dropAssociation();                      // as after a power glitch
    void setWifiResetCompletes(bool completes);  // send the completion after the ack
    void setWifiConfigCompletes(bool completes);
    // The replies to the next `count` requests named `name` (the bracketed
    // word, e.g. "ENABLE") are dropped, or leave `delay` late. Counted as the
    // requests arrive; a new call for the same name replaces the old count.
    void dropReplies(const std::string& name, int count);
    void delayReplies(const std::string& name, int count, std::chrono::milliseconds delay);
    // Drops this fraction (0..1) of all replies, drawn from the seeded generator.
    void setReplyLoss(double fraction);
    // Sends `text` from the unit's address to whoever sent it the last
    // datagram, unasked (a stray message of the unit); false before any came.
    bool sendToBridge(const std::string& text);

    // Observation.
    std::vector<ReceivedLine> lines() const;
    std::vector<ReceivedDatagram> datagrams() const;
    std::size_t datagramCount() const;
    MonitorState monitor() const;
    // The numerics and only the waveform blocks of the last `recent`: cheap
    // enough for a screen refreshed ten times a second.
    MonitorState monitor(Clock::duration recent) const;
    UnitStatus status(Clock::duration recent) const;
    std::vector<float> samples(const std::string& waveform) const;
    bool associated() const;
    bool enabled() const;
    bool watchdogArmed() const;
    int watchdogExpiries() const;
    bool configMode() const;
    std::string wifiSsid() const;
    std::string wifiPassPhrase() const;
    std::string ethSettings() const;
    int malformedLines() const;
    // Replies held back by silence, a drop switch or reply loss.
    int droppedReplies() const;

    // Wait with a deadline for the n-th line with this name (1 = first).
    bool waitForLine(const std::string& name, std::chrono::milliseconds timeout,
                     std::size_t nth = 1, ReceivedLine* found = nullptr) const;
    bool waitForDatagrams(std::size_t count, std::chrono::milliseconds timeout) const;

  private:
    struct Outgoing {
        std::string text;
        sockaddr_in to;
        Clock::time_point due;
    };

    void run();
    void receiveFrom(int fd);
    // Consumes the per-name drop and delay counts for a line named `name`; mutex_ held.
    void takePendingFaults(const std::string& name);
    // Handles one line under mutex_; queues replies.
    void handleLine(const std::string& name, const std::string& value, const sockaddr_in& from,
                    ReceivedLine& record);
    void reply(const std::string& text, const sockaddr_in& to,
               std::chrono::milliseconds extra = {});
    void applyCommand(const std::string& name, const std::string& value, const sockaddr_in& from);
    void sendDue();
    // Drops the older half of each record once it passes twice the limit; mutex_ held.
    void trimHistory();
    int pollTimeoutMs() const;

    const EmulatorOptions options_;
    std::vector<int> sockets_;  // [0] answers; others only listen
    int wakePipe_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::function<void(const ReceivedLine&)> observer_;

    // Guards every field below; no other lock is held when taking it.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool silent_ = false;
    Clock::time_point silentUntil_{};
    struct PendingDelay {
        int count = 0;
        std::chrono::milliseconds delay{0};
    };
    std::map<std::string, int> dropNext_;
    std::map<std::string, PendingDelay> delayNext_;
    // What the per-name switches decided for the line being handled.
    bool dropThisLine_ = false;
    std::chrono::milliseconds delayThisLine_{0};
    ReplyLoss loss_;
    int dropped_ = 0;
    std::string announcedSerial_;
    std::string idReply_;
    std::chrono::milliseconds replyDelay_{0};
    bool split_ = false;
    bool resetCompletes_ = true;
    bool configCompletes_ = true;
    bool associated_ = false;
    bool enabled_ = false;
    bool watchdogArmed_ = false;
    int watchdogExpiries_ = 0;
    bool configMode_ = false;
    Clock::time_point lastDatagram_;
    std::optional<sockaddr_in> lastPeer_;
    std::string ssid_, passPhrase_, eth_;
    int malformed_ = 0;
    std::vector<ReceivedLine> lines_;
    std::vector<ReceivedDatagram> datagrams_;
    MonitorState monitor_;
    std::vector<Outgoing> outgoing_;
};

}  // namespace relayunit
