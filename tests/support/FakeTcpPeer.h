#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

// The tests' one stand-in for a server on the other end of a TCP connection,
// written from the frame layout alone. It listens on 127.0.0.1 and an ephemeral
// port, accepts any number of connections, and records under a mutex the bytes
// each one receives and the frames they split into. A test sends frames or raw
// bytes to the newest connection, closes or resets it, and waits for frames or
// connections with a deadline. An optional responder runs on the connection's
// reader thread for each received frame ("on a version request, reply X").
class FakeTcpPeer {
  public:
    struct Frame {
        std::uint32_t kind = 0;  // frame kind word: 0 data, 3 flow control
        std::vector<std::uint8_t> payload;
        unsigned connection = 0;  // 1 for the first accepted connection, then 2, ...
    };
    using Frames = std::vector<Frame>;
    using Responder = std::function<void(FakeTcpPeer&, const Frame&)>;

    // `listening` false reserves the port without listening, so that connection
    // attempts are refused until startListening().
    explicit FakeTcpPeer(bool listening = true);
    ~FakeTcpPeer();

    FakeTcpPeer(const FakeTcpPeer&) = delete;
    FakeTcpPeer& operator=(const FakeTcpPeer&) = delete;

    unsigned port() const { return port_; }
    void startListening();
    void setResponder(Responder responder);

    // To the newest connection: a frame as a real server builds it, or bytes
    // unchanged (to test bad headers). False when nothing could be sent.
    bool send(const std::vector<std::uint8_t>& payload, std::uint32_t kind = 0);
    bool sendRaw(const std::vector<std::uint8_t>& bytes);
    void dropClient();   // orderly close of the newest connection (FIN)
    void closeNewest();  // the same
    void resetNewest();  // linger 0 close (RST)

    unsigned connections() const;
    std::size_t connectionCount() const { return connections(); }
    // Whether the newest connection is still open from the client's side.
    bool clientConnected() const;
    // Bytes received so far on connection `index` (0 = first accepted).
    std::vector<std::uint8_t> received(std::size_t index) const;
    // Whether connection `index` has ended (end of stream or reset seen).
    bool peerClosed(std::size_t index) const;
    Frames frames() const;

    // Waits until `predicate(frames)` holds; false after the deadline.
    bool waitFor(const std::function<bool(const Frames&)>& predicate,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;
    bool waitForConnections(unsigned n,
                            std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

  private:
    struct Connection {
        int fd = -1;
        unsigned number = 0;
        std::vector<std::uint8_t> bytes;
        std::size_t parsed = 0;  // bytes of `bytes` already split into frames
        bool closed = false;
        bool resetRequested = false;
        std::thread reader;
    };

    void acceptLoop();
    void readLoop(Connection* connection);
    // Splits the newly completed frames of `connection`; mutex_ held.
    Frames takeFramesLocked(Connection& connection);

    int listenFd_ = -1;
    unsigned port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    // Guards connections_, each Connection's fields, frames_ and responder_, and
    // writes (so a descriptor is never closed under one); no other lock is taken
    // with it, and the responder runs without it.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::unique_ptr<Connection>> connections_;
    Frames frames_;
    Responder responder_;
};

// Frame bytes for scripted replies: a 32-byte header of the given kind and
// frame length (reserved word 0), followed by `payload`.
std::vector<std::uint8_t> frameBytes(std::uint32_t frameLength, std::uint32_t kind,
                                     const std::vector<std::uint8_t>& payload);
// A well-formed data frame: length 32 + payload size, kind 0.
std::vector<std::uint8_t> dataFrame(const std::vector<std::uint8_t>& payload);
// Splits a received byte stream into its complete frames' payloads.
std::vector<std::vector<std::uint8_t>> payloadsOf(const std::vector<std::uint8_t>& stream);
// A port on which nothing listens (bound briefly, then released).
unsigned refusedPort();

// Fields of a recorded frame's payload: the code (bytes 10, 11), the
// subprotocol byte, a big-endian word; 0 where the payload is too short.
std::uint16_t codeOf(const FakeTcpPeer::Frame& frame);
std::uint8_t subprotocolOf(const FakeTcpPeer::Frame& frame);
std::uint32_t wordAt(const FakeTcpPeer::Frame& frame, std::size_t offset);

}  // namespace testsupport
