#include "emulators/sim_server/TcpEndpoint.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

namespace simemu {

namespace {

// A client that stops reading must not block the thread for long: after this
// the connection counts as lost.
constexpr int kSendTimeoutSeconds = 2;
// How much of a frame goes out before a mid-frame close or stall: the whole
// header and a few payload bytes, so that the client is inside the payload.
constexpr std::size_t kPartialFrameBytes = 40;

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

TcpEndpoint::TcpEndpoint(std::string label, Handler& handler, std::chrono::milliseconds tick,
                         bool quiet)
    : label_(std::move(label)), handler_(handler), tick_(tick), quiet_(quiet) {
    // The wake pipe lives as long as the object, so that posting never races
    // with a stop closing it.
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
    } else {
        std::cerr << label_ << " listener: pipe failed: " << std::strerror(errno) << std::endl;
    }
}

TcpEndpoint::~TcpEndpoint() {
    stop();
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
}

bool TcpEndpoint::openListener() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::cerr << label_ << " listener: socket failed: " << std::strerror(errno) << std::endl;
        return false;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port_.load());
    if (::inet_pton(AF_INET, address_.c_str(), &addr.sin_addr) != 1) {
        std::cerr << label_ << " listener: bad address " << address_ << std::endl;
        ::close(fd);
        return false;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) {
        std::cerr << label_ << " listener: cannot listen on " << address_ << ":" << port_.load()
                  << ": " << std::strerror(errno) << std::endl;
        ::close(fd);
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port_.store(ntohs(addr.sin_port));
    listenFd_ = fd;
    return true;
}

bool TcpEndpoint::start(const std::string& address, std::uint16_t port) {
    if (running_) {
        return true;
    }
    if (wakeRead_ < 0) {
        return false;
    }
    {
        // Tasks posted while stopped belong to an old connection.
        std::lock_guard<std::mutex> lock(tasksMutex_);
        tasks_.clear();
    }
    address_ = address;
    port_.store(port);
    if (!openListener()) {
        return false;
    }
    stopping_.store(false);
    running_ = true;
    thread_ = std::thread([this] { run(); });
    if (!quiet_) {
        std::cout << label_ << " listening on " << address_ << ":" << port_.load() << std::endl;
    }
    return true;
}

void TcpEndpoint::stop() {
    if (!running_) {
        return;
    }
    stopping_.store(true);
    wake();
    thread_.join();
    threadId_.store(std::thread::id());
    running_ = false;
    if (clientFd_ >= 0) {
        closeClient(true);
    }
    closeFd(listenFd_);
    std::lock_guard<std::mutex> lock(tasksMutex_);
    tasks_.clear();
}

void TcpEndpoint::wake() {
    if (wakeWrite_ >= 0) {
        const char b = 1;
        // A full pipe already means a pending wake-up.
        [[maybe_unused]] auto n = ::write(wakeWrite_, &b, 1);
    }
}

void TcpEndpoint::post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        tasks_.push_back(std::move(task));
    }
    wake();
}

