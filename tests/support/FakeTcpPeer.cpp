#include "support/FakeTcpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {

namespace {

constexpr std::size_t kHeaderSize = 32;
// Larger announced frames are not split: no client message comes near it.
constexpr std::uint32_t kMaxFrame = 1u << 24;

int boundSocket(unsigned& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        throw std::runtime_error("fake peer: socket failed");
    }
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        throw std::runtime_error("fake peer: bind failed");
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

void putWord(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

std::uint32_t getWord(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

}  // namespace

FakeTcpPeer::FakeTcpPeer(bool listening) {
    listenFd_ = boundSocket(port_);
    if (listening) {
        startListening();
    }
}

void FakeTcpPeer::startListening() {
    if (acceptor_.joinable()) {
        return;
    }
    ::listen(listenFd_, 8);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

FakeTcpPeer::~FakeTcpPeer() {
    {
        // Under the lock, so that a reader about to wait sees it.
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_.store(true);
    }
    changed_.notify_all();
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

void FakeTcpPeer::setResponder(Responder responder) {
    std::lock_guard<std::mutex> guard(mutex_);
    responder_ = std::move(responder);
}

void FakeTcpPeer::acceptLoop() {
    while (!stopping_.load()) {
        pollfd item = {listenFd_, POLLIN, 0};
        if (::poll(&item, 1, 20) <= 0) {
            continue;
        }
        const int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        {
            std::lock_guard<std::mutex> guard(mutex_);
            connections_.push_back(std::make_unique<Connection>());
            Connection* connection = connections_.back().get();
            connection->fd = fd;
            connection->number = static_cast<unsigned>(connections_.size());
            connection->reader = std::thread([this, connection] { readLoop(connection); });
        }
        changed_.notify_all();
    }
}

FakeTcpPeer::Frames FakeTcpPeer::takeFramesLocked(Connection& connection) {
    Frames out;
    const std::vector<std::uint8_t>& b = connection.bytes;
    while (b.size() - connection.parsed >= kHeaderSize) {
        const std::uint8_t* head = b.data() + connection.parsed;
        const std::uint32_t length = getWord(head);
        if (length < kHeaderSize || length > kMaxFrame) {
            connection.parsed = b.size();  // not a frame stream: record bytes only
            break;
        }
        if (b.size() - connection.parsed < length) {
            break;
        }
        Frame frame;
        frame.kind = getWord(head + 8);
        frame.connection = connection.number;
        frame.payload.assign(head + kHeaderSize, head + length);
        out.push_back(std::move(frame));
        connection.parsed += length;
    }
    return out;
}

void FakeTcpPeer::readLoop(Connection* connection) {
    // The reader owns the descriptor's end of life: a reset request or the peer's
    // destruction is carried out here, never under a recv in progress.
    std::uint8_t buffer[4096];
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
                break;
            }
        }
        pollfd item = {fd, POLLIN, 0};
        if (::poll(&item, 1, 10) <= 0) {
            continue;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            std::unique_lock<std::mutex> lock(mutex_);
            connection->closed = true;
            connection->resetRequested = false;
            changed_.notify_all();
            // Keep the descriptor until the end, so that it is never reused while a
            // test still writes to it.
            changed_.wait(lock, [&] { return stopping_.load() || connection->resetRequested; });
            ::close(fd);
            connection->fd = -1;
            return;
        }
        Frames fresh;
        Responder responder;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            connection->bytes.insert(connection->bytes.end(), buffer, buffer + n);
            fresh = takeFramesLocked(*connection);
            frames_.insert(frames_.end(), fresh.begin(), fresh.end());
            responder = responder_;
        }
        changed_.notify_all();
        if (responder) {
            for (const Frame& frame : fresh) {
                responder(*this, frame);
            }
        }
    }
    changed_.notify_all();
}

bool FakeTcpPeer::send(const std::vector<std::uint8_t>& payload, std::uint32_t kind) {
    std::vector<std::uint8_t> frame;
    putWord(frame, static_cast<std::uint32_t>(kHeaderSize + payload.size()));
    putWord(frame, kHeaderSize);
    putWord(frame, kind);
    putWord(frame, kind == 3 ? 2 : 0);
    frame.insert(frame.end(), 16, 0xFF);
    frame.insert(frame.end(), payload.begin(), payload.end());
    return sendRaw(frame);
}

bool FakeTcpPeer::sendRaw(const std::vector<std::uint8_t>& bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (connections_.empty() || connections_.back()->fd < 0 || connections_.back()->closed) {
        return false;
    }
    const int fd = connections_.back()->fd;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void FakeTcpPeer::dropClient() {
    closeNewest();
}

void FakeTcpPeer::closeNewest() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!connections_.empty() && connections_.back()->fd >= 0) {
        ::shutdown(connections_.back()->fd, SHUT_RDWR);
    }
}

void FakeTcpPeer::resetNewest() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!connections_.empty()) {
            connections_.back()->resetRequested = true;
        }
    }
    changed_.notify_all();
}

unsigned FakeTcpPeer::connections() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<unsigned>(connections_.size());
}

bool FakeTcpPeer::clientConnected() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return !connections_.empty() && !connections_.back()->closed;
}

std::vector<std::uint8_t> FakeTcpPeer::received(std::size_t index) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return index < connections_.size() ? connections_[index]->bytes : std::vector<std::uint8_t>();
}

bool FakeTcpPeer::peerClosed(std::size_t index) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return index < connections_.size() && connections_[index]->closed;
}

FakeTcpPeer::Frames FakeTcpPeer::frames() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return frames_;
}

bool FakeTcpPeer::waitFor(const std::function<bool(const Frames&)>& predicate,
                          std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return predicate(frames_); });
}

bool FakeTcpPeer::waitForConnections(unsigned n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return connections_.size() >= n; });
}

std::vector<std::uint8_t> frameBytes(std::uint32_t frameLength, std::uint32_t kind,
                                     const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> out;
    putWord(out, frameLength);
    putWord(out, kHeaderSize);
    putWord(out, kind);
    putWord(out, 0);
    out.insert(out.end(), 16, 0xFF);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<std::uint8_t> dataFrame(const std::vector<std::uint8_t>& payload) {
    return frameBytes(static_cast<std::uint32_t>(kHeaderSize + payload.size()), 0, payload);
}

std::vector<std::vector<std::uint8_t>> payloadsOf(const std::vector<std::uint8_t>& stream) {
    std::vector<std::vector<std::uint8_t>> payloads;
    std::size_t at = 0;
    while (stream.size() - at >= kHeaderSize) {
        const std::uint32_t length = getWord(stream.data() + at);
        if (length < kHeaderSize || stream.size() - at < length) {
            break;
        }
        payloads.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at + kHeaderSize),
                              stream.begin() + static_cast<std::ptrdiff_t>(at + length));
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

std::uint16_t codeOf(const FakeTcpPeer::Frame& frame) {
    if (frame.payload.size() < 12) {
        return 0;
    }
    return static_cast<std::uint16_t>((frame.payload[10] << 8) | frame.payload[11]);
}

std::uint8_t subprotocolOf(const FakeTcpPeer::Frame& frame) {
    return frame.payload.size() > 1 ? frame.payload[1] : 0;
}

std::uint32_t wordAt(const FakeTcpPeer::Frame& frame, std::size_t offset) {
    if (offset + 4 > frame.payload.size()) {
        return 0;
    }
    return getWord(frame.payload.data() + offset);
}

}  // namespace testsupport
