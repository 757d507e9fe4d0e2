#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

// The bridge's side, reduced to a socket on 127.0.0.1:14996.
class Bridge {
  public:
    Bridge() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(14996);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ADD_FAILURE() << "the bridge side cannot bind";
        }
    }
    ~Bridge() { close(fd_); }
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    void send(const std::string& text, const char* to = "127.0.0.2") {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(14996);
        inet_pton(AF_INET, to, &sa.sin_addr);
        sendto(fd_, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    std::string receive(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000),
                        std::string* from = nullptr) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
            return std::string();
        }
        char buffer[512];
        sockaddr_in sa{};
        socklen_t length = sizeof sa;
        const ssize_t n =
            recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sa), &length);
        if (from) {
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
            *from = text;
        }
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }
    std::string ask(const std::string& text,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
        send(text);
        return receive(timeout);
    }

  private:
    int fd_ = -1;
};
