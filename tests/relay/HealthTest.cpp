// The unit's health over time: what the log says about silence and failed
// enabling, the watchdog armed again, and a unit that moved found again.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "relay/RelayFixture.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;
using relaytest::RelayFixture;
using ::testing::HasSubstr;

namespace {

class Health : public RelayFixture {
  protected:
    // Requests wait 100 ms, not 300: the silent checks add up.
    static RelayTimings quick() {
        RelayTimings t = relaytest::fastTimings();
        t.udp.responsePolls = 10;
        return t;
    }
};

}  // namespace

TEST_F(Health, SilenceIsSaidOnceAfterFiveUnansweredChecksAndItsEndToo) {
    adaptor_ = std::make_unique<MonitorRelayAdaptor>(quick());
    connectAndEnable();
    unit_->setSilent(true);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(adaptor_->checkConnection()) << "silence is tolerated";
    }
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(adaptor_->checkConnection());
    }
    EXPECT_EQ(
        "MR>ERROR>No reply from the MonitorRelay unit to 5 health checks in a row; still trying\n",
        testing::internal::GetCapturedStderr());
    unit_->setSilent(false);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(adaptor_->checkConnection());
    EXPECT_TRUE(adaptor_->checkConnection());
    EXPECT_EQ("MR>MonitorRelay unit answers again\n", testing::internal::GetCapturedStdout());
}

TEST_F(Health, AFailedWatchdogIsSaidOnceAndArmedAgainAtTheNextCheck) {
    adaptor_ = std::make_unique<MonitorRelayAdaptor>(quick());
    unit_->dropReplies("WDT", 2);
    ASSERT_TRUE(adaptor_->connectIP("", "127.0.0.2", 3));
    testing::internal::CaptureStderr();
    adaptor_->enable();
    adaptor_->rearmWatchdog();  // fails again: no second line
    EXPECT_EQ(
        "MR>ERROR>Failed to enable watchdog \n"
        "MR>ERROR>MonitorRelay watchdog not armed; retrying at every check\n",
        testing::internal::GetCapturedStderr());
    EXPECT_TRUE(adaptor_->isEnabled());
    EXPECT_FALSE(adaptor_->isWatchdogArmed());
    testing::internal::CaptureStdout();
    adaptor_->rearmWatchdog();
    EXPECT_EQ("MR>Watchdog enabled\n", testing::internal::GetCapturedStdout());
    EXPECT_TRUE(adaptor_->isWatchdogArmed());
    const std::size_t before = unit_->datagramCount();
    adaptor_->rearmWatchdog();  // armed: nothing to send
    fence();
    EXPECT_EQ(before + 1, unit_->datagramCount());
}

TEST_F(Health, AUnitFoundByBroadcastIsSearchedAgainAfterLongSilence) {
    RelayTimings t = quick();
    t.researchAfterSilence = 300ms;
    adaptor_ = std::make_unique<MonitorRelayAdaptor>(t);
    adaptor_->setHostNameSource([] { return std::string("127.255.0.1"); });
    unit_->stop();
    relayunit::EmulatorOptions o;
    o.serial = "SN-MOVES";
    o.alsoListen = {"127.255.255.255"};
    auto before = std::make_unique<relayunit::RelayUnitEmulator>(o);
    before->start();
    testing::internal::CaptureStdout();
    ASSERT_TRUE(adaptor_->initialize("SN-MOVES", "", "", "", false));
    adaptor_->enable();
    ASSERT_TRUE(adaptor_->isEnabled());
    EXPECT_FALSE(adaptor_->researchIfSilent()) << "searched while the unit answers";

    // The unit comes back with another address (DHCP).
    before.reset();
    o.address = "127.0.0.5";
    relayunit::RelayUnitEmulator after(o);
    after.start();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(testsupport::waitUntil([&] { return adaptor_->researchIfSilent(); }, 5s))
        << "never searched again";
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("; searching for it again\n"));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ("127.0.0.5", adaptor_->unitAddress());
    adaptor_->enable();
    EXPECT_TRUE(after.enabled());
}
