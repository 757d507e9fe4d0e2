// The fault switches that take replies away: by request name, by fraction,
// for a while, and the same switches through the control channel.
#include <signal.h>

#include <sstream>

#include <gtest/gtest.h>

#include "BridgeSide.h"
#include "PtyProcess.h"
#include "emulators/relay_unit/ControlCommands.h"
#include "emulators/relay_unit/RelayUnitEmulator.h"
#include "emulators/relay_unit/ReplyLoss.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;
using relayunit::RelayUnitEmulator;

namespace {

relayunit::EmulatorOptions unitOptions() {
    relayunit::EmulatorOptions o;
    o.serial = "SN-7";
    o.watchdogTimeout = 60s;
    o.seed = 42;
    return o;
}

// Collects replies until `expected` came in all, or none came for 300 ms.
int countReplies(Bridge& bridge, int expected) {
    int n = 0;
    while (n < expected && !bridge.receive(300ms).empty()) {
        ++n;
    }
    return n;
}

std::string repeat(const std::string& line, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) {
        text += line;
    }
    return text;
}

class ReplyFaults : public ::testing::Test {
  protected:
    void SetUp() override { unit_.start(); }

    RelayUnitEmulator unit_{unitOptions()};
    Bridge bridge_;
};

}  // namespace

TEST_F(ReplyFaults, DropTheNextRepliesOfOneNameOnly) {
    unit_.dropReplies("GET_BATT", 2);
    bridge_.send(repeat("[GET_BATT]@", 3) + "[ID]MonitorRelay v2.2@");
    EXPECT_EQ("[batt]500,100@", bridge_.receive()) << "the third GET_BATT was not answered";
    EXPECT_EQ("[ID]MonitorRelay v2.2:SN-7@", bridge_.receive()) << "another name was touched";
    EXPECT_EQ(2, unit_.droppedReplies());
    EXPECT_EQ("[batt]500,100@", bridge_.ask("[GET_BATT]@")) << "the count did not run out";
}

TEST_F(ReplyFaults, DelayTheNextRepliesOfOneName) {
    unit_.delayReplies("ENABLE", 1, 250ms);
    ASSERT_EQ("[assoc]@", bridge_.ask("[ASSOC]SN-7@"));
    bridge_.send("[ENABLE]@");
    EXPECT_EQ("", bridge_.receive(100ms)) << "the delayed reply came early";
    EXPECT_EQ("[enabled]@", bridge_.receive());
    EXPECT_TRUE(unit_.enabled()) << "a delayed reply still takes effect";
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ("[enabled]@", bridge_.ask("[ENABLE]@"));
    EXPECT_LT(std::chrono::steady_clock::now() - sent, 200ms) << "the second reply was delayed";
}

TEST_F(ReplyFaults, SilenceForAWhileThenAnswerAgain) {
    unit_.silenceFor(300ms);
    bridge_.send("[GET_BATT]@");
    EXPECT_EQ("", bridge_.receive(100ms)) << "a silenced unit answered";
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return !bridge_.ask("[GET_BATT]@", 50ms).empty(); }, 3s))
        << "the unit never spoke again";
    EXPECT_GE(unit_.droppedReplies(), 2);
}

TEST(ReplyLoss, SeededDrawsRepeatAndHitTheFraction) {
    relayunit::ReplyLoss a(7), b(7), c(8), none(7), all(7);
    a.setFraction(0.05);
    b.setFraction(0.05);
    c.setFraction(0.05);
    none.setFraction(0);
    all.setFraction(1.5);  // clamped to 1
    int dropped = 0;
    bool differs = false;
    for (int i = 0; i < 20000; ++i) {
        const bool d = a.drop();
        ASSERT_EQ(d, b.drop()) << "draw " << i << " differs for the same seed";
        differs |= d != c.drop();
        dropped += d;
        ASSERT_FALSE(none.drop());
        ASSERT_TRUE(all.drop());
    }
    EXPECT_TRUE(differs) << "another seed gave the same sequence";
    EXPECT_NEAR(1000, dropped, 150);  // 5 % of 20000; sd about 31
}

TEST_F(ReplyFaults, ReplyLossDropsWhatTheSeedPredicts) {
    relayunit::ReplyLoss predicted(unitOptions().seed);
    predicted.setFraction(0.5);
    int expectedDrops = 0;
    for (int i = 0; i < 40; ++i) {
        expectedDrops += predicted.drop();
    }
    ASSERT_GT(expectedDrops, 0);
    unit_.setReplyLoss(0.5);
    bridge_.send(repeat("[GET_BATT]@", 40));
    EXPECT_EQ(40 - expectedDrops, countReplies(bridge_, 40));
    EXPECT_EQ(expectedDrops, unit_.droppedReplies());

    unit_.setReplyLoss(0);
    EXPECT_EQ("[batt]500,100@", bridge_.ask("[GET_BATT]@"));
}

