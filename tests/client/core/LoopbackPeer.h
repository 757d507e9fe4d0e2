#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace coretest {

// A TCP peer of the tests' own on 127.0.0.1 and an ephemeral port. It accepts
// connections, records the bytes each one receives under a mutex, and lets a test
// send raw bytes, close or reset the newest connection.
class LoopbackPeer {
  public:
    // `listening` false reserves the port without listening, so that connection
    // attempts are refused until startListening().
    explicit LoopbackPeer(bool listening = true);
    ~LoopbackPeer();

    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    unsigned port() const { return port_; }
    void startListening();

    std::size_t connectionCount() const;
    // Bytes received so far on connection `index` (0 = first accepted).
    std::vector<uint8_t> received(std::size_t index) const;
    // Whether the client closed connection `index` (end of stream or reset seen).
    bool peerClosed(std::size_t index) const;

    // On the newest connection.
    bool send(const std::vector<uint8_t>& bytes);
    void closeNewest();  // orderly close (FIN)
    void resetNewest();  // linger 0 close (RST)

  private:
    struct Connection {
        int fd = -1;
        std::vector<uint8_t> bytes;
        bool closed = false;
        bool resetRequested = false;
        std::thread reader;
    };

    void acceptLoop();
    void readLoop(Connection* connection);

    int listenFd_ = -1;
    unsigned port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    // Guards connections_ and each Connection's fields; no other lock is taken with it.
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Connection>> connections_;
};

// Frame helpers for scripted replies: a 32-byte header of the given kind and
// frame length, followed by `payload`.
std::vector<uint8_t> frameBytes(uint32_t frameLength, uint32_t kind,
                                const std::vector<uint8_t>& payload);
// A well-formed data frame: length 32 + payload size, kind 0.
std::vector<uint8_t> dataFrame(const std::vector<uint8_t>& payload);

// Splits a received byte stream into complete frames' payloads.
std::vector<std::vector<uint8_t>> payloadsOf(const std::vector<uint8_t>& stream);

// A port on which nothing listens (bound briefly, then released).
unsigned refusedPort();

}  // namespace coretest
