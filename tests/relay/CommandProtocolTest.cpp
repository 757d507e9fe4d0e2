#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "relay/RelayFixture.h"

using namespace std::chrono_literals;
using relaytest::RelayFixture;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class CommandProtocol : public RelayFixture {};

std::string lineOfLength(std::size_t length) {
    return std::string(length - 4, 'v');  // "[X]" + value + "@"
}

}  // namespace

TEST_F(CommandProtocol, CommandsAreDroppedUntilTheUnitIsEnabled) {
    ASSERT_TRUE(adaptor_->connectIP("", "127.0.0.2", 3));
    const std::size_t before = unit_->datagramCount();
    adaptor_->sendCommand("HR", 72);
    adaptor_->beginCommandSession();
    adaptor_->sendCommand("RR", 12);
    adaptor_->commitCommandSession();
    fence();
    EXPECT_THAT(datagramsAfter(before), ElementsAre("[GET_BATT]@"));

    adaptor_->enable();
    ASSERT_TRUE(adaptor_->isEnabled());
    fence();
    const std::size_t enabledAt = unit_->datagramCount();
    adaptor_->sendCommand("HR", 72);
    adaptor_->sendCommand("T1", 0.0f);
    adaptor_->sendCommand("T2", 36.5f);
    adaptor_->sendCommand("NAME", std::string("text"));
    adaptor_->sendCommand("EMPTY", "");
    fence();
    EXPECT_THAT(datagramsAfter(enabledAt), ElementsAre("[HR]72@", "[T1]0@", "[T2]36.5@",
                                                       "[NAME]text@", "[EMPTY]@", "[GET_BATT]@"));
    EXPECT_EQ(72, unit_->monitor().hr.value_or(-1));
}

TEST_F(CommandProtocol, SessionsHoldAtMost230Characters) {
    connectAndEnable();
    std::size_t mark = unit_->datagramCount();
    const std::string l220 = "[X]" + lineOfLength(220) + "@";
    const std::string l10 = "[RR]12345@";
    const std::string l11 = "[RR]123456@";

    // 220 + 10 fit; an 11-character line then starts a new datagram.
    adaptor_->beginCommandSession();
    adaptor_->sendCommand("X", lineOfLength(220));
    adaptor_->sendCommand("RR", 12345);
    adaptor_->sendCommand("RR", 123456);
    adaptor_->commitCommandSession();
    fence();
    EXPECT_THAT(datagramsAfter(mark), ElementsAre(l220 + l10, l11, "[GET_BATT]@"));

    // 220 + 11 do not fit.
    mark = unit_->datagramCount();
    adaptor_->beginCommandSession();
    adaptor_->sendCommand("X", lineOfLength(220));
    adaptor_->sendCommand("RR", 123456);
    adaptor_->commitCommandSession();
    fence();
    EXPECT_THAT(datagramsAfter(mark), ElementsAre(l220, l11, "[GET_BATT]@"));

    // A line longer than the limit travels alone.
    mark = unit_->datagramCount();
    const std::string l300 = "[X]" + lineOfLength(300) + "@";
    adaptor_->beginCommandSession();
    adaptor_->sendCommand("HR", 72);
    adaptor_->sendCommand("X", lineOfLength(300));
    adaptor_->sendCommand("RR", 1);
    adaptor_->commitCommandSession();
    fence();
    EXPECT_THAT(datagramsAfter(mark), ElementsAre("[HR]72@", l300, "[RR]1@", "[GET_BATT]@"));

    // Also when it opens the session: no empty datagram goes before it.
    mark = unit_->datagramCount();
    adaptor_->beginCommandSession();
    adaptor_->sendCommand("X", lineOfLength(300));
    adaptor_->commitCommandSession();
    fence();
    EXPECT_THAT(datagramsAfter(mark), ElementsAre(l300, "[GET_BATT]@"));
}

TEST_F(CommandProtocol, SessionEdgeCases) {
    connectAndEnable();
    const std::size_t mark = unit_->datagramCount();
    adaptor_->commitCommandSession();  // no session: nothing
    adaptor_->beginCommandSession();
    adaptor_->commitCommandSession();  // empty: nothing
    adaptor_->beginCommandSession();
    adaptor_->sendCommand("HR", 60);
    adaptor_->beginCommandSession();  // keeps the open session and its line
    adaptor_->sendCommand("RR", 10);
    // A request does not enter the session and overtakes it.
    EXPECT_EQ("[wdt]ok@", adaptor_->sendRequest("WDT", 1));
    adaptor_->commitCommandSession();
    fence();
    EXPECT_THAT(datagramsAfter(mark), ElementsAre("[WDT]1@", "[HR]60@[RR]10@", "[GET_BATT]@"));

    // A session committed after the unit was disabled is dropped.
    adaptor_->beginCommandSession();
    adaptor_->sendCommand("HR", 61);
    adaptor_->disable();
    const std::size_t afterDisable = unit_->datagramCount();
    adaptor_->commitCommandSession();
    fence();
    EXPECT_THAT(datagramsAfter(afterDisable), ElementsAre("[GET_BATT]@"));
}

