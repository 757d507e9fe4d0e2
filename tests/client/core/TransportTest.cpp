#include <gtest/gtest.h>

#include <chrono>

#include "LoopbackPeer.h"
#include "client/core/CSCommsInterfaceTCP.h"
#include "client/core/RawMessage.h"
#include "support/WaitUntil.h"

using com_nax::CSCommsInterfaceTCP;
using com_nax::RawMessage;
using coretest::LoopbackPeer;
using namespace std::chrono_literals;

namespace {

struct Transport : CSCommsInterfaceTCP {
    Transport() : CSCommsInterfaceTCP(Options()) { setTimeouts(100ms, 1000ms); }
};

}  // namespace

TEST(Transport, AddressConversions) {
    const unsigned octet = CSCommsInterfaceTCP::convertIPAddressToOctet("127.0.0.1");
    EXPECT_EQ(octet & 0xFFu, 127u);
    EXPECT_EQ(octet >> 24, 1u);
    EXPECT_EQ(CSCommsInterfaceTCP::convertIPOctetToAddress(octet), "127.0.0.1");
    EXPECT_EQ(CSCommsInterfaceTCP::convertIPOctetToAddress(0x0A01A8C0u), "192.168.1.10");
    EXPECT_EQ(CSCommsInterfaceTCP::convertIPOctetToAddress(0), "0.0.0.0");
    EXPECT_EQ(CSCommsInterfaceTCP::convertIPAddressToOctet("300.1.2.3"), 0xFFFFFFFFu);
    EXPECT_EQ(CSCommsInterfaceTCP::convertIPAddressToOctet("not an address"), 0xFFFFFFFFu);
}

TEST(Transport, RefusedConnectionFailsSilently) {
    Transport transport;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(transport.openConnection("127.0.0.1", coretest::refusedPort()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(transport.getSocket(), -1);
    transport.close();  // closing a closed transport does nothing
    EXPECT_EQ(transport.getSocket(), -1);
}

TEST(Transport, TimeoutAndPartialReads) {
    LoopbackPeer peer;
    Transport transport;
    ASSERT_TRUE(transport.openConnection("127.0.0.1", peer.port()));
    ASSERT_TRUE(testsupport::waitUntil([&] { return peer.connectionCount() == 1; }, 2000ms))
        << "the peer never accepted the connection";

    RawMessage m(RawMessage::MSG_DATA);
    m.write(0xDEADBEEFu);
    EXPECT_EQ(transport.readMessage(32, m), -2);
    EXPECT_EQ(m.size(), 4u);

    ASSERT_TRUE(peer.sendRaw(std::vector<uint8_t>(40, 0x5A)));
    // MSG_WAITALL returns what arrived once the receive timeout expires.
    EXPECT_EQ(transport.readMessage(100, m), 40);
    ASSERT_EQ(m.size(), 44u);
    EXPECT_EQ(m.getDoubleWord(0), 0xDEADBEEFu);
    EXPECT_EQ(m.getDoubleWord(40), 0x5A5A5A5Au);
}

TEST(Transport, WritesWholeBufferAndReportsPeerCloseAndReset) {
    LoopbackPeer peer;
    Transport transport;
    ASSERT_TRUE(transport.openConnection("127.0.0.1", peer.port()));
    ASSERT_TRUE(testsupport::waitUntil([&] { return peer.connectionCount() == 1; }, 2000ms));

    RawMessage out(RawMessage::MSG_DATA);
    out.write(0x01020304u);
    out.write(static_cast<unsigned char>(5));
    EXPECT_EQ(transport.writeMessage(out), 5);
    ASSERT_TRUE(testsupport::waitUntil([&] { return peer.received(0).size() == 5; }, 2000ms))
        << "the peer never received the 5 written bytes";
    EXPECT_EQ(peer.received(0), (std::vector<uint8_t>{1, 2, 3, 4, 5}));

    peer.closeNewest();
    RawMessage in(RawMessage::MSG_DATA);
    EXPECT_EQ(transport.readMessage(8, in), 0);
    EXPECT_EQ(in.size(), 0u);

    // A second open first closes the old socket; then a reset reads as 0 too.
    ASSERT_TRUE(transport.openConnection("127.0.0.1", peer.port()));
    ASSERT_TRUE(testsupport::waitUntil([&] { return peer.connectionCount() == 2; }, 2000ms));
    peer.resetNewest();
    ASSERT_TRUE(testsupport::waitUntil([&] { return peer.peerClosed(1); }, 2000ms));
    int result = -2;
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            result = transport.readMessage(8, in);
            return result != -2;
        },
        2000ms));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(in.size(), 0u);
}
