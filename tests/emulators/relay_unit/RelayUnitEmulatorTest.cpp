#include "emulators/relay_unit/RelayUnitEmulator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "BridgeSide.h"
#include "support/RunProcess.h"
#include "support/WaitUntil.h"

using namespace std::chrono_literals;
using relayunit::EmulatorOptions;
using relayunit::RelayUnitEmulator;
using ::testing::ElementsAre;

namespace {

EmulatorOptions quickUnit() {
    EmulatorOptions o;
    o.serial = "SN-7";
    o.watchdogTimeout = 150ms;
    o.completionDelay = 20ms;
    return o;
}

class Emulator : public ::testing::Test {
  protected:
    void SetUp() override { unit_.start(); }

    void associateAndEnable() {
        ASSERT_EQ("[assoc]@", bridge_.ask("[ASSOC]SN-7@"));
        ASSERT_EQ("[enabled]@", bridge_.ask("[ENABLE]@"));
    }

    RelayUnitEmulator unit_{quickUnit()};
    Bridge bridge_;
};

}  // namespace

TEST_F(Emulator, IdentifiesUntilAssociatedAndAnswersFromItsAddress) {
    std::string from;
    bridge_.send("[ID]MonitorRelay v2.2@");
    EXPECT_EQ("[ID]MonitorRelay v2.2:SN-7@", bridge_.receive(2000ms, &from));
    EXPECT_EQ("127.0.0.2", from);
    EXPECT_EQ("[assoc]refused@", bridge_.ask("[ASSOC]SN-8@"));
    EXPECT_EQ("[enable]not_associated@", bridge_.ask("[ENABLE]@"));
    associateAndEnable();
    const std::string id = bridge_.ask("[ID]MonitorRelay v2.2@");
    EXPECT_EQ(std::string::npos, id.find("MonitorRelay v2.2:")) << id;
    EXPECT_EQ("[disabled]@", bridge_.ask("[DISABLE]@"));
    EXPECT_FALSE(unit_.associated());
    EXPECT_EQ("[batt]500,100@", bridge_.ask("[GET_BATT]@"));
}

TEST_F(Emulator, TakesCommandsOnlyWhileEnabled) {
    bridge_.send("[HR]72@");
    associateAndEnable();
    bridge_.send("[HR]80@[SPO2]97@[T1]37.5@[ABP]80,83,91@[CO2]0@");
    ASSERT_TRUE(unit_.waitForLine("CO2", 2s)) << "the batch never arrived";
    const auto lines = unit_.lines();
    ASSERT_EQ("HR", lines[0].name);
    EXPECT_FALSE(lines[0].taken);
    const auto m = unit_.monitor();
    EXPECT_EQ(80, m.hr.value_or(-1));
    EXPECT_EQ(97, m.spo2.value_or(-1));
    EXPECT_FLOAT_EQ(37.5f, m.t1.value_or(-1));
    EXPECT_TRUE(m.co2Disabled);
    EXPECT_THAT(unit_.samples("ABP"), ElementsAre(80, 83, 91));
    EXPECT_EQ(0, unit_.malformedLines());
}

TEST_F(Emulator, WatchdogDropsTheAssociationAfterSilence) {
    associateAndEnable();
    ASSERT_EQ("[wdt]ok@", bridge_.ask("[WDT]1@"));
    ASSERT_TRUE(testsupport::waitUntil([&] { return unit_.watchdogExpiries() == 1; }, 3s))
        << "the watchdog never expired";
    EXPECT_FALSE(unit_.enabled());
    EXPECT_EQ("[ID]MonitorRelay v2.2:SN-7@", bridge_.ask("[ID]MonitorRelay v2.2@"));
}

