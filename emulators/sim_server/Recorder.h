#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "emulators/sim_server/ReceivedMessage.h"

namespace simemu {

// What the emulator saw, for tests: every decoded message, connection counts
// and a copy of the current subscriptions, with waits that end at a deadline.
class Recorder {
  public:
    using Ids = std::map<std::string, std::uint32_t>;

    void record(ReceivedMessage m);
    void connected(Protocol p);
    void disconnected(Protocol p);
    void setSubscriptions(Protocol p, Ids inputs, Ids outputs);

    std::vector<ReceivedMessage> messages() const;
    std::vector<ReceivedMessage> messages(MessageKind k) const;
    std::size_t count(MessageKind k) const;
    unsigned connections(Protocol p) const;
    unsigned disconnections(Protocol p) const;
    Ids inputs(Protocol p) const;
    Ids outputs(Protocol p) const;
    void clearMessages();

    // The n-th message (1-based) of kind `k` since the start or the last clear.
    std::optional<ReceivedMessage> waitForMessage(MessageKind k, std::size_t n,
                                                  std::chrono::milliseconds timeout) const;
    bool waitForConnections(Protocol p, unsigned n, std::chrono::milliseconds timeout) const;
    bool waitForDisconnections(Protocol p, unsigned n, std::chrono::milliseconds timeout) const;
    // The server id once `name` is a confirmed input subscription.
    std::optional<std::uint32_t> waitForSubscription(Protocol p, const std::string& name,
                                                     std::chrono::milliseconds timeout) const;

  private:
    struct PerProtocol {
        unsigned connections = 0;
        unsigned disconnections = 0;
        Ids inputs;
        Ids outputs;
    };
    static std::size_t slot(Protocol p) { return p == Protocol::Sim ? 0 : 1; }

    // Guards everything below; a leaf lock (the sides' locks may be held).
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<ReceivedMessage> messages_;
    PerProtocol per_[2];
};

}  // namespace simemu
