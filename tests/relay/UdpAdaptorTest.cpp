#include "relay/UdpAdaptor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "relay/RelayTestSupport.h"
#include "relay/UnitEncoding.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;

namespace {

class UdpAdaptorTest : public ::testing::Test {
  protected:
    void SetUp() override { relaytest::ensureLoopbackResolves(); }

    // A peer that plays the unit; the link talks to it.
    relaytest::RawPeer unit_{"127.0.0.2"};
    boost::asio::io_service io_;
};

// Sends one datagram through the link and makes the peer see it, so that the
// peer knows where to answer.
std::string exchange(UdpAdaptor& link, relaytest::RawPeer& unit, std::string text) {
    boost::system::error_code ec;
    link.sendCommand(text, ec);
    EXPECT_FALSE(ec) << ec.message();
    return unit.receive();
}

}  // namespace

TEST_F(UdpAdaptorTest, SendsTheTextAsOneDatagramAndReturnsTheReply) {
    UdpAdaptor link(io_, "127.0.0.2");
    link.start_receive();
    EXPECT_EQ("[GET_BATT]@", exchange(link, unit_, "[GET_BATT]@"));
    unit_.reply("[batt]500,100@");
    EXPECT_EQ("[batt]500,100@", link.waitResponse());
    EXPECT_EQ("", link.waitResponse()) << "the reply slot must be emptied when taken";
}

TEST_F(UdpAdaptorTest, ReplySplitAcrossDatagramsIsDeliveredWhole) {
    UdpAdaptor link(io_, "127.0.0.2");
    link.start_receive();
    exchange(link, unit_, "[ID]MonitorRelay v2.2@");
    unit_.reply("[ID]MonitorRe");
    unit_.reply("lay v2.2:SN1@");
    std::string sender, reply;
    ASSERT_TRUE(link.waitConnection(sender, reply)) << "the second half never completed a reply";
    EXPECT_EQ("[ID]MonitorRelay v2.2:SN1@", reply);
    EXPECT_EQ("127.0.0.2", sender);
}

TEST_F(UdpAdaptorTest, KeepsOnlyTheFirstReplyOfADatagramAndTheLatestReply) {
    UdpAdaptor link(io_, "127.0.0.2");
    link.start_receive();
    exchange(link, unit_, "[X]@");
    unit_.reply("[a]1@[b]2@");
    EXPECT_EQ("[a]1@", link.waitResponse());

    exchange(link, unit_, "[X]@");
    unit_.reply("[first]@");
    unit_.reply("[second]@");
    ASSERT_TRUE(testsupport::waitUntil([&] { return link.receivedReplies() == 3; }, 2s))
        << "the two replies never arrived";
    EXPECT_EQ("[second]@", link.waitResponse());
    EXPECT_EQ("", link.waitResponse());
}

TEST_F(UdpAdaptorTest, LongDatagramIsCutTo250Bytes) {
    UdpAdaptor link(io_, "127.0.0.2");
    link.start_receive();
    exchange(link, unit_, "[X]@");
    const std::string longText(300, 'x');
    unit_.reply(longText);  // no "@" in the kept part: it waits for more
    unit_.reply("@");
    EXPECT_EQ(std::string(250, 'x') + "@", link.waitResponse());
}

TEST_F(UdpAdaptorTest, SendDiscardsAReplyThatArrivedBefore) {
    UdpAdaptor link(io_, "127.0.0.2");
    link.start_receive();
    exchange(link, unit_, "[X]@");
    EXPECT_EQ("", link.waitResponse());  // the unit is late
    unit_.reply("[late]@");
    ASSERT_TRUE(testsupport::waitUntil([&] { return link.receivedReplies() == 1; }, 2s))
        << "the late reply never arrived";
    exchange(link, unit_, "[Y]@");
    EXPECT_EQ("", link.waitResponse()) << "a reply older than the send was handed out";
}

