#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "bench/Traffic.h"
#include "emulators/sim_server/Frame.h"

namespace fwdbench {

// A scripted APP-port server for one client: it answers the start-up exchange
// (flow control, version, scenario list, input subscriptions with the ids of
// the traffic) and then writes the update stream as fast as the client takes
// it. With the start-up off it only accepts and feeds, for the floor, which
// needs no exchange.
class AppPeer {
  public:
    AppPeer(const UpdateStream& stream, bool startup);
    // Stops and joins the peer thread; the client sees the connection close.
    ~AppPeer();
    AppPeer(const AppPeer&) = delete;
    AppPeer& operator=(const AppPeer&) = delete;

    // Binds, listens (port 0: ephemeral) and starts the thread; false with a
    // line on stderr when the address cannot be bound.
    bool start(const std::string& address, std::uint16_t port);
    std::uint16_t port() const { return port_; }

    // The scenario list, which lets the client register its inputs, waits for
    // this: the bench first lets the SIM side start the simulation.
    void releaseScenario();
    // Every traffic input was subscribed and answered, or false at the deadline.
    bool waitSubscribed(std::chrono::milliseconds timeout);
    bool waitClient(std::chrono::milliseconds timeout);
    // The ids the client subscribed, by name, as answered.
    std::map<std::string, std::uint32_t> subscribed() const;

    // Waits until the unit has at least the given number of blocks, or false
    // at its deadline.
    using BlocksReached = std::function<bool(std::size_t)>;
    // Writes the whole stream, `chunk` frames per write, never more than
    // `window` blocks ahead of what the unit has received: a unit that falls
    // behind would otherwise lose datagrams. False when the unit stalled or
    // the client went away.
    bool feed(std::size_t chunk, std::size_t window, const BlocksReached& blocksReached);

  private:
    void run();
    void serve(int fd);
    void answer(int fd, const simemu::Frame& frame);
    bool writeAll(int fd, const std::uint8_t* data, std::size_t size);

    const UpdateStream& stream_;
    const bool startup_;
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;

    // Guards every field below; may be taken while writeMutex_ is held.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int clientFd_ = -1;
    bool scenarioReleased_ = false;
    bool listAsked_ = false;  // a list request came before the release
    std::map<std::string, std::uint32_t> subscribed_;

    // Guards writes to the client socket and its closing, so that a start-up
    // answer and a feed chunk never interleave; taken before mutex_.
    std::mutex writeMutex_;
};

}  // namespace fwdbench
