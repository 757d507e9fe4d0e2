#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace prototest {

// A minimal server peer for the client tests, written from the frame layout
// alone: it listens on an ephemeral loopback port, accepts one client at a
// time, records every frame it receives and sends whatever bytes the test asks.
// An optional responder runs on the peer's thread for each received frame, so
// a test can script answers ("on a version request, reply X").
class ScriptedServer {
  public:
    struct Frame {
        std::uint32_t kind = 0;  // frame kind word: 0 data, 3 flow control
        std::vector<std::uint8_t> payload;
        unsigned connection = 0;  // 1 for the first accepted client, then 2, ...
    };
    using Responder = std::function<void(ScriptedServer&, const Frame&)>;

    ScriptedServer();
    ~ScriptedServer();

    std::uint16_t port() const { return port_; }
    void setResponder(Responder responder);

    // Frames the payload as a real server does and sends it to the current client.
    bool send(const std::vector<std::uint8_t>& payload, std::uint32_t kind = 0);
    // Sends raw bytes unchanged (to test bad headers).
    bool sendRaw(const std::vector<std::uint8_t>& bytes);
    // Closes the current client connection (the listener stays).
    void dropClient();

    std::vector<Frame> frames() const;
    unsigned connections() const { return connections_.load(); }
    bool clientConnected() const;
    // Waits until `predicate(frames)` holds; false after the deadline.
    bool waitFor(const std::function<bool(const std::vector<Frame>&)>& predicate,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;
    bool waitForConnections(unsigned n,
                            std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

  private:
    void run();
    bool readExact(int fd, std::uint8_t* out, std::size_t size);

    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> connections_{0};
    std::thread thread_;

    // Guards clientFd_ and writes to it; nothing else is held when taking it.
    mutable std::mutex sendMutex_;
    int clientFd_ = -1;

    // Guards frames_ and responder_; the responder runs without it.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Frame> frames_;
    Responder responder_;
};

// Payload code (bytes 10, 11) and protocol bytes of a recorded frame.
std::uint16_t codeOf(const ScriptedServer::Frame& frame);
std::uint8_t subprotocolOf(const ScriptedServer::Frame& frame);
std::uint32_t wordAt(const ScriptedServer::Frame& frame, std::size_t offset);

}  // namespace prototest
