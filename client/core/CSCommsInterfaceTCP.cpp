#include "client/core/CSCommsInterfaceTCP.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>

#include "client/core/RawMessage.h"

namespace com_nax {

namespace {

timeval toTimeval(std::chrono::milliseconds duration) {
    timeval tv;
    tv.tv_sec = static_cast<time_t>(duration.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((duration.count() % 1000) * 1000);
    return tv;
}

void logError(const char* text) {
    std::cerr << text << std::endl;
}

// Connects `fd` within `limit`. The plain blocking connect is bounded only by the
// send timeout, and a server whose listen queue is full lets it run that long.
bool connectWithin(int fd, const sockaddr_in& peer, std::chrono::milliseconds limit,
                   const std::function<bool()>& keepWaiting) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return false;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        if (errno != EINPROGRESS) {
            return false;
        }
        // Short slices, so that a close requested meanwhile ends the wait early.
        constexpr std::chrono::milliseconds kSlice{50};
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || (keepWaiting && !keepWaiting())) {
                return false;
            }
            pollfd entry = {fd, POLLOUT, 0};
            const int ready = ::poll(&entry, 1, static_cast<int>(std::min(left, kSlice).count()));
            if (ready < 0 && errno != EINTR) {
                return false;
            }
            if (ready > 0) {
                break;
            }
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
            return false;
        }
    }
    // Back to blocking: reads and writes rely on the socket timeouts.
    return fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

CSCommsInterfaceTCP::CSCommsInterfaceTCP(const Options& options) : options_(options) {}

CSCommsInterfaceTCP::~CSCommsInterfaceTCP() {
    close();
}

void CSCommsInterfaceTCP::setOptions(const Options& options) {
    CSMutex::Guard guard(socketLock_);
    options_ = options;
}

CSCommsInterfaceTCP::Options CSCommsInterfaceTCP::getOptions() const {
    CSMutex::Guard guard(socketLock_);
    return options_;
}

void CSCommsInterfaceTCP::setTimeouts(std::chrono::milliseconds receive,
                                      std::chrono::milliseconds send) {
    CSMutex::Guard guard(socketLock_);
    receiveTimeout_ = receive;
    sendTimeout_ = send;
}

void CSCommsInterfaceTCP::setConnectTimeout(std::chrono::milliseconds connect) {
    CSMutex::Guard guard(socketLock_);
    connectTimeout_ = connect;
}

bool CSCommsInterfaceTCP::openConnection(const char* address, unsigned port) {
    return openConnection(convertIPAddressToOctet(address), port);
}

bool CSCommsInterfaceTCP::openConnection(unsigned address, unsigned port) {
    return openConnection(address, port, std::function<bool()>());
}

bool CSCommsInterfaceTCP::openConnection(unsigned address, unsigned port,
                                         const std::function<bool()>& keepWaiting) {
    Options options;
    std::chrono::milliseconds receiveTimeout;
    std::chrono::milliseconds sendTimeout;
    std::chrono::milliseconds connectTimeout;
    {
        CSMutex::Guard guard(socketLock_);
        closeSocket();
        options = options_;
        receiveTimeout = receiveTimeout_;
        sendTimeout = sendTimeout_;
        connectTimeout = connectTimeout_;
    }
    // Bytes of the previous connection must not lead the new one's first frame.
    received_.clear();

    // Writing to a connection the server has closed must fail, not end the process.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ignore.sa_flags = 0;
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        logError("Failed to remove signal on broken pipe.");
    }

    const int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
        logError("Unable to create socket");
        return false;
    }
    auto fail = [fd](const char* text) {
        logError(text);
        ::close(fd);
        return false;
    };

    // The receive timeout lets the receive thread regain control regularly.
    const timeval receiveTime = toTimeval(receiveTimeout);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receiveTime, sizeof receiveTime) != 0) {
        return fail("Unable to set socket options");
    }
    const timeval sendTime = toTimeval(sendTimeout);
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTime, sizeof sendTime) != 0) {
        return fail("Unable to set socket timeout options");
    }
    // Closing discards unsent data and resets the connection at once.
    linger lingerOption;
    lingerOption.l_onoff = 1;
    lingerOption.l_linger = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerOption, sizeof lingerOption) != 0) {
        logError("Unable to disable socket linger");
    }
    const int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        logError("Unable to set socket SO_REUSEADDR");
    }
