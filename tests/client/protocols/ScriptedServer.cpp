#include "client/protocols/ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace prototest {

namespace {

void putU32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    out[at] = static_cast<std::uint8_t>(v >> 24);
    out[at + 1] = static_cast<std::uint8_t>(v >> 16);
    out[at + 2] = static_cast<std::uint8_t>(v >> 8);
    out[at + 3] = static_cast<std::uint8_t>(v);
}

std::uint32_t getU32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

}  // namespace

ScriptedServer::ScriptedServer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listenFd_ < 0) {
        throw std::runtime_error("scripted server: socket failed");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 4) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("scripted server: bind/listen failed");
    }
    socklen_t len = sizeof addr;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

ScriptedServer::~ScriptedServer() {
    stop_ = true;
    thread_.join();
    dropClient();
    ::close(listenFd_);
}

void ScriptedServer::setResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

bool ScriptedServer::send(const std::vector<std::uint8_t>& payload, std::uint32_t kind) {
    std::vector<std::uint8_t> frame(32, 0xFF);
    putU32(frame, 0, static_cast<std::uint32_t>(32 + payload.size()));
    putU32(frame, 4, 32);
    putU32(frame, 8, kind);
    putU32(frame, 12, kind == 3 ? 2 : 0);
    frame.insert(frame.end(), payload.begin(), payload.end());
    return sendRaw(frame);
}

bool ScriptedServer::sendRaw(const std::vector<std::uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (clientFd_ < 0) {
        return false;
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(clientFd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void ScriptedServer::dropClient() {
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (clientFd_ >= 0) {
        ::shutdown(clientFd_, SHUT_RDWR);
    }
}

bool ScriptedServer::clientConnected() const {
    std::lock_guard<std::mutex> lock(sendMutex_);
    return clientFd_ >= 0;
}

std::vector<ScriptedServer::Frame> ScriptedServer::frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

bool ScriptedServer::waitFor(const std::function<bool(const std::vector<Frame>&)>& predicate,
                             std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return predicate(frames_); });
}

bool ScriptedServer::waitForConnections(unsigned n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return connections_.load() >= n; });
}

bool ScriptedServer::readExact(int fd, std::uint8_t* out, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, 50);
        if (stop_) {
            return false;
        }
        if (r <= 0) {
            continue;
        }
        const ssize_t n = ::recv(fd, out + got, size - got, 0);
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

void ScriptedServer::run() {
    while (!stop_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        const int fd = ::accept(listenFd_, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(sendMutex_);
            clientFd_ = fd;
        }
        const unsigned connection = ++connections_;
        { std::lock_guard<std::mutex> lock(mutex_); }
        changed_.notify_all();
        for (;;) {
            std::uint8_t header[32];
            if (!readExact(fd, header, sizeof header)) {
                break;
            }
            const std::uint32_t length = getU32(header);
            if (length < 32 || length > (1u << 24)) {
                break;
            }
            Frame frame;
            frame.kind = getU32(header + 8);
            frame.connection = connection;
            frame.payload.resize(length - 32);
            if (!readExact(fd, frame.payload.data(), frame.payload.size())) {
                break;
            }
            Responder responder;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                frames_.push_back(frame);
                responder = responder_;
            }
            changed_.notify_all();
            if (responder) {
                responder(*this, frame);
            }
        }
        {
            std::lock_guard<std::mutex> lock(sendMutex_);
            ::close(clientFd_);
            clientFd_ = -1;
        }
        changed_.notify_all();
    }
}

std::uint16_t codeOf(const ScriptedServer::Frame& frame) {
    if (frame.payload.size() < 12) {
        return 0;
    }
    return static_cast<std::uint16_t>((frame.payload[10] << 8) | frame.payload[11]);
}

std::uint8_t subprotocolOf(const ScriptedServer::Frame& frame) {
    return frame.payload.size() > 1 ? frame.payload[1] : 0;
}

std::uint32_t wordAt(const ScriptedServer::Frame& frame, std::size_t offset) {
    if (offset + 4 > frame.payload.size()) {
        return 0;
    }
    return getU32(frame.payload.data() + offset);
}

}  // namespace prototest
