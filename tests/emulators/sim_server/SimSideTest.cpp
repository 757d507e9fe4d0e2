// The SIM port against a raw loopback client on an ephemeral port.
#include <gtest/gtest.h>

#include <thread>

#include "emulators/sim_server/SimServerEmulator.h"
#include "tests/emulators/sim_server/RawClient.h"
#include "tests/support/WaitUntil.h"

using namespace simemu;
using namespace simemu_test;
using namespace std::chrono_literals;

namespace {

EmulatorOptions testOptions() {
    EmulatorOptions o;
    o.simPort = 0;
    o.appPort = 0;
    o.quiet = true;
    return o;
}

Bytes versionRequest(std::uint16_t simId) {
    return head(4, 2, 6).u32(static_cast<std::uint32_t>(simId) << 16).u32(0).take();
}

Bytes subscription(std::uint16_t simId, const std::vector<std::string>& names) {
    ByteWriter w = head(4, 2, 1);
    w.u32(static_cast<std::uint32_t>(simId) << 16).u32(static_cast<std::uint32_t>(names.size()));
    for (const auto& n : names) {
        w.u32(0).u32(0).u32(1).fixedText(n, 32);
    }
    return w.take();
}

auto codeIs(std::uint16_t code) {
    return [code](const Frame& f) { return codeOf(f) == code; };
}

class SimSideTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(emu.start());
        ASSERT_NE(emu.simPort(), 0);
        ASSERT_TRUE(client.connect(emu.simPort()));
        ASSERT_TRUE(emu.waitForConnections(Protocol::Sim, 1, 2s)) << "connection never accepted";
    }

    SimServerEmulator emu{testOptions()};
    RawClient client;
};

}  // namespace