TEST_F(CommandProtocol, WithoutALinkNothingIsSentAndNothingCrashes) {
    MonitorRelayAdaptor fresh(relaytest::fastTimings());
    EXPECT_FALSE(fresh.hasLink());
    EXPECT_EQ("", fresh.sendRequest("ID", "MonitorRelay v2.2"));
    fresh.sendCommand("HR", 72);
    fresh.beginCommandSession();
    fresh.commitCommandSession();
    fresh.enable();
    fresh.disable();
    EXPECT_TRUE(fresh.checkConnection());
    EXPECT_FALSE(fresh.setWifiFactoryReset());
    EXPECT_EQ(0u, unit_->datagramCount());
}

TEST_F(CommandProtocol, EnableAssociatesEnablesAndArmsTheWatchdog) {
    ASSERT_TRUE(adaptor_->connectIP("", "127.0.0.2", 3));
    const std::size_t mark = unit_->datagramCount();
    testing::internal::CaptureStdout();
    adaptor_->enable();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(adaptor_->isEnabled());
    EXPECT_THAT(out, HasSubstr("MR>Enabled\nMR>Watchdog enabled\n"));
    fence();
    EXPECT_THAT(datagramsAfter(mark), ElementsAre("[ASSOC]SN-0042@", "[ENABLE]@", "[WDT]1@",
                                                  "[PLETH]0@", "[CO2]0@", "[GET_BATT]@"));
    EXPECT_TRUE(unit_->watchdogArmed());
    EXPECT_TRUE(unit_->monitor().co2Disabled);

    // Already enabled: nothing more goes out.
    const std::size_t again = unit_->datagramCount();
    adaptor_->enable();
    fence();
    EXPECT_THAT(datagramsAfter(again), ElementsAre("[GET_BATT]@"));
}

TEST_F(CommandProtocol, RefusedOrUnansweredAssociationSendsNoEnableAndIsSaidOnce) {
    unit_->setAnnouncedSerial("SN-OTHER");  // found under a serial the unit refuses
    ASSERT_TRUE(adaptor_->connectIP("", "127.0.0.2", 3));
    std::size_t mark = unit_->datagramCount();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    adaptor_->enable();
    EXPECT_FALSE(adaptor_->isEnabled());
    fence();
    EXPECT_THAT(datagramsAfter(mark), ElementsAre("[ASSOC]SN-OTHER@", "[GET_BATT]@"));

    unit_->setSilent(true);
    mark = unit_->datagramCount();
    adaptor_->enable();
    EXPECT_FALSE(adaptor_->isEnabled());
    fence();
    EXPECT_THAT(datagramsAfter(mark), ElementsAre("[ASSOC]SN-OTHER@", "[GET_BATT]@"));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    // Not dark, and not once per retry either.
    EXPECT_EQ(
        "MR>ERROR>MonitorRelay unit not enabled (association or enabling refused or "
        "unanswered); retrying\n",
        testing::internal::GetCapturedStderr());
}

TEST_F(CommandProtocol, ARequestTakesOnlyItsOwnKindOfReply) {
    connectAndEnable();
    // The battery's answer misses its request and lands while DISABLE
    // waits, ahead of DISABLE's own answer.
    unit_->delayReplies("GET_BATT", 1, 400ms);
    unit_->delayReplies("DISABLE", 1, 200ms);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    adaptor_->getBattery();
    adaptor_->disable();
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_THAT(out, HasSubstr("MR>Disabled\n"))
        << "the late battery reply was taken for DISABLE's";
}

TEST_F(CommandProtocol, AForgedFloodFromAnotherHostNeitherAnswersNorDisassociates) {
    relaytest::RawPeer forger("127.0.0.3");
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        while (flooding) {
            forger.sendToLink("[ID]MonitorRelay v2.2:EVIL@");
            std::this_thread::sleep_for(2ms);
        }
    });
    unit_->setSilent(true);
    EXPECT_FALSE(adaptor_->connectIP("", "127.0.0.2", 2)) << "the forger answered for the unit";
    unit_->setSilent(false);
    connectAndEnable();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(adaptor_->checkConnection()) << "the forged answer disassociated the unit";
    }
    EXPECT_GT(adaptor_->droppedDatagrams(), 0u);
    flooding = false;
    flood.join();
    EXPECT_TRUE(adaptor_->isEnabled());
    EXPECT_EQ("127.0.0.2", adaptor_->unitAddress());
    EXPECT_EQ("SN-0042", adaptor_->serialId());
}

TEST_F(CommandProtocol, SplitRepliesStillAssociate) {
    unit_->setSplitReplies(true);
    connectAndEnable();
    EXPECT_TRUE(unit_->enabled());
}