TEST_F(UdpAdaptorTest, AUnitLinkDropsOtherHostsAProbeLinkHearsAnyResponder) {
    relaytest::RawPeer other("127.0.0.7");
    UdpTimings quick;
    quick.connectionPolls = 10;
    std::string sender, reply;
    {
        UdpAdaptor link(io_, "127.0.0.2", quick);
        link.start_receive();
        other.sendToLink("[ID]MonitorRelay v2.2:EVIL@");
        ASSERT_TRUE(testsupport::waitUntil([&] { return link.droppedDatagrams() == 1; }, 2s))
            << "the foreign datagram was not dropped";
        EXPECT_FALSE(link.waitConnection(sender, reply)) << "taken from " << sender;
    }
    UdpAdaptor probe(io_, "127.0.0.2", quick, UdpAdaptor::Peers::AnyResponder);
    probe.start_receive();
    other.sendToLink("[ID]MonitorRelay v2.2:OTHER@");
    ASSERT_TRUE(probe.waitConnection(sender, reply)) << "a probe must hear any responder";
    EXPECT_EQ("127.0.0.7", sender);
    EXPECT_EQ("[ID]MonitorRelay v2.2:OTHER@", reply);
}

TEST_F(UdpAdaptorTest, PartialRepliesStayWithTheirSenderAndTheirRequest) {
    relaytest::RawPeer other("127.0.0.7");
    UdpAdaptor link(io_, "127.0.0.2", {}, UdpAdaptor::Peers::AnyResponder);
    link.start_receive();
    std::string request = "[ID]MonitorRelay v2.2@";
    boost::system::error_code ec;
    link.sendCommand(request, ec);
    // Another host's fragment must not lead the unit's reply...
    other.sendToLink("[ID]MonitorRelay v2.2:");
    ASSERT_TRUE(testsupport::waitUntil([&] { return link.receivedDatagrams() == 1; }, 2s));
    unit_.sendToLink("[ID]associated@");
    EXPECT_EQ("[ID]associated@", link.waitResponse());
    // ...nor the unit's own, left over from before the request.
    unit_.sendToLink("[ID]MonitorRelay v2.2:");
    ASSERT_TRUE(testsupport::waitUntil([&] { return link.receivedDatagrams() == 3; }, 2s));
    link.sendCommand(request, ec);
    unit_.sendToLink("[ID]associated@");
    EXPECT_EQ("[ID]associated@", link.waitResponse());
}

TEST_F(UdpAdaptorTest, WaitsRunOutAfterTheirPolls) {
    UdpTimings timing;
    UdpAdaptor link(io_, "127.0.0.2", timing);
    link.start_receive();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ("", link.waitResponse());
    const auto t1 = std::chrono::steady_clock::now();
    std::string sender, reply;
    EXPECT_FALSE(link.waitConnection(sender, reply));
    const auto t2 = std::chrono::steady_clock::now();
    // Lower bounds only: 30 sleeps of 10 ms and 30 of 20 ms cannot be shorter.
    EXPECT_GE(t1 - t0, 300ms);
    EXPECT_GE(t2 - t1, 600ms);
    EXPECT_TRUE(sender.empty() && reply.empty());
}

TEST_F(UdpAdaptorTest, StopReleasesABlockedReceivePromptlyAndSaysStop) {
    UdpAdaptor link(io_, "127.0.0.2");
    link.start_receive();
    link.start_receive();  // a second start is ignored
    const auto t0 = std::chrono::steady_clock::now();
    link.stop_receive();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms) << "the join waited for a datagram";
    EXPECT_EQ("[STOPME]@", unit_.receive());
    link.stop_receive();  // already stopped: nothing happens
    EXPECT_EQ("", unit_.receive(50ms));
}

TEST_F(UdpAdaptorTest, NeverStartedTransportClosesItsSocket) {
    {
        UdpAdaptor link(io_, "127.0.0.2");
        link.stop_receive();  // nothing to stop: no "[STOPME]@"
    }
    EXPECT_EQ("", unit_.receive(50ms));
    // The port is free again for a socket without address reuse.
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(14996);
    // 127.0.0.1 without address reuse clashes with a live 0.0.0.0 socket, not with the peer.
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa))
        << "the destroyed transport still holds port 14996";
    close(fd);
}