#ifdef SO_REUSEPORT
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) {
        logError("Unable to set socket SO_REUSEPORT");
    }
#endif
    // Small requests leave at once.
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
        logError("Unable to disable Nagle algorithm");
    }
    if (options.sendBufferSize != 0) {
        const int size = static_cast<int>(options.sendBufferSize);
        if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) {
            return fail("Error setting send buffer size");
        }
    }
    if (options.receiveBufferSize != 0) {
        const int size = static_cast<int>(options.receiveBufferSize);
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
            return fail("Error setting receive buffer size");
        }
    }

    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = address;  // already in network order
    peer.sin_port = htons(static_cast<uint16_t>(port));
    if (!connectWithin(fd, peer, connectTimeout, keepWaiting)) {
        ::close(fd);
        return false;
    }
    CSMutex::Guard guard(socketLock_);
    // Another open may have won meanwhile (not done by the engine); keep one socket.
    closeSocket();
    socket_.store(fd);
    return true;
}

void CSCommsInterfaceTCP::close() {
    CSMutex::Guard guard(socketLock_);
    closeSocket();
}

void CSCommsInterfaceTCP::closeSocket() {
    if (socket_.load() < 0) {
        return;
    }
    // Under the write lock, so that a write in progress never meets a descriptor
    // that is closed (or already reused for another file) under it.
    CSMutex::Guard guard(writeLock_);
    const int fd = socket_.exchange(-1);
    if (fd >= 0) {
        ::close(fd);
    }
}

int CSCommsInterfaceTCP::readMessage(unsigned size, RawMessage& message) {
    const unsigned before = message.size();
    if (size == 0) {
        return 0;
    }
    if (!received_.empty()) {
        const unsigned n = std::min(size, received_.size());
        message.write(reinterpret_cast<const char*>(received_.data()), n);
        received_.consume(n);
        return static_cast<int>(n);
    }
    message.resize(before + size);
    const ssize_t n = ::recv(socket_.load(), message.data() + before, size, MSG_WAITALL);
    if (n < 0) {
        const int error = errno;
        message.resize(before);
        if (error == EAGAIN || error == EWOULDBLOCK) {
            return -2;
        }
        if (error == ECONNRESET) {
            return 0;
        }
        return -1;
    }
    message.resize(before + static_cast<unsigned>(n));
    return static_cast<int>(n);
}

int CSCommsInterfaceTCP::receiveAvailable(unsigned wanted) {
    unsigned room = 0;
    unsigned char* tail = received_.prepare(wanted, room);
    const ssize_t n = ::recv(socket_.load(), tail, room, 0);
    if (n < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            return -2;
        }
        return error == ECONNRESET ? 0 : -1;
    }
    received_.commit(static_cast<unsigned>(n));
    return static_cast<int>(n);
}

int CSCommsInterfaceTCP::writeMessage(const RawMessage& message) {
    CSMutex::Guard guard(writeLock_);
    const ssize_t n = ::write(socket_.load(), message.data(), message.size());
    return static_cast<int>(n);
}

unsigned CSCommsInterfaceTCP::convertIPAddressToOctet(const char* text) {
    if (text == nullptr) {
        return INADDR_NONE;
    }
    return static_cast<unsigned>(inet_addr(text));
}

std::string CSCommsInterfaceTCP::convertIPOctetToAddress(unsigned address) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            text += '.';
        }
        text += std::to_string((address >> (8 * i)) & 0xFFu);
    }
    return text;
}

}  // namespace com_nax
