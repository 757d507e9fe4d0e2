#include "emulators/relay_unit/RelayUnitEmulator.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "emulators/relay_unit/UnitLineParser.h"

// The unit's sockets and its thread: receiving, the watchdog and sending what
// falls due. What a line means is in RelayUnitRequests.cpp, which replies are
// held back in RelayUnitFaults.cpp, what is kept in RelayUnitObservation.cpp.

namespace relayunit {

namespace {

constexpr std::size_t kReceiveBuffer = 2048;  // longer than any line the bridge sends

int bindUdp(const std::string& address, unsigned short port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1) {
        throw std::runtime_error("relay unit: not an IPv4 address: " + address);
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("relay unit: socket: " + std::string(std::strerror(errno)));
    }
    // The bridge binds 0.0.0.0 on the same port; both must allow the overlap.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        const std::string why = std::strerror(errno);
        close(fd);
        throw std::runtime_error("relay unit: bind " + address + ": " + why);
    }
    return fd;
}

}  // namespace

RelayUnitEmulator::RelayUnitEmulator(EmulatorOptions options)
    : options_(std::move(options)), loss_(options_.seed) {}

RelayUnitEmulator::~RelayUnitEmulator() {
    stop();
}

void RelayUnitEmulator::setLineObserver(std::function<void(const ReceivedLine&)> observer) {
    observer_ = std::move(observer);
}

void RelayUnitEmulator::start() {
    if (running_) {
        return;
    }
    std::vector<int> fds;
    try {
        fds.push_back(bindUdp(options_.address, options_.port));
        for (const auto& extra : options_.alsoListen) {
            fds.push_back(bindUdp(extra, options_.port));
        }
    } catch (...) {
        for (int fd : fds) {
            close(fd);
        }
        throw;
    }
    if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        for (int fd : fds) {
            close(fd);
        }
        throw std::runtime_error("relay unit: pipe failed");
    }
    sockets_ = std::move(fds);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastDatagram_ = Clock::now();
    }
    running_ = true;
    thread_ = std::thread(&RelayUnitEmulator::run, this);
}

void RelayUnitEmulator::stop() {
    if (!running_.exchange(false)) {
        return;
    }
    const char wake = 'x';
    (void)!write(wakePipe_[1], &wake, 1);
    thread_.join();
    for (int fd : sockets_) {
        close(fd);
    }
    sockets_.clear();
    close(wakePipe_[0]);
    close(wakePipe_[1]);
    wakePipe_[0] = wakePipe_[1] = -1;
}

int RelayUnitEmulator::pollTimeoutMs() const {
    // Wakes for the next delayed reply and for the watchdog; 50 ms at most.
    std::lock_guard<std::mutex> lock(mutex_);
    auto next = Clock::now() + std::chrono::milliseconds(50);
    for (const auto& out : outgoing_) {
        next = std::min(next, out.due);
    }
    if (watchdogArmed_) {
        next = std::min(next, lastDatagram_ + options_.watchdogTimeout);
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0) + 1);
}

void RelayUnitEmulator::run() {
    std::vector<pollfd> fds;
    for (int fd : sockets_) {
        fds.push_back({fd, POLLIN, 0});
    }
    fds.push_back({wakePipe_[0], POLLIN, 0});
    while (running_) {
        for (auto& p : fds) {
            p.revents = 0;
        }
        poll(fds.data(), fds.size(), pollTimeoutMs());
        for (std::size_t i = 0; i + 1 < fds.size(); ++i) {
            if (fds[i].revents & POLLIN) {
                receiveFrom(fds[i].fd);
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (watchdogArmed_ && Clock::now() - lastDatagram_ >= options_.watchdogTimeout) {
                // The bridge went quiet: forget it, as the hardware does.
                watchdogArmed_ = false;
                associated_ = false;
                enabled_ = false;
                ++watchdogExpiries_;
                changed_.notify_all();
            }
        }
        sendDue();
    }
}

void RelayUnitEmulator::receiveFrom(int fd) {
    char buffer[kReceiveBuffer];
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) {
        return;
    }
    const std::string text(buffer, static_cast<std::size_t>(n));
    char source[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &from.sin_addr, source, sizeof source);
    const auto now = Clock::now();

    int malformed = 0;
    const auto parsed = parseDatagram(text, &malformed);
    std::vector<ReceivedLine> seen;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastDatagram_ = now;
        lastPeer_ = from;
        malformed_ += malformed;
        datagrams_.push_back({text, source, now});
        for (const auto& line : parsed) {
            ReceivedLine record{line.name, line.value, now, false};
            takePendingFaults(line.name);
            handleLine(line.name, line.value, from, record);
            lines_.push_back(record);
            seen.push_back(record);
        }
        trimHistory();
        changed_.notify_all();
    }
    if (observer_) {
        for (const auto& record : seen) {
            observer_(record);
        }
    }
}

void RelayUnitEmulator::sendDue() {
    std::vector<Outgoing> due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = Clock::now();
        // stable_partition keeps the halves of a split reply in order.
        auto split = std::stable_partition(outgoing_.begin(), outgoing_.end(),
                                           [&](const Outgoing& o) { return o.due <= now; });
        due.assign(outgoing_.begin(), split);
        outgoing_.erase(outgoing_.begin(), split);
    }
    for (const auto& out : due) {
        sendto(sockets_[0], out.text.data(), out.text.size(), 0,
               reinterpret_cast<const sockaddr*>(&out.to), sizeof out.to);
    }
}

}  // namespace relayunit