TEST_F(SimSideTest, VersionReplyEchoesTheSimulatorIdOrTheForcedOne) {
    ASSERT_TRUE(client.sendFrame(0, versionRequest(1)));
    auto reply = client.readUntil(codeIs(0x0106), 2s);
    ASSERT_TRUE(reply) << "no version reply";
    EXPECT_EQ(wordAt(*reply, 12), 0x10000u);
    EXPECT_EQ(textAt(*reply, 16, 128), "SimServerEmulator 1.0");
    EXPECT_EQ(wordAt(*reply, 144), 2u);
    EXPECT_EQ(wordAt(*reply, 148), 1u);

    emu.setVersionReplySimulatorId(9);
    ASSERT_TRUE(client.sendFrame(0, versionRequest(1)));
    reply = client.readUntil(codeIs(0x0106), 2s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(wordAt(*reply, 12), 9u << 16);

    emu.sendVersionReply(33);
    reply = client.readUntil(codeIs(0x0106), 2s);
    ASSERT_TRUE(reply) << "no unsolicited version reply";
    EXPECT_EQ(wordAt(*reply, 12), 33u << 16);
    EXPECT_EQ(emu.count(MessageKind::SimVersionRequest), 2u);
}

TEST_F(SimSideTest, SubscriptionAnswersKnownNamesWithIdsAndCurrentValues) {
    emu.set("HW_PATSPEED", 1);
    ASSERT_TRUE(client.sendFrame(0, subscription(3, {"HW_PATSPEED", "NO_SUCH", "SAO2"})));
    auto reply = client.readUntil(codeIs(0x0101), 2s);
    ASSERT_TRUE(reply) << "no subscription reply";
    EXPECT_EQ(wordAt(*reply, 12), 3u << 16);
    ASSERT_EQ(wordAt(*reply, 16), 2u) << "the unknown name is left out";
    EXPECT_EQ(textAt(*reply, 20 + 20, 32), "HW_PATSPEED");
    EXPECT_EQ(wordAt(*reply, 20 + 12), 1u) << "integer flag";
    EXPECT_EQ(wordAt(*reply, 20 + 16), 1u) << "current value";
    EXPECT_EQ(textAt(*reply, 72 + 20, 32), "SAO2");
    EXPECT_EQ(wordAt(*reply, 72 + 12), 0u);
    EXPECT_EQ(floatAt(*reply, 72 + 16), 97.0f);

    const auto subs = emu.subscriptions(Protocol::Sim);
    ASSERT_EQ(subs.size(), 2u);
    EXPECT_EQ(subs.at("HW_PATSPEED"), wordAt(*reply, 20));
    EXPECT_EQ(emu.waitForSubscription(Protocol::Sim, "SAO2", 1s), wordAt(*reply, 72));
    const auto req = emu.waitForMessage(MessageKind::SimInputSubscription, 1, 1s);
    ASSERT_TRUE(req);
    EXPECT_EQ(req->entries.size(), 3u);
    EXPECT_EQ(req->entries[1].name, "NO_SUCH");
}

TEST_F(SimSideTest, UpdatesCarryOnlyChangedSubscribedValues) {
    ASSERT_TRUE(client.sendFrame(0, subscription(1, {"HW_PATSPEED", "HW_PATMON_CALIB_ARG1"})));
    auto reply = client.readUntil(codeIs(0x0101), 2s);
    ASSERT_TRUE(reply);
    const std::uint32_t speedId = wordAt(*reply, 20);

    emu.set("HW_PATMON_CALIB_ARG1", 0);  // unchanged: must not be sent
    emu.set("HRPM", 130);                // not subscribed
    emu.set("HW_PATSPEED", 1);
    auto update = client.readUntil(codeIs(0x0003), 2s);
    ASSERT_TRUE(update) << "no update after HW_PATSPEED changed";
    ASSERT_EQ(wordAt(*update, 20), 1u);
    EXPECT_EQ(wordAt(*update, 24), speedId);
    EXPECT_EQ(wordAt(*update, 28), 1u);
    EXPECT_EQ(wordAt(*update, 32), 1u);

    emu.calibration(4, 250);
    update = client.readUntil(codeIs(0x0003), 2s);
    ASSERT_TRUE(update);
    EXPECT_EQ(wordAt(*update, 20), 1u) << "only ARG1 is subscribed";
    EXPECT_EQ(wordAt(*update, 32), 250u);
}

TEST_F(SimSideTest, PublishedOutputsReachTheStore) {
    ASSERT_TRUE(client.sendFrame(0, head(4, 2, 2)
                                        .u32(0x10000)
                                        .u32(2)
                                        .u32(1200)
                                        .u32(1)
                                        .fixedText("MY_INT", 32)
                                        .u32(1200)
                                        .u32(0)
                                        .fixedText("SAO2", 32)
                                        .take()));
    auto reply = client.readUntil(codeIs(0x0102), 2s);
    ASSERT_TRUE(reply) << "no registration reply";
    ASSERT_EQ(wordAt(*reply, 16), 2u);
    const std::uint32_t myId = wordAt(*reply, 20);
    const std::uint32_t sao2Id = wordAt(*reply, 68);
    EXPECT_EQ(textAt(*reply, 20 + 16, 32), "MY_INT");
    EXPECT_EQ(emu.outputs(Protocol::Sim).at("SAO2"), sao2Id);

    ASSERT_TRUE(client.sendFrame(0, head(4, 2, 3)
                                        .u32(0x10000)
                                        .u32(0)
                                        .u32(3)
                                        .u32(myId)
                                        .u32(1)
                                        .i32(-4)
                                        .u32(sao2Id)
                                        .u32(0)
                                        .f32(88.5f)
                                        .u32(0xFFFFF)
                                        .u32(0)
                                        .f32(1.0f)
                                        .take()));
    ASSERT_TRUE(testsupport::waitUntil([&] { return emu.value("SAO2")->value == 88.5; }, 2s))
        << "SAO2 publish never applied";
    EXPECT_EQ(emu.value("MY_INT")->value, -4.0);
    EXPECT_EQ(emu.value("MY_INT")->type, ParamType::Int);
    EXPECT_EQ(emu.waitForMessage(MessageKind::SimPublish, 1, 1s)->entries.size(), 3u);
}

TEST_F(SimSideTest, ANewClientIsServedAfterTheFirstLeavesWithFreshSubscriptions) {
    ASSERT_TRUE(client.sendFrame(0, subscription(1, {"HRPM"})));
    ASSERT_TRUE(client.readUntil(codeIs(0x0101), 2s));

    RawClient second;
    ASSERT_TRUE(second.connect(emu.simPort())) << "the backlog holds the second client";
    ASSERT_TRUE(second.sendFrame(0, versionRequest(2)));
    ASSERT_TRUE(emu.waitForMessage(MessageKind::SimInputSubscription, 1, 1s));
    EXPECT_EQ(emu.connectionCount(Protocol::Sim), 1u) << "only one client at a time";

    client.close();
    ASSERT_TRUE(emu.waitForConnections(Protocol::Sim, 2, 2s)) << "second client never accepted";
    auto reply = second.readUntil(codeIs(0x0106), 2s);
    ASSERT_TRUE(reply) << "the queued request was not answered";
    EXPECT_EQ(wordAt(*reply, 12), 2u << 16);
    EXPECT_TRUE(emu.subscriptions(Protocol::Sim).empty()) << "SIM ids last for one connection";
}

TEST_F(SimSideTest, DropAndMidFrameCloseEndTheConnection) {
    emu.dropConnection(Protocol::Sim);
    EXPECT_TRUE(client.waitClosed(2s)) << "drop did not close";
    EXPECT_TRUE(client.received().empty());

    ASSERT_TRUE(client.connect(emu.simPort()));
    ASSERT_TRUE(emu.waitForConnections(Protocol::Sim, 2, 2s));
    emu.closeMidFrame(Protocol::Sim);
    EXPECT_TRUE(client.waitClosed(2s));
    const Bytes& got = client.received();
    ASSERT_EQ(got.size(), 40u) << "header and part of the payload";
    EXPECT_EQ(got[3], 32u + 24u) << "the header announces more than was sent";
}

TEST_F(SimSideTest, Length32StallAndUnknownFrames) {
    emu.sendUnknownCode(Protocol::Sim, 0x0777);
    emu.sendUnknownFrameKind(Protocol::Sim, 7);
    auto f = client.readFrame(2s);
    ASSERT_TRUE(f);
    EXPECT_EQ(codeOf(*f), 0x0777);
    f = client.readFrame(2s);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->kind, 7u);

    client.clearReceived();
    emu.sendFrameLength32(Protocol::Sim);
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            client.soak(5ms);
            return client.received().size() >= 32;
        },
        2s));
    EXPECT_EQ(client.received(), encodeFrame(0, {}));
    EXPECT_EQ(client.received()[3], 32u);

    // After a stall nothing more goes out, not even due updates or replies.
    ASSERT_TRUE(client.connect(emu.simPort()));
    ASSERT_TRUE(emu.waitForConnections(Protocol::Sim, 2, 2s));
    emu.stallMidFrame(Protocol::Sim);
    ASSERT_TRUE(client.sendFrame(0, versionRequest(1)));
    ASSERT_TRUE(emu.waitForMessage(MessageKind::SimVersionRequest, 1, 2s))
        << "a stalled server still reads";
    client.soak(150ms);
    EXPECT_EQ(client.received().size(), 40u);
    EXPECT_FALSE(client.closedByPeer());
}