void TcpEndpoint::runTasks() {
    char drain[64];
    while (::read(wakeRead_, drain, sizeof drain) > 0) {
    }
    for (;;) {
        std::function<void()> task;
        {
            std::lock_guard<std::mutex> lock(tasksMutex_);
            if (tasks_.empty()) {
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

void TcpEndpoint::deliver(std::uint32_t frameKind, Bytes payload) {
    if (std::this_thread::get_id() == threadId_.load()) {
        send(frameKind, std::move(payload));
        return;
    }
    post([this, frameKind, payload = std::move(payload)]() mutable {
        send(frameKind, std::move(payload));
    });
}

void TcpEndpoint::run() {
    using Clock = std::chrono::steady_clock;
    threadId_.store(std::this_thread::get_id());
    auto nextTick = Clock::now();
    while (!stopping_.load()) {
        auto now = Clock::now();
        if (listenFd_ < 0 && now >= refuseUntil_) {
            if (openListener()) {
                if (!quiet_) {
                    std::cout << label_ << " accepting connections again" << std::endl;
                }
            } else {
                refuseUntil_ = now + std::chrono::milliseconds(100);  // retry, not spin
            }
        }
        if (now >= nextTick) {
            handler_.onTick(now);
            nextTick += tick_;
            if (nextTick <= now) {
                nextTick = now + tick_;
            }
        }
        pollfd fds[2];
        nfds_t n = 0;
        fds[n++] = {wakeRead_, POLLIN, 0};
        const bool watchListener = clientFd_ < 0 && listenFd_ >= 0;
        const bool watchClient = clientFd_ >= 0;
        if (watchListener) {
            fds[n++] = {listenFd_, POLLIN, 0};
        } else if (watchClient) {
            fds[n++] = {clientFd_, POLLIN, 0};
        }
        auto until = nextTick;
        if (listenFd_ < 0 && refuseUntil_ < until) {
            until = refuseUntil_;
        }
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        const int timeout = wait < 0 ? 0 : static_cast<int>(wait) + 1;
        if (::poll(fds, n, timeout) < 0 && errno != EINTR) {
            std::cerr << label_ << " poll failed: " << std::strerror(errno) << std::endl;
            break;
        }
        if (fds[0].revents != 0) {
            runTasks();
        }
        if (n < 2 || fds[1].revents == 0) {
            continue;
        }
        if (watchListener && listenFd_ >= 0 && clientFd_ < 0) {
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            timeval tv{kSendTimeoutSeconds, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            clientFd_ = fd;
            stalled_ = false;
            assembler_.clear();
            connected_.store(true);
            if (!quiet_) {
                std::cout << label_ << " client connected" << std::endl;
            }
            handler_.onConnected();
        } else if (watchClient && clientFd_ >= 0) {
            readClient();
        }
    }
}

void TcpEndpoint::readClient() {
    std::uint8_t buf[65536];
    const ssize_t got = ::recv(clientFd_, buf, sizeof buf, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    if (got <= 0) {
        closeClient(false);
        return;
    }
    assembler_.feed(buf, static_cast<std::size_t>(got));
    Frame frame;
    for (;;) {
        const auto status = assembler_.next(frame);
        if (status == FrameAssembler::Status::NeedMore) {
            return;
        }
        if (status == FrameAssembler::Status::Invalid) {
            std::cerr << label_ << " invalid frame length from client, closing" << std::endl;
            closeClient(true);
            return;
        }
        handler_.onFrame(frame);
        if (clientFd_ < 0) {
            return;  // the handler's send failed or a fault closed the connection
        }
    }
}

void TcpEndpoint::closeClient(bool byUs) {
    if (clientFd_ < 0) {
        return;
    }
    closeFd(clientFd_);
    connected_.store(false);
    stalled_ = false;
    assembler_.clear();
    if (!quiet_) {
        std::cout << label_ << (byUs ? " connection closed by the server" : " client disconnected")
                  << std::endl;
    }
    handler_.onDisconnected();
}

void TcpEndpoint::sendBytes(const Bytes& bytes) {
    std::size_t done = 0;
    while (clientFd_ >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(clientFd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            std::cerr << label_ << " send failed: " << std::strerror(errno) << std::endl;
            closeClient(true);
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void TcpEndpoint::send(std::uint32_t frameKind, Bytes payload) {
    if (clientFd_ < 0 || stalled_) {
        return;
    }
    sendBytes(encodeFrame(frameKind, std::move(payload)));
}

void TcpEndpoint::dropConnection() {
    post([this] { closeClient(true); });
}

void TcpEndpoint::closeMidFrame(Bytes frame) {
    post([this, frame = std::move(frame)] {
        if (clientFd_ < 0 || stalled_) {
            return;
        }
        sendBytes(Bytes(frame.begin(), frame.begin() + std::min(frame.size(), kPartialFrameBytes)));
        closeClient(true);
    });
}

void TcpEndpoint::sendFrameLength32() {
    post([this] {
        if (clientFd_ < 0 || stalled_) {
            return;
        }
        Bytes header = encodeFrame(kFrameKindData, {});
        sendBytes(header);  // an empty payload makes the length exactly 32
    });
}

void TcpEndpoint::stallMidFrame(Bytes frame) {
    post([this, frame = std::move(frame)] {
        if (clientFd_ < 0 || stalled_) {
            return;
        }
        sendBytes(Bytes(frame.begin(), frame.begin() + std::min(frame.size(), kPartialFrameBytes)));
        stalled_ = true;
        if (!quiet_) {
            std::cout << label_ << " stalled in the middle of a frame" << std::endl;
        }
    });
}

void TcpEndpoint::refuseConnections(std::chrono::milliseconds period) {
    post([this, period] {
        closeFd(listenFd_);
        refuseUntil_ = std::chrono::steady_clock::now() + period;
        if (!quiet_) {
            std::cout << label_ << " refusing connections for " << period.count() << " ms"
                      << std::endl;
        }
    });
}

}  // namespace simemu
