#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "emulators/sim_server/Frame.h"

namespace simemu {

// One listening TCP port serving one client at a time on its own thread. The
// thread owns both sockets: it accepts, reads and cuts frames, calls the
// handler, and runs the handler's tick. Other threads never touch a socket;
// they post tasks that the thread runs in order. A second client waits in the
// listen backlog until the first goes away.
class TcpEndpoint {
  public:
    // Called on the endpoint thread only.
    class Handler {
      public:
        virtual ~Handler() = default;
        virtual void onConnected() = 0;
        virtual void onFrame(const Frame& frame) = 0;
        // Runs every tick period, with or without a client.
        virtual void onTick(std::chrono::steady_clock::time_point now) = 0;
        virtual void onDisconnected() = 0;
    };

    TcpEndpoint(std::string label, Handler& handler, std::chrono::milliseconds tick, bool quiet);
    ~TcpEndpoint();
    TcpEndpoint(const TcpEndpoint&) = delete;
    TcpEndpoint& operator=(const TcpEndpoint&) = delete;

    // Binds and listens (port 0: ephemeral), then starts the thread. Idempotent;
    // false with a line on stderr when the address cannot be bound.
    bool start(const std::string& address, std::uint16_t port);
    // Stops and joins the thread and closes both sockets. Idempotent.
    void stop();
    std::uint16_t port() const { return port_.load(); }
    bool clientConnected() const { return connected_.load(); }

    // Endpoint thread only: frames and sends the payload to the client, if any.
    // While stalled nothing more is sent.
    void send(std::uint32_t frameKind, Bytes payload);

    // Any thread: runs `task` on the endpoint thread after the tasks posted before.
    void post(std::function<void()> task);
    // send() when called on the endpoint thread, else posted to it.
    void deliver(std::uint32_t frameKind, Bytes payload);

    // Fault switches, any thread, applied in order on the endpoint thread.
    void dropConnection();
    // Sends the first part of `frame` (header and a few payload bytes), then closes.
    void closeMidFrame(Bytes frame);
    // Sends a header announcing a frame of 32 bytes (no payload).
    void sendFrameLength32();
    // Sends the first part of `frame`, then nothing more until the client goes away.
    void stallMidFrame(Bytes frame);
    // Closes the listening socket for `period` so that connects are refused,
    // then listens again on the same port. A connected client stays.
    void refuseConnections(std::chrono::milliseconds period);

  private:
    void run();
    bool openListener();
    void closeClient(bool byUs);
    void readClient();
    void runTasks();
    void sendBytes(const Bytes& bytes);
    void wake();

    const std::string label_;
    Handler& handler_;
    const std::chrono::milliseconds tick_;
    const bool quiet_;
    std::string address_;
    std::atomic<std::uint16_t> port_{0};
    std::atomic<bool> connected_{false};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
    bool running_ = false;  // owner's view; start/stop are called from one thread

    // Endpoint thread only (and start/stop while it is not running).
    int listenFd_ = -1;
    int clientFd_ = -1;
    int wakeRead_ = -1;  // the pipe: open for the object's lifetime
    int wakeWrite_ = -1;
    bool stalled_ = false;
    std::chrono::steady_clock::time_point refuseUntil_{};
    FrameAssembler assembler_;

    // Guards tasks_; a leaf lock (callers may hold any of the emulator's locks).
    std::mutex tasksMutex_;
    std::deque<std::function<void()>> tasks_;
};

}  // namespace simemu