TEST_F(CommandProtocol, DisableClearsTheFlagEvenWithoutAnswer) {
    ASSERT_TRUE(adaptor_->connectIP("", "127.0.0.2", 3));
    std::size_t mark = unit_->datagramCount();
    adaptor_->disable();  // not enabled: nothing
    fence();
    EXPECT_THAT(datagramsAfter(mark), ElementsAre("[GET_BATT]@"));

    adaptor_->enable();
    testing::internal::CaptureStdout();
    adaptor_->disable();
    EXPECT_EQ("MR>Disabled\n", testing::internal::GetCapturedStdout());
    EXPECT_FALSE(adaptor_->isEnabled());
    EXPECT_FALSE(unit_->enabled());

    adaptor_->enable();
    ASSERT_TRUE(adaptor_->isEnabled());
    unit_->setSilent(true);
    testing::internal::CaptureStdout();
    adaptor_->disable();
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_FALSE(adaptor_->isEnabled()) << "an unanswered disable must still count";
}

TEST_F(CommandProtocol, CheckConnectionNoticesOnlyAnUnassociatedAnswer) {
    connectAndEnable();
    EXPECT_TRUE(adaptor_->checkConnection());
    unit_->setSilent(true);
    EXPECT_TRUE(adaptor_->checkConnection()) << "silence must not count as lost association";
    unit_->setSilent(false);
    unit_->dropAssociation();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(adaptor_->checkConnection());
    EXPECT_EQ(
        "MR>ERROR>MonitorRelay unit is not associated anymore. Wrong response to ID request: "
        "[ID]MonitorRelay v2.2:SN-0042@\n",
        testing::internal::GetCapturedStderr());
    // Re-association, as the run loop does it.
    adaptor_->disable();
    adaptor_->enable();
    EXPECT_TRUE(adaptor_->isEnabled());
    EXPECT_TRUE(adaptor_->checkConnection());
}

TEST_F(CommandProtocol, DebugModeEchoesEachLineSent) {
    connectAndEnable();
    adaptor_->enableDebugMode();
    testing::internal::CaptureStdout();
    adaptor_->sendCommand("HR", 72);
    adaptor_->beginCommandSession();
    adaptor_->sendCommand("RR", 12);
    adaptor_->sendCommand("HR", 70);
    adaptor_->commitCommandSession();
    adaptor_->sendRequest("WDT", 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("MR>Sending: [HR]72@\nMR>Sending: [RR]12@[HR]70@\nMR>Sending: [WDT]1@\n", out);
    EXPECT_THAT(out, Not(HasSubstr("MR>Response")));

    // A session whose unit was disabled meanwhile is echoed, though not sent.
    adaptor_->beginCommandSession();
    adaptor_->sendCommand("HR", 61);
    adaptor_->disable();
    const std::size_t afterDisable = unit_->datagramCount();
    testing::internal::CaptureStdout();
    adaptor_->commitCommandSession();
    EXPECT_EQ("MR>Sending: [HR]61@\n", testing::internal::GetCapturedStdout());
    fence();
    EXPECT_THAT(datagramsAfter(afterDisable), ElementsAre("[GET_BATT]@"));
}

TEST_F(CommandProtocol, BatteryLevelAndSupply) {
    connectAndEnable();
    testing::internal::CaptureStdout();
    adaptor_->getBattery();
    EXPECT_EQ("MR>Battery level: 4.6031 plugged in: true\n",
              testing::internal::GetCapturedStdout());
}

struct BatteryCase {
    const char* reply;
    const char* expectedOut;
    const char* expectedErr;
};

void PrintTo(const BatteryCase& c, std::ostream* os) {
    *os << c.reply;
}

class BatteryReplies : public RelayFixture, public ::testing::WithParamInterface<BatteryCase> {
  protected:
    relayunit::EmulatorOptions unitOptions() override {
        auto o = RelayFixture::unitOptions();
        o.batteryReply = GetParam().reply;
        return o;
    }
};

TEST_P(BatteryReplies, AreParsedOrReported) {
    connectAndEnable();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    adaptor_->getBattery();
    EXPECT_EQ(GetParam().expectedOut, testing::internal::GetCapturedStdout());
    EXPECT_EQ(GetParam().expectedErr, testing::internal::GetCapturedStderr());
}

INSTANTIATE_TEST_SUITE_P(
    Replies, BatteryReplies,
    ::testing::Values(
        BatteryCase{"[batt]500,50@", "MR>Battery level: 4.6031 plugged in: false\n", ""},
        BatteryCase{"[batt]abc,100@", "MR>Battery level: -7.2469 plugged in: true\n", ""},
        BatteryCase{"[batt],100@", "", "MR>ERROR>Invalid GET_BATT response:[batt],100@\n"},
        BatteryCase{"[batt]500,@", "", "MR>ERROR>Invalid GET_BATT response:[batt]500,@\n"},
        BatteryCase{"[batt]500@", "", "MR>ERROR>Invalid GET_BATT response:[batt]500@\n"}),
    [](const ::testing::TestParamInfo<BatteryCase>& info) {
        return "reply" + std::to_string(info.index);
    });
