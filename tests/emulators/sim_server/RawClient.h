#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

#include "emulators/sim_server/ByteCodec.h"
#include "emulators/sim_server/Frame.h"

namespace simemu_test {

using simemu::Bytes;
using simemu::ByteWriter;
using simemu::Frame;

// A bare loopback client for poking the emulator byte by byte.
class RawClient {
  public:
    ~RawClient() { close(); }

    bool connect(std::uint16_t port) {
        close();
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close();
            return false;
        }
        return true;
    }

    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        assembler_.clear();
        pending_.clear();
        closedByPeer_ = false;
    }

    bool sendBytes(const Bytes& b) {
        return fd_ >= 0 &&
               ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    bool sendFrame(std::uint32_t kind, Bytes payload) {
        return sendBytes(simemu::encodeFrame(kind, std::move(payload)));
    }

    // The next whole frame, or nullopt at the deadline, on end of stream or on
    // an invalid length.
    std::optional<Frame> readFrame(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        Frame f;
        for (;;) {
            const auto s = assembler_.next(f);
            if (s == simemu::FrameAssembler::Status::Frame) {
                return f;
            }
            if (s == simemu::FrameAssembler::Status::Invalid || !fill(deadline)) {
                return std::nullopt;
            }
        }
    }

    // The first frame for which `match` holds, skipping others.
    std::optional<Frame> readUntil(const std::function<bool(const Frame&)>& match,
                                   std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            auto f = readFrame(left);
            if (!f || match(*f)) {
                return f;
            }
        }
    }

    // Reads until the peer closes or the deadline passes; true when it closed.
    bool waitClosed(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (fill(deadline)) {
        }
        return closedByPeer_;
    }
    // Reads for `period`, whatever arrives.
    void soak(std::chrono::milliseconds period) {
        const auto deadline = std::chrono::steady_clock::now() + period;
        while (fd_ >= 0 && !closedByPeer_ && std::chrono::steady_clock::now() < deadline) {
            fill(deadline);
        }
    }
    // Every byte received since the connection or the last clearReceived.
    const Bytes& received() const { return pending_; }
    void clearReceived() { pending_.clear(); }

    bool closedByPeer() const { return closedByPeer_; }

  private:
    // Waits for data until the deadline; false on timeout or end of stream.
    bool fill(std::chrono::steady_clock::time_point deadline) {
        if (fd_ < 0 || closedByPeer_) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{fd_, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
            return false;
        }
        std::uint8_t buf[65536];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            closedByPeer_ = true;
            return false;
        }
        assembler_.feed(buf, static_cast<std::size_t>(n));
        pending_.insert(pending_.end(), buf, buf + n);
        return true;
    }

    int fd_ = -1;
    bool closedByPeer_ = false;
    simemu::FrameAssembler assembler_;
    Bytes pending_;  // every byte received, for fault tests that inspect raw bytes
};

// Client-side request builders, written from the wire layouts independently of
// the emulator's encoders.
inline ByteWriter head(std::uint8_t protocol, std::uint8_t subprotocol, std::uint16_t code) {
    ByteWriter w;
    w.u8(protocol).u8(subprotocol).u16(0x7FFF).u32(0).u16(0x007F).u16(code);
    return w;
}

inline std::uint16_t codeOf(const Frame& f) {
    return f.payload.size() >= 12 ? static_cast<std::uint16_t>((f.payload[10] << 8) | f.payload[11])
                                  : 0;
}

inline std::uint32_t wordAt(const Frame& f, std::size_t offset) {
    std::uint32_t v = 0;
    simemu::ByteReader(f.payload).u32(offset, v);
    return v;
}

inline float floatAt(const Frame& f, std::size_t offset) {
    return simemu::floatFromBits(wordAt(f, offset));
}

inline std::string textAt(const Frame& f, std::size_t offset, std::size_t width) {
    std::string s;
    simemu::ByteReader(f.payload).fixedText(offset, width, s);
    return s;
}

}  // namespace simemu_test
