#include "LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace coretest {

namespace {

int boundSocket(unsigned& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        throw std::runtime_error("socket failed");
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("bind failed");
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

void putWord(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

}  // namespace

LoopbackPeer::LoopbackPeer(bool listening) {
    listenFd_ = boundSocket(port_);
    if (listening) {
        startListening();
    }
}

void LoopbackPeer::startListening() {
    if (acceptor_.joinable()) {
        return;
    }
    ::listen(listenFd_, 8);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

LoopbackPeer::~LoopbackPeer() {
    stopping_.store(true);
    if (acceptor_.joinable()) {
        acceptor_.join();
    }
    ::close(listenFd_);
    std::vector<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        connections.swap(connections_);
    }
    for (auto& connection : connections) {
        connection->reader.join();
    }
}

void LoopbackPeer::acceptLoop() {
    while (!stopping_.load()) {
        pollfd item = {listenFd_, POLLIN, 0};
        if (::poll(&item, 1, 20) <= 0) {
            continue;
        }
        const int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        connections_.push_back(std::make_unique<Connection>());
        Connection* connection = connections_.back().get();
        connection->fd = fd;
        connection->reader = std::thread([this, connection] { readLoop(connection); });
    }
}

void LoopbackPeer::readLoop(Connection* connection) {
    // The reader owns the descriptor's end of life: a reset request or the peer's
    // destruction is carried out here, never under a recv in progress.
    uint8_t buffer[4096];
    for (;;) {
        int fd;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            fd = connection->fd;
            if (connection->resetRequested || stopping_.load()) {
                if (connection->resetRequested) {
                    linger option = {1, 0};
                    setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
                }
                ::close(fd);
                connection->fd = -1;
                connection->closed = true;
                return;
            }
        }
        pollfd item = {fd, POLLIN, 0};
        if (::poll(&item, 1, 10) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        std::lock_guard<std::mutex> guard(mutex_);
        if (n <= 0) {
            connection->closed = true;
            connection->resetRequested = false;
            // Keep the descriptor until the end, so that it is never reused while a
            // test still writes to it.
            while (!stopping_.load() && !connection->resetRequested) {
                mutex_.unlock();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                mutex_.lock();
            }
            ::close(fd);
            connection->fd = -1;
            return;
        }
        connection->bytes.insert(connection->bytes.end(), buffer, buffer + n);
    }
}

std::size_t LoopbackPeer::connectionCount() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return connections_.size();
}

std::vector<uint8_t> LoopbackPeer::received(std::size_t index) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return index < connections_.size() ? connections_[index]->bytes : std::vector<uint8_t>();
}

bool LoopbackPeer::peerClosed(std::size_t index) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return index < connections_.size() && connections_[index]->closed;
}

bool LoopbackPeer::send(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (connections_.empty()) {
        return false;
    }
    const int fd = connections_.back()->fd;
    if (fd < 0) {
        return false;
    }
    return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

void LoopbackPeer::closeNewest() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!connections_.empty()) {
        // shutdown, not close: the reader thread owns the descriptor.
        if (connections_.back()->fd >= 0) {
            ::shutdown(connections_.back()->fd, SHUT_RDWR);
        }
    }
}

void LoopbackPeer::resetNewest() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!connections_.empty()) {
        connections_.back()->resetRequested = true;
    }
}

std::vector<uint8_t> frameBytes(uint32_t frameLength, uint32_t kind,
                                const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    putWord(out, frameLength);
    putWord(out, 32);
    putWord(out, kind);
    putWord(out, 0);
    out.insert(out.end(), 16, 0xFF);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> dataFrame(const std::vector<uint8_t>& payload) {
    return frameBytes(static_cast<uint32_t>(32 + payload.size()), 0, payload);
}

std::vector<std::vector<uint8_t>> payloadsOf(const std::vector<uint8_t>& stream) {
    std::vector<std::vector<uint8_t>> payloads;
    std::size_t at = 0;
    while (stream.size() - at >= 32) {
        const uint32_t length = (uint32_t(stream[at]) << 24) | (uint32_t(stream[at + 1]) << 16) |
                                (uint32_t(stream[at + 2]) << 8) | uint32_t(stream[at + 3]);
        if (length < 32 || stream.size() - at < length) {
            break;
        }
        payloads.emplace_back(stream.begin() + at + 32, stream.begin() + at + length);
        at += length;
    }
    return payloads;
}

unsigned refusedPort() {
    unsigned port = 0;
    const int fd = boundSocket(port);
    ::close(fd);
    return port;
}

}  // namespace coretest
