#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

// A bare TCP client for the metrics endpoint's tests: it writes exactly what a
// test gives it, however broken, and reads with a bound.
class HttpProbe {
  public:
    explicit HttpProbe(std::uint16_t port, const char* address = "127.0.0.1") {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval bound{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &to.sin_addr);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~HttpProbe() { ::close(fd_); }
    HttpProbe(const HttpProbe&) = delete;
    HttpProbe& operator=(const HttpProbe&) = delete;

    bool connected() const { return connected_; }
    bool send(const std::string& text) {
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    }
    // Everything until the peer closes (or 5 s of silence).
    std::string readToClose() {
        std::string text;
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                // A reset is a close too: the server may close with our bytes unread.
                closedByPeer_ = n == 0 || errno == ECONNRESET;
                return text;
            }
            text.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // True once the peer closed the connection (false after 5 s without).
    bool waitClosed() {
        readToClose();
        return closedByPeer_;
    }

    // One request with "Connection: close", the whole answer.
    static std::string get(std::uint16_t port, const std::string& request) {
        HttpProbe probe(port);
        probe.send(request);
        return probe.readToClose();
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool closedByPeer_ = false;
};