TEST(ControlCommands, ParseFaultsAndFractions) {
    const auto drop = relayunit::parseReplyFault("ENABLE:3", false);
    ASSERT_TRUE(drop);
    EXPECT_EQ("ENABLE", drop->name);
    EXPECT_EQ(3, drop->count);
    const auto delay = relayunit::parseReplyFault("ID:2:1500", true);
    ASSERT_TRUE(delay);
    EXPECT_EQ(1500ms, delay->delay);
    for (const char* bad : {"ENABLE", "ENABLE:", ":1", "ENABLE:-1", "ENABLE:x", "ENABLE:1:5"}) {
        EXPECT_FALSE(relayunit::parseReplyFault(bad, false)) << bad;
    }
    EXPECT_FALSE(relayunit::parseReplyFault("ID:2", true));
    EXPECT_EQ(0.05, relayunit::parseFraction("0.05").value_or(-1));
    for (const char* bad : {"", "1.5", "-0.1", "nan", "0.1x"}) {
        EXPECT_FALSE(relayunit::parseFraction(bad)) << bad;
    }
}

TEST_F(ReplyFaults, ControlCommandsFlipTheSwitchesOfARunningUnit) {
    std::ostringstream out;
    const auto run = [&](const std::string& line) {
        return relayunit::runControlCommand(unit_, line, out);
    };
    ASSERT_TRUE(run("drop-replies ENABLE 1"));
    ASSERT_EQ("[assoc]@", bridge_.ask("[ASSOC]SN-7@"));
    EXPECT_EQ("", bridge_.ask("[ENABLE]@", 150ms));
    EXPECT_EQ("[enabled]@", bridge_.ask("[ENABLE]@"));

    ASSERT_TRUE(run("forget"));
    EXPECT_FALSE(unit_.enabled());

    ASSERT_TRUE(run("reply-loss 1"));
    EXPECT_EQ("", bridge_.ask("[GET_BATT]@", 150ms));
    ASSERT_TRUE(run("reply-loss 0"));
    EXPECT_EQ("[batt]500,100@", bridge_.ask("[GET_BATT]@"));

    ASSERT_TRUE(run("silent"));
    EXPECT_EQ("", bridge_.ask("[GET_BATT]@", 150ms));
    ASSERT_TRUE(run("talk"));
    ASSERT_TRUE(run("delay-replies GET_BATT:1:200"));
    bridge_.send("[GET_BATT]@");
    EXPECT_EQ("", bridge_.receive(80ms));
    EXPECT_EQ("[batt]500,100@", bridge_.receive());

    ASSERT_TRUE(run("# a comment"));
    ASSERT_TRUE(run("status"));
    EXPECT_NE(std::string::npos, out.str().find("associated no, enabled no")) << out.str();
    for (const char* bad : {"reply-loss 2", "drop-replies ENABLE", "silent -1", "bogus"}) {
        EXPECT_FALSE(run(bad)) << bad;
    }
}

// The soak script talks to a running program through its standard input.
TEST(ControlChannel, TheProgramTakesCommandsOnItsStandardInput) {
    PtyProcess unit(RELAY_UNIT_EMULATOR_PATH,
                    {"--serial", "SN-7", "--drop-replies", "ASSOC:1", "--seed", "3"}, 100, 30);
    ASSERT_TRUE(unit.waitForOutput("serial SN-7 on 127.0.0.2", 5s)) << unit.output();
    Bridge bridge;
    EXPECT_EQ("", bridge.ask("[ASSOC]SN-7@", 150ms));
    EXPECT_EQ("[assoc]@", bridge.ask("[ASSOC]SN-7@"));
    unit.type("reply-loss 1\n");
    ASSERT_TRUE(unit.waitForOutput("reply loss 1", 5s)) << unit.output();
    EXPECT_EQ("", bridge.ask("[ENABLE]@", 150ms));
    unit.type("reply-loss 0\nsilent 0\n");
    ASSERT_TRUE(unit.waitForOutput("silent for 0 s", 5s)) << unit.output();
    EXPECT_EQ("[enabled]@", bridge.ask("[ENABLE]@"));
    unit.signal(SIGTERM);
    EXPECT_EQ(0, unit.waitForExit(5s));
}