TEST_F(SimSideTest, RefusedConnectionsComeBackOnTheSamePort) {
    const auto port = emu.simPort();
    emu.refuseConnections(Protocol::Sim, 400ms);
    emu.dropConnection(Protocol::Sim);
    ASSERT_TRUE(client.waitClosed(2s));
    RawClient probe;
    EXPECT_FALSE(probe.connect(port)) << "connect should be refused while refusing";
    ASSERT_TRUE(testsupport::waitUntil([&] { return probe.connect(port); }, 3s))
        << "listening never resumed";
    EXPECT_TRUE(emu.waitForConnections(Protocol::Sim, 2, 2s));
    EXPECT_EQ(emu.simPort(), port);
}

TEST_F(SimSideTest, MalformedRequestsAreRecordedButNotAnswered) {
    ByteWriter w = head(4, 2, 1);
    w.u32(0x10000).u32(5).u32(0).u32(0).u32(1).fixedText("HRPM", 32);  // claims 5, holds 1
    ASSERT_TRUE(client.sendFrame(0, w.take()));
    ASSERT_TRUE(client.sendFrame(0, versionRequest(1)));
    auto f = client.readFrame(2s);
    ASSERT_TRUE(f);
    EXPECT_EQ(codeOf(*f), 0x0106) << "the broken subscription got no reply";
    auto m = emu.waitForMessage(MessageKind::SimInputSubscription, 1, 1s);
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->malformed);
    EXPECT_TRUE(emu.subscriptions(Protocol::Sim).empty());
}

TEST(SimServerEmulator, StartStopAreIdempotentAndABusyPortFails) {
    SimServerEmulator a(testOptions());
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(a.start());
    EmulatorOptions o = testOptions();
    o.simPort = a.simPort();
    SimServerEmulator b(o);
    EXPECT_FALSE(b.start()) << "the port is taken";
    a.stop();
    a.stop();
    RawClient c;
    EXPECT_FALSE(c.connect(o.simPort));
}

TEST_F(SimSideTest, FloatValuesSwitchSendsIntegersWithTheFloatFlag) {
    emu.set("HW_PATSPEED", 1);
    emu.sendSimValuesAsFloats(true);
    EXPECT_TRUE(emu.simValuesAsFloats());
    ASSERT_TRUE(client.sendFrame(0, subscription(1, {"HW_PATSPEED"})));
    auto reply = client.readUntil(codeIs(0x0101), 2s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(wordAt(*reply, 20 + 12), 0u) << "the reply's value carries the float flag";
    EXPECT_EQ(wordAt(*reply, 20 + 16), 0x3F800000u) << "1 as the float 1.0";

    emu.set("HW_PATSPEED", 4);
    auto update = client.readUntil(codeIs(0x0003), 2s);
    ASSERT_TRUE(update);
    EXPECT_EQ(wordAt(*update, 28), 0u);
    EXPECT_EQ(floatAt(*update, 32), 4.0f);

    emu.sendSimValuesAsFloats(false);
    emu.set("HW_PATSPEED", 1);
    update = client.readUntil(codeIs(0x0003), 2s);
    ASSERT_TRUE(update);
    EXPECT_EQ(wordAt(*update, 28), 1u) << "back to the integer flag";
    EXPECT_EQ(wordAt(*update, 32), 1u);
}