TEST_F(Emulator, FaultSwitches) {
    unit_.setSplitReplies(true);
    bridge_.send("[GET_BATT]@");
    EXPECT_EQ("[batt]5", bridge_.receive());
    EXPECT_EQ("00,100@", bridge_.receive());

    unit_.setSplitReplies(false);
    unit_.setAnnouncedSerial("SN-FAKE");
    EXPECT_EQ("[ID]MonitorRelay v2.2:SN-FAKE@", bridge_.ask("[ID]MonitorRelay v2.2@"));

    unit_.setReplyDelay(200ms);
    bridge_.send("[GET_BATT]@");
    EXPECT_EQ("", bridge_.receive(50ms)) << "the delayed reply came early";
    EXPECT_EQ("[batt]500,100@", bridge_.receive());

    unit_.setReplyDelay(0ms);
    unit_.setSilent(true);
    bridge_.send("[GET_BATT]@");
    EXPECT_EQ("", bridge_.receive(100ms));
    EXPECT_TRUE(unit_.waitForLine("GET_BATT", 1s, 3)) << "a silent unit still records lines";

    unit_.setSilent(false);
    associateAndEnable();
    unit_.dropAssociation();
    EXPECT_FALSE(unit_.enabled());
}

TEST_F(Emulator, WifiCommandsAcknowledgeThenComplete) {
    associateAndEnable();
    bridge_.send("[WIFI_FACTORY_RESET]@");
    EXPECT_EQ("[wifi_factory_reset]@", bridge_.receive());
    EXPECT_EQ("[wifi_factory_reset]done@", bridge_.receive());
    bridge_.send("[WIFI_CFG]57600,14996,0,MyNet,pa,ss@");
    EXPECT_EQ("[wifi_cgf]ok@", bridge_.receive());
    EXPECT_EQ("[wifi_cfg]stored@", bridge_.receive());
    EXPECT_EQ("MyNet", unit_.wifiSsid());
    EXPECT_EQ("pa,ss", unit_.wifiPassPhrase());
    EXPECT_EQ("[wifi_settings]MyNet,pa,ss@", bridge_.ask("[WIFI_SETTINGS]@"));
    EXPECT_EQ("[wifi_report]ssid=MyNet@", bridge_.ask("[WIFI_REPORT]@"));

    unit_.setWifiConfigCompletes(false);
    bridge_.send("[WIFI_CFG]57600,14996,0,Other,x@");
    EXPECT_EQ("[wifi_cgf]ok@", bridge_.receive());
    EXPECT_EQ("", bridge_.receive(100ms)) << "a completion came although switched off";
}

TEST(EmulatorProgram, HelpListsTheFaultSwitches) {
    const auto result = testsupport::runProcess(RELAY_UNIT_EMULATOR_PATH, {"--help"}, 5000);
    EXPECT_EQ(0, result.exitStatus);
    EXPECT_NE(std::string::npos, result.out.find("--silent"));
    EXPECT_NE(std::string::npos, result.out.find("--watchdog-ms"));
}

TEST(EmulatorProgram, RefusesAnAddressItCannotUse) {
    const auto result =
        testsupport::runProcess(RELAY_UNIT_EMULATOR_PATH, {"--address", "not-an-ip"}, 5000);
    EXPECT_EQ(1, result.exitStatus);
    EXPECT_NE(std::string::npos, result.err.find("not an IPv4 address"));
}

TEST(EmulatorHistory, ALimitedHistoryKeepsTheNewestLinesAndTheMonitorCurrent) {
    EmulatorOptions options = quickUnit();
    options.historyLimit = 10;
    options.watchdogTimeout = 60s;
    RelayUnitEmulator unit(options);
    unit.start();
    Bridge bridge;
    ASSERT_EQ("[assoc]@", bridge.ask("[ASSOC]SN-7@"));
    ASSERT_EQ("[enabled]@", bridge.ask("[ENABLE]@"));
    for (int i = 0; i < 100; ++i) {
        bridge.send("[HR]" + std::to_string(60 + i) + "@[ABP]80,83,91@");
    }
    ASSERT_TRUE(testsupport::waitUntil([&] { return unit.monitor().hr == 159; }, 2s))
        << "the last heart rate never arrived";
    const auto lines = unit.lines();
    EXPECT_LE(lines.size(), 20u);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("ABP", lines.back().name);
    EXPECT_LE(unit.datagramCount(), 20u);
    EXPECT_LE(unit.samples("ABP").size(), 60u);  // at most 20 blocks of 3
}
