#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "TestProtocol.h"
#include "support/WaitUntil.h"

using com_nax::CSClient;
using coretest::TestClient;
using testsupport::waitUntil;
using namespace std::chrono_literals;

namespace {

// A listener on 127.0.0.1 whose accept queue is full and never drained: the
// kernel drops every further handshake, so a connect to it hangs, as it does
// against a server too busy to accept.
class FullBacklogListener {
  public:
    FullBacklogListener() {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listenFd_, 0) != 0 ||
            ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        // Backlog 0 admits one finished handshake; a few more make sure it is full.
        for (int i = 0; i < 3; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            fcntl(fd, F_SETFL, O_NONBLOCK);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            fillers_.push_back(fd);
        }
    }
    ~FullBacklogListener() {
        for (int fd : fillers_) {
            ::close(fd);
        }
        ::close(listenFd_);
    }
    unsigned port() const { return port_; }

    // Local ports of the sockets now waiting for this listener's handshake answer.
    std::set<unsigned> hangingPorts() const {
        std::set<unsigned> ports;
        std::ifstream table("/proc/net/tcp");
        std::string line;
        std::getline(table, line);  // column titles
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            const auto remotePort = std::stoul(remote.substr(remote.find(':') + 1), nullptr, 16);
            if (state == "02" && remotePort == port_) {  // SYN_SENT
                ports.insert(static_cast<unsigned>(
                    std::stoul(local.substr(local.find(':') + 1), nullptr, 16)));
            }
        }
        return ports;
    }

  private:
    int listenFd_ = -1;
    unsigned port_ = 0;
    std::vector<int> fillers_;
};

// Ports in `now` that are not in `before`.
std::set<unsigned> newPorts(const std::set<unsigned>& before, const std::set<unsigned>& now) {
    std::set<unsigned> out;
    for (unsigned p : now) {
        if (before.count(p) == 0) {
            out.insert(p);
        }
    }
    return out;
}

com_nax::CSTimings timingsWithLongSends() {
    com_nax::CSTimings t = coretest::fastTimings();
    // Long enough that a connect bounded only by the send timeout fails the test.
    t.sendTimeout = 10000ms;
    return t;
}

}  // namespace

TEST(ConnectTimings, DefaultsAreTheRealValues) {
    const com_nax::CSTimings defaults;
    EXPECT_EQ(2000ms, defaults.connectTimeout);
    EXPECT_EQ(10000ms, defaults.readyTimeout);
}

TEST(Connect, CloseDuringAHangingHandshakeCompletesPromptly) {
    FullBacklogListener listener;
    ASSERT_NE(0u, listener.port());
    const std::set<unsigned> before = listener.hangingPorts();

    TestClient client(com_nax::OPTION_AUTO_RECONNECT);
    client.setTimings(timingsWithLongSends());
    ASSERT_EQ(CSClient::RESULT_OK, client.open("127.0.0.1", listener.port(), nullptr));
    ASSERT_TRUE(
        waitUntil([&] { return !newPorts(before, listener.hangingPorts()).empty(); }, 3000ms))
        << "the client's handshake never started";

    const auto start = std::chrono::steady_clock::now();
    client.close();
    EXPECT_TRUE(waitUntil(
        [&] { return client.getConnectionState() == CSClient::STATE_DISCONNECTED; }, 2500ms))
        << "the engine was still not disconnected";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms)
        << "the close waited for the hanging handshake";
}

TEST(Connect, HandshakeThatNeverCompletesIsAbandonedAndRetried) {
    FullBacklogListener listener;
    ASSERT_NE(0u, listener.port());
    const std::set<unsigned> before = listener.hangingPorts();

    TestClient client(com_nax::OPTION_AUTO_RECONNECT);
    com_nax::CSTimings timings = timingsWithLongSends();
    timings.connectTimeout = 200ms;
    client.setTimings(timings);
    ASSERT_EQ(CSClient::RESULT_OK, client.open("127.0.0.1", listener.port(), nullptr));
    // Each attempt is a new socket, so a second local port means a second attempt.
    std::set<unsigned> attempts;
    EXPECT_TRUE(waitUntil(
        [&] {
            for (unsigned p : newPorts(before, listener.hangingPorts())) {
                attempts.insert(p);
            }
            return attempts.size() >= 2;
        },
        3000ms))
        << "the first attempt was never given up";
    EXPECT_EQ(CSClient::STATE_CONNECTING, client.getConnectionState());
}

TEST(Connect, TransportGivesUpAtItsBoundOrWhenNoLongerWanted) {
    FullBacklogListener listener;
    ASSERT_NE(0u, listener.port());
    com_nax::CSCommsInterfaceTCP transport{com_nax::CSCommsInterfaceTCP::Options()};
    transport.setTimeouts(100ms, 10000ms);
    transport.setConnectTimeout(300ms);
    const unsigned address = com_nax::CSCommsInterfaceTCP::convertIPAddressToOctet("127.0.0.1");

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(transport.openConnection(address, listener.port(), nullptr));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 250ms);
    EXPECT_LT(elapsed, 1500ms);
    EXPECT_FALSE(transport.isOpen());

    transport.setConnectTimeout(5000ms);
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(transport.openConnection(address, listener.port(), [] { return false; }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
}
