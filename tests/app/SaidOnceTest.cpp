// A simulation server that cannot be reached, or that closes every connection
// as soon as it accepts it, is said once per episode, not once per retry.
#include <gtest/gtest.h>

#include <string>

#include "client/protocols/FastTimings.h"
#include "client/protocols/SimClient.h"
#include "support/FakeTcpPeer.h"
#include "support/WaitUntil.h"

using com_nax::CSClient;
using namespace std::chrono_literals;

namespace {

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

TEST(SaidOnce, AnUnreachableServerIsSaidOnceAndItsReturnToo) {
    testsupport::FakeTcpPeer server(false);  // the port refuses connections
    const std::string port = std::to_string(server.port());
    com_nax::SimClient client(1, CSClient::OPTION_AUTO_RECONNECT);
    client.setTimings(prototest::fastTimings());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_EQ(client.open("127.0.0.1", server.port(), nullptr), CSClient::RESULT_OK);
    // Some ten refused attempts, 50 ms apart: the stretch to look at.
    std::this_thread::sleep_for(500ms);
    server.startListening();
    const bool reached = testsupport::waitUntil([&] { return server.connections() >= 1; }, 5s);
    // The line of the return comes after the connection; closing waits for the thread.
    client.close();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(reached);
    EXPECT_EQ(
        count(err, "The simulation server cannot be reached on port " + port + "; trying again.\n"),
        1u)
        << err;
    EXPECT_EQ(count(out, "The simulation server is reached again on port " + port + ".\n"), 1u)
        << out;
}

TEST(SaidOnce, ConnectionsClosedAtOnceAreNotSaidOneByOne) {
    testsupport::FakeTcpPeer server;
    // Closes every connection at its first request, before it becomes ready.
    server.setResponder([](testsupport::FakeTcpPeer& peer, const testsupport::FakeTcpPeer::Frame&) {
        peer.closeNewest();
    });
    com_nax::SimClient client(1, CSClient::OPTION_AUTO_RECONNECT);
    client.setTimings(prototest::fastTimings());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    ASSERT_EQ(client.open("127.0.0.1", server.port(), nullptr), CSClient::RESULT_OK);
    const bool cycled = testsupport::waitUntil([&] { return server.connections() >= 6; }, 10s);
    client.close();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(cycled) << "the client did not keep reconnecting";
    EXPECT_EQ(count(err + out, "Connection closed by server.\n"), 1u) << err << out;
}
