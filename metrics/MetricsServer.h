#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

// The HTTP endpoint that serves GET /metrics, on a thread of its own. Every
// connection is asynchronous and bounded (size, idle time, count), so that no
// client, however slow or hostile, holds more than its share.
struct MetricsLimits {
    std::size_t maxRequestBytes = 8 * 1024;
    std::chrono::milliseconds idleTimeout{10000};
    unsigned maxConnections = 8;
};

class MetricsServer {
  public:
    using Limits = MetricsLimits;

    // `body` makes the answer's text; it runs on the server's thread.
    explicit MetricsServer(std::function<std::string()> body, Limits limits = Limits());
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Listens on address:port (port 0: any) and starts the thread; throws
    // std::exception with the reason when it cannot listen.
    void start(const std::string& address, std::uint16_t port);
    void stop();
    std::uint16_t port() const { return port_; }
    unsigned openConnections() const;

    struct State;

  private:
    std::unique_ptr<State> state_;
    std::thread thread_;
    std::uint16_t port_ = 0;
};