TEST_F(UdpAdaptorTest, ThePortIsSharedNeitherWithASecondBridgeNorAnotherProgram) {
    {
        UdpAdaptor first(io_, "127.0.0.2");
        try {
            UdpAdaptor second(io_, "127.0.0.2");
            ADD_FAILURE() << "a second bridge shares port 14996";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(
                "UDP port 14996 on 127.0.0.1 is already in use: is another bridge "
                "running? Stop it first.",
                e.what());
        }
    }
    relaytest::RawPeer program("0.0.0.0");  // bound to every address, with address reuse
    EXPECT_THROW(UdpAdaptor(io_, "127.0.0.2"), std::runtime_error);
}

TEST_F(UdpAdaptorTest, UnresolvableHostRaisesSystemError) {
    EXPECT_THROW(UdpAdaptor(io_, "no-such-host.invalid"), boost::system::system_error);
}

TEST_F(UdpAdaptorTest, DebugModeEchoesSentReceivedAndTakenReplies) {
    UdpAdaptor link(io_, "127.0.0.2");
    link.enableDebugMode();
    link.start_receive();
    testing::internal::CaptureStdout();
    exchange(link, unit_, "[GET_BATT]@");
    unit_.reply("[batt]500,100@");
    ASSERT_TRUE(testsupport::waitUntil([&] { return link.receivedReplies() == 1; }, 2s))
        << "the reply never arrived";
    EXPECT_EQ("[batt]500,100@", link.waitResponse());
    exchange(link, unit_, "[ID]MonitorRelay v2.2@");
    unit_.reply("[ID]MonitorRelay v2.2:SN1@");
    std::string sender, reply;
    ASSERT_TRUE(link.waitConnection(sender, reply)) << "the probe reply never arrived";
    // waitConnection shows nothing of its own.
    EXPECT_EQ(
        "MR>Sending: [GET_BATT]@\nMR>Received: [batt]500,100@\n"
        "MR>Response: [batt]500,100@\nMR>Sending: [ID]MonitorRelay v2.2@\n"
        "MR>Received: [ID]MonitorRelay v2.2:SN1@\n",
        testing::internal::GetCapturedStdout());
}

TEST_F(UdpAdaptorTest, ACommandSentWhileARequestWaitsLeavesItsReplyAlone) {
    UdpTimings slow;
    slow.responsePolls = 1;  // one look, late enough for the command to go out first
    slow.responsePollSleep = 300ms;
    UdpAdaptor link(io_, "127.0.0.2", slow);
    link.start_receive();
    exchange(link, unit_, "[ID]MonitorRelay v2.2@");
    unit_.reply("[ID]MonitorRelay v2.2:SN1@");
    std::string reply;
    std::thread waiter([&] { reply = link.waitResponse(); });
    ASSERT_TRUE(testsupport::waitUntil([&] { return link.receivedReplies() == 1; }, 2s));
    std::string block = "[ABP]80,83,91@";
    boost::system::error_code ec;
    link.sendUnanswered(block, ec);
    waiter.join();
    EXPECT_EQ("[ID]MonitorRelay v2.2:SN1@", reply);
    EXPECT_EQ("[ABP]80,83,91@", unit_.receive());
}

TEST_F(UdpAdaptorTest, ForeignBytesWithoutAnAtSignAreDroppedPastTheCap) {
    UdpAdaptor link(io_, "127.0.0.2");
    link.start_receive();
    exchange(link, unit_, "[GET_BATT]@");
    const std::string junk(200, 'x');
    for (std::size_t sent = 0; sent <= unit_encoding::ReplyAccumulator::kMaxPending;
         sent += junk.size()) {
        unit_.reply(junk);
    }
    // Had the junk been kept, it would lead the next reply.
    unit_.reply("[batt]500,100@");
    EXPECT_EQ("[batt]500,100@", link.waitResponse());
}
