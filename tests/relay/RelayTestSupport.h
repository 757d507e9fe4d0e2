#pragma once

#include "support/ScratchDir.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "relay/RelayTimings.h"

namespace relaytest {

// The link resolves with the address-configured flag, which finds nothing in
// a namespace whose only address is 127.0.0.1. A second loopback address on
// lo (of the test's own namespace) is enough.
inline void ensureLoopbackResolves() {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* result = nullptr;
    if (getaddrinfo("127.0.0.2", "14996", &hints, &result) == 0) {
        freeaddrinfo(result);
        return;
    }
    if (std::system("ip addr add 127.0.0.2/8 dev lo 2>/dev/null") != 0) {
        throw std::runtime_error("cannot add 127.0.0.2 to lo");
    }
}

// Runs a test in a fresh working directory (the last-connected file lands there).
class ScratchDir : public testsupport::ScratchDir {
  public:
    ScratchDir() : testsupport::ScratchDir("relay-test", true) {}
};

// Short waits: a reply on loopback takes well under a millisecond, so
// failure paths need not sit out 600 ms per try.
inline RelayTimings fastTimings() {
    RelayTimings t;
    t.udp.connectionPolls = 15;
    t.udp.connectionPollSleep = std::chrono::milliseconds(10);
    t.boundedAttempts = 2;
    t.fixedAddressTries = 2;
    t.rangeTries = 1;
    t.broadcastTries = 2;
    t.attemptPause = std::chrono::milliseconds(5);
    t.interfaceLookupPause = std::chrono::milliseconds(5);
    t.wifiResetPolls = 6;
    t.wifiConfigPolls = 6;
    t.wifiPollPause = std::chrono::milliseconds(20);
    return t;
}

// A bare UDP peer on addr:14996, for byte-level transport tests.
class RawPeer {
  public:
    explicit RawPeer(const std::string& address, unsigned short port = 14996) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            throw std::runtime_error("raw peer cannot bind " + address);
        }
    }
    ~RawPeer() { close(fd_); }

    // Next datagram within the deadline, or empty text; remembers its sender.
    std::string receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
            return std::string();
        }
        char buffer[2048];
        socklen_t length = sizeof last_;
        const ssize_t n =
            recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&last_), &length);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }
    // Sends to the sender of the last datagram received.
    void reply(const std::string& text) {
        sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&last_), sizeof last_);
    }

    // Sends to the bridge's socket (it binds 0.0.0.0:14996).
    void sendToLink(const std::string& text) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(14996);
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

  private:
    int fd_ = -1;
    sockaddr_in last_{};
};

}  // namespace relaytest
