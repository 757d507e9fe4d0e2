#include "bench/AppPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "emulators/sim_server/AppMessages.h"
#include "emulators/sim_server/Frame.h"

namespace fwdbench {

namespace {

simemu::Bytes scenarioListFrame() {
    return simemu::encodeFrame(
        simemu::kFrameKindData,
        simemu::app::scenarioList(1, kSceId, 1, simemu::app::kScenarioStateRunning, 1.0f));
}

}  // namespace

AppPeer::AppPeer(const UpdateStream& stream, bool startup) : stream_(stream), startup_(startup) {}

AppPeer::~AppPeer() {
    stopping_ = true;
    if (listenFd_ >= 0) {
        ::shutdown(listenFd_, SHUT_RDWR);  // wakes a waiting accept
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (clientFd_ >= 0) {
            ::shutdown(clientFd_, SHUT_RDWR);
        }
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listenFd_ >= 0) {
        ::close(listenFd_);
    }
}

bool AppPeer::start(const std::string& address, std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    socklen_t length = sizeof at;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        ::listen(fd, 1) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        std::cerr << "app peer: cannot listen on " << address << ":" << port << ": "
                  << std::strerror(errno) << std::endl;
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    listenFd_ = fd;
    port_ = ntohs(at.sin_port);
    thread_ = std::thread(&AppPeer::run, this);
    return true;
}

void AppPeer::run() {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
        return;  // stopped before a client came
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        clientFd_ = fd;
        changed_.notify_all();
    }
    if (stopping_) {
        ::shutdown(fd, SHUT_RDWR);  // the destructor may have missed it
    }
    serve(fd);
    // Closed only here, after the feed can no longer use it: the feed holds
    // writeMutex_ while it writes.
    std::lock_guard<std::mutex> writing(writeMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    clientFd_ = -1;
    ::close(fd);
    changed_.notify_all();
}

void AppPeer::serve(int fd) {
    simemu::FrameAssembler assembler;
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return;  // the client went away, or the destructor shut the socket
        }
        if (!startup_) {
            continue;  // the floor says nothing worth an answer
        }
        assembler.feed(buffer, static_cast<std::size_t>(n));
        simemu::Frame frame;
        simemu::FrameAssembler::Status status;
        while ((status = assembler.next(frame)) == simemu::FrameAssembler::Status::Frame) {
            answer(fd, frame);
        }
        if (status == simemu::FrameAssembler::Status::Invalid) {
            std::cerr << "app peer: the client sent a broken frame" << std::endl;
            return;
        }
    }
}

void AppPeer::answer(int fd, const simemu::Frame& frame) {
    const simemu::ReceivedMessage m = simemu::app::decode(frame);
    using simemu::MessageKind;
    simemu::Bytes reply;
    switch (m.kind) {
        case MessageKind::AppFlowControl:
            if (m.mode == simemu::app::kFlowStart) {
                reply = simemu::encodeFrame(simemu::kFrameKindFlowControl,
                                            simemu::app::flowControlAnswer());
            }
            break;
        case MessageKind::AppVersionRequest:
            reply = simemu::encodeFrame(simemu::kFrameKindData,
                                        simemu::app::versionReply("fwdbench peer"));
            break;
        case MessageKind::AppScenarioListRequest: {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!scenarioReleased_) {
                listAsked_ = true;  // answered by releaseScenario
                break;
            }
            reply = scenarioListFrame();
            break;
        }
        case MessageKind::AppInputSubscription: {
            if (m.scope != kSceId) {
                break;
            }
            std::vector<simemu::app::ReplyRecord> records;
            for (const auto& e : m.entries) {
                const std::uint32_t id = serverIdOf(e.name);
                if (id == 0) {
                    continue;  // not a parameter of this patient: no record
                }
                simemu::app::ReplyRecord r;
                r.serverId = id;
                r.name = e.name;
                r.value = trafficInputs()[id - kIdBase].initial;
                r.rate = e.rate;
                records.push_back(r);
            }
            reply = simemu::encodeFrame(simemu::kFrameKindData,
                                        simemu::app::inputSubscriptionReply(kSceId, records));
            {
                std::lock_guard<std::mutex> writing(writeMutex_);
                writeAll(fd, reply.data(), reply.size());
            }
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& r : records) {
                subscribed_[r.name] = r.serverId;
            }
            changed_.notify_all();
            return;
        }
        default:
            break;  // event subscription, keep-alives: nothing to answer
    }
    if (!reply.empty()) {
        std::lock_guard<std::mutex> writing(writeMutex_);
        writeAll(fd, reply.data(), reply.size());
    }
}

void AppPeer::releaseScenario() {
    bool asked = false;
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scenarioReleased_ = true;
        asked = listAsked_;
        fd = clientFd_;
        listAsked_ = false;
    }
    if (asked && fd >= 0) {
        const simemu::Bytes list = scenarioListFrame();
        std::lock_guard<std::mutex> writing(writeMutex_);
        writeAll(fd, list.data(), list.size());
    }
}

bool AppPeer::waitSubscribed(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [this] { return subscribed_.size() == trafficInputs().size(); });
}

bool AppPeer::waitClient(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return clientFd_ >= 0; });
}

std::map<std::string, std::uint32_t> AppPeer::subscribed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return subscribed_;
}

bool AppPeer::writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool AppPeer::feed(std::size_t chunk, std::size_t window, const BlocksReached& blocksReached) {
    const std::size_t frames = stream_.frameEnds.size();
    std::size_t start = 0;
    while (start < frames) {
        const std::size_t end = std::min(frames, start + chunk);
        const std::size_t blocks = stream_.blocksThrough[end - 1];
        if (blocks > window && !blocksReached(blocks - window)) {
            std::cerr << "app peer: the unit stopped at fewer than " << blocks - window << " blocks"
                      << std::endl;
            return false;
        }
        const std::size_t from = start == 0 ? 0 : stream_.frameEnds[start - 1];
        const std::size_t to = stream_.frameEnds[end - 1];
        std::lock_guard<std::mutex> writing(writeMutex_);
        int fd = -1;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fd = clientFd_;
        }
        if (fd < 0 || !writeAll(fd, stream_.bytes.data() + from, to - from)) {
            std::cerr << "app peer: the client went away during the feed" << std::endl;
            return false;
        }
        start = end;
    }
    return true;
}

}  // namespace fwdbench
