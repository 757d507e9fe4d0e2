#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "relay/RelayFixture.h"
#include "relay/WifiConfiguration.h"

using namespace std::chrono_literals;
using relaytest::RelayFixture;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

namespace {

class UnitCommands : public RelayFixture {
  protected:
    // Runs `send` on an enabled unit and returns the datagrams it produced.
    template <typename Send>
    std::vector<std::string> sent(Send send) {
        const std::size_t mark = unit_->datagramCount();
        send();
        fence();
        auto texts = datagramsAfter(mark);
        texts.pop_back();  // the fence
        return texts;
    }
};

}  // namespace

TEST_F(UnitCommands, NumericsAreClampedAndWrittenExactly) {
    connectAndEnable();
    auto& a = *adaptor_;
    EXPECT_THAT(sent([&] { a.sendHR_bpm(10); }), ElementsAre("[HR]20@"));
    EXPECT_THAT(sent([&] { a.sendHR_bpm(400); }), ElementsAre("[HR]300@"));
    EXPECT_THAT(sent([&] { a.sendDisableHR(); }), ElementsAre("[HR]0@"));
    EXPECT_THAT(sent([&] { a.sendRR_brpm(-1); }), ElementsAre("[RR]0@"));
    EXPECT_THAT(sent([&] { a.sendRR_brpm(101); }), ElementsAre("[RR]100@"));
    EXPECT_THAT(sent([&] { a.sendDisableRR(); }), ElementsAre("[RR]0@"));
    EXPECT_THAT(sent([&] { a.sendSPO2Scale(0); }), ElementsAre("[SPO2_SCALE]1@"));
    EXPECT_THAT(sent([&] { a.sendSPO2Scale(15); }), ElementsAre("[SPO2_SCALE]10@"));
    EXPECT_THAT(sent([&] { a.sendSPO2_ratio(0); }), ElementsAre("[SPO2]1@"));
    EXPECT_THAT(sent([&] { a.sendSPO2_ratio(401); }), ElementsAre("[SPO2]400@"));
    EXPECT_THAT(sent([&] { a.enableSPO2Probe(true); }), ElementsAre("[SPO2_PROBE]1@"));
    EXPECT_THAT(sent([&] { a.enableSPO2Probe(false); }), ElementsAre("[SPO2_PROBE]0@"));
    EXPECT_THAT(sent([&] { a.sendNIBP_mmHg(120, -5, 400); }),
                ElementsAre("[SBP]120@", "[DBP]0@", "[MBP]300@"));
    EXPECT_THAT(sent([&] { a.sendDisableNIBP(); }), ElementsAre("[SBP]0@", "[MBP]0@", "[DBP]0@"));
    EXPECT_THAT(sent([&] { a.sendT1_degC(36.66f); }), ElementsAre("[T1]36.7@"));
    EXPECT_THAT(sent([&] { a.sendT1_degC(50); }), ElementsAre("[T1]47.0@"));
    EXPECT_THAT(sent([&] { a.sendT2_degC(10); }), ElementsAre("[T2]21.0@"));
    EXPECT_THAT(sent([&] { a.sendT2_degC(std::numeric_limits<float>::quiet_NaN()); }),
                ElementsAre("[T2]21.0@"));
    EXPECT_THAT(sent([&] { a.sendDisableT1(); }), ElementsAre("[T1]0@"));
    EXPECT_THAT(sent([&] { a.sendDisableT2(); }), ElementsAre("[T2]0@"));
    EXPECT_THAT(sent([&] { a.sendDisableCO2(); }), ElementsAre("[CO2]0@"));
}

TEST_F(UnitCommands, SessionOfNumericsReachesTheMonitor) {
    connectAndEnable();
    const auto datagrams = sent([&] {
        adaptor_->beginCommandSession();
        adaptor_->sendHR_bpm(72);
        adaptor_->sendRR_brpm(14);
        adaptor_->sendSPO2_ratio(97);
        adaptor_->sendNIBP_mmHg(120, 80, 93);
        adaptor_->sendT1_degC(37.0f);
        adaptor_->commitCommandSession();
    });
    EXPECT_THAT(datagrams,
                ElementsAre("[HR]72@[RR]14@[SPO2]97@[SBP]120@[DBP]80@[MBP]93@[T1]37.0@"));
    const auto m = unit_->monitor();
    EXPECT_EQ(72, m.hr.value_or(-1));
    EXPECT_EQ(14, m.rr.value_or(-1));
    EXPECT_EQ(97, m.spo2.value_or(-1));
    EXPECT_EQ(120, m.sbp.value_or(-1));
    EXPECT_EQ(80, m.dbp.value_or(-1));
    EXPECT_EQ(93, m.mbp.value_or(-1));
    EXPECT_FLOAT_EQ(37.0f, m.t1.value_or(-1));
}

TEST_F(UnitCommands, WaveformsTravelAsOneLineEach) {
    connectAndEnable();
    std::vector<float> abp = {80, 81, 84, 90, 93, 1, 2};
    std::vector<float> cvp(20, 5.0f);
    std::vector<float> co2 = {0.05f, 0, 0, 0, 0, 0, 2, 2, 0, 0};
    std::vector<float> ecg = {0, 100, -50, 50, -100};
    std::vector<float> pap = {-3, -3, -3, -3, -3};
    std::vector<float> pleth = {150, -1, -1, 3, 3};
    const auto datagrams = sent([&] {
        adaptor_->sendABP_50Hz(abp);
        adaptor_->sendCVP_25Hz(cvp);
        adaptor_->sendCO2_25Hz(co2);
        adaptor_->sendECG_100Hz(ecg);
        adaptor_->sendPAP_50Hz(pap);
        adaptor_->sendPLETH_50Hz(pleth);
    });
    EXPECT_THAT(datagrams,
                ElementsAre("[ABP]80,83,91@", "[CVP]5,5,5,5,5,5@", "[CO2]0.050,0.001,1.000@",
                            "[ECG]1365,4095,0,1365,2730,0@", "[PAP]-3,-3,-3@", "[PLETH]100,0,4@"));
    EXPECT_THAT(abp, ElementsAre(1, 2));
    EXPECT_TRUE(cvp.empty());
    EXPECT_THAT(unit_->samples("ABP"), ElementsAre(80, 83, 91));
    EXPECT_THAT(unit_->samples("ECG"), ElementsAre(1365, 4095, 0, 1365, 2730, 0));
    EXPECT_FALSE(unit_->monitor().co2Disabled);
}

TEST_F(UnitCommands, LongWaveformLineLeavesTheSessionAlone) {
    connectAndEnable();
    std::vector<float> abp(5 * 30, 100.0f);  // 90 values: far over 230 characters
    const auto datagrams = sent([&] {
        adaptor_->beginCommandSession();
        adaptor_->sendHR_bpm(60);
        adaptor_->sendABP_50Hz(abp);
        adaptor_->sendRR_brpm(12);
        adaptor_->commitCommandSession();
    });
    ASSERT_EQ(3u, datagrams.size());
    EXPECT_EQ("[HR]60@", datagrams[0]);
    EXPECT_GT(datagrams[1].size(), 230u);
    EXPECT_EQ(0u, datagrams[1].find("[ABP]100,100,100,"));
    EXPECT_EQ("[RR]12@", datagrams[2]);
    EXPECT_EQ(90u, unit_->samples("ABP").size());
}

TEST_F(UnitCommands, WaveformSamplesAreConsumedEvenWhileDisabled) {
    ASSERT_TRUE(adaptor_->connectIP("", "127.0.0.2", 3));
    std::vector<float> abp = {80, 81, 84, 90, 93, 7};
    std::vector<float> short4 = {1, 2, 3, 4};
    const auto datagrams = sent([&] {
        adaptor_->sendABP_50Hz(abp);
        adaptor_->sendPLETH_50Hz(short4);
    });
    EXPECT_TRUE(datagrams.empty());
    EXPECT_THAT(abp, ElementsAre(7));
    EXPECT_THAT(short4, ElementsAre(1, 2, 3, 4));
}

// ---- Network configuration --------------------------------------------------

TEST_F(UnitCommands, NetworkSettingsAreSentAsOneCommand) {
    connectAndEnable();
    EXPECT_THAT(sent([&] { adaptor_->setEthConfig("10.1.2.3", "255.255.0.0", "10.1.0.1"); }),
                ElementsAre("[ETH_CGF_STATIC]10.1.2.3,255.255.0.0,10.1.0.1@"));
    EXPECT_EQ("10.1.2.3,255.255.0.0,10.1.0.1", unit_->ethSettings());
    EXPECT_THAT(sent([&] { adaptor_->getEthConfig(); }), ElementsAre("[ETH_SETTINGS]@"));

    EXPECT_TRUE(adaptor_->setWifiCfg("My,Net", ""));
    ASSERT_TRUE(unit_->waitForLine("WIFI_CFG", 2s));
    EXPECT_EQ("57600,14996,0,My,Net,", unit_->lines().back().value);

    testing::internal::CaptureStdout();
    EXPECT_EQ("[wifi_report]ssid=My@", adaptor_->getWifiReport());
    EXPECT_EQ("[wifi_settings]My,Net,@", adaptor_->getWifiCfg());
    EXPECT_EQ("MR>WIFI_REPORT: [wifi_report]ssid=My@\nMR>WIFI_SETTINGS: [wifi_settings]My,Net,@\n",
              testing::internal::GetCapturedStdout());
}

TEST_F(UnitCommands, ConfigModeAndQueriesWithoutAnswer) {
    connectAndEnable();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(adaptor_->enableConfigMode());
    EXPECT_EQ("Reading: [config]ok@\n", testing::internal::GetCapturedStdout());
    EXPECT_TRUE(unit_->configMode());

    unit_->setSilent(true);
    testing::internal::CaptureStdout();
    EXPECT_TRUE(adaptor_->enableConfigMode());
    EXPECT_EQ("", adaptor_->getWifiCfg());
    EXPECT_EQ("Reading: \nMR>WIFI_SETTINGS: \n", testing::internal::GetCapturedStdout());
}

TEST_F(UnitCommands, FactoryResetWaitsPastTheAcknowledgement) {
    connectAndEnable();
    testing::internal::CaptureStdout();
    EXPECT_TRUE(adaptor_->setWifiFactoryReset());
    EXPECT_EQ("Reading: [wifi_factory_reset]@\nReading: [wifi_factory_reset]done@\n",
              testing::internal::GetCapturedStdout());

    unit_->setWifiResetCompletes(false);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(adaptor_->setWifiFactoryReset()) << "the acknowledgement alone counted as done";
    EXPECT_EQ("Reading: [wifi_factory_reset]@\n", testing::internal::GetCapturedStdout());
}

TEST_F(UnitCommands, OnlyTheUnitsOwnCompletionEndsAWifiStep) {
    connectAndEnable();
    unit_->setWifiResetCompletes(false);
    relaytest::RawPeer other("127.0.0.3");
    std::thread strays([&] {
        if (unit_->waitForLine("WIFI_FACTORY_RESET", 2000ms)) {
            unit_->sendToBridge("[STOPME]@");               // not of this step
            other.sendToLink("[wifi_factory_reset]done@");  // not the unit
        }
    });
    testing::internal::CaptureStdout();
    EXPECT_FALSE(adaptor_->setWifiFactoryReset()) << "a stray message counted as the completion";
    testing::internal::GetCapturedStdout();
    strays.join();
}

TEST_F(UnitCommands, WifiConfigurationWaitIsBounded) {
    connectAndEnable();
    unit_->setWifiConfigCompletes(false);
    EXPECT_FALSE(adaptor_->setWifiCfg("MyNet", "secret"));
    EXPECT_EQ("MyNet", unit_->wifiSsid());
    EXPECT_EQ("secret", unit_->wifiPassPhrase());
}

TEST_F(UnitCommands, EveryUnfinishedWifiPollIsFollowedByItsPause) {
    // 40 tries of 600 ms + 1 s make the unit's 64 s: the last try pauses too.
    RelayTimings timing = relaytest::fastTimings();
    timing.udp.connectionPolls = 3;
    timing.wifiResetPolls = 3;
    timing.wifiConfigPolls = 3;
    timing.wifiPollPause = 100ms;
    adaptor_ = std::make_unique<MonitorRelayAdaptor>(timing);
    connectAndEnable();
    unit_->setWifiResetCompletes(false);
    unit_->setWifiConfigCompletes(false);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(adaptor_->setWifiFactoryReset());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms) << "a reset try went without pause";
    t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(adaptor_->setWifiCfg("MyNet", "secret"));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms) << "a config try went without pause";
}

// ---- The Wi-Fi procedure, in-process with short waits -------------------------

TEST_F(UnitCommands, WifiProcedureSucceeds) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, configureWifi("127.0.0.2", "MyNet", "secret", relaytest::fastTimings()));
    // Every line, in order: the acknowledgements and the completion of the
    // reset are shown, the configuration's are not.
    EXPECT_EQ(
        "MR>>Configuration of the MR unit @ IP <127.0.0.2> for SSID <MyNet> and password "
        "<secret>\n"
        "MR>Initialization of the MonitorRelay adapter...\n"
        "Fixed IP configured: 127.0.0.2\n"
        "MR>Found MonitorRelay with serial Id: SN-0042 at endpoint: 127.0.0.2\n"
        "MR>SerialId not provided, connecting to first MonitorRelay: SN-0042\n"
        "MR>Enabled\n"
        "MR>Watchdog enabled\n"
        "Enabling config mode...\n"
        "Reading: [config]ok@\n"
        "WIFI factory reset...\n"
        "Reading: [wifi_factory_reset]@\n"
        "Reading: [wifi_factory_reset]done@\n"
        "WIFI configuration...\n"
        "MR>WIFI configuration succeeded; power cycle the MonitorRelay unit for changes to "
        "take effect\n",
        testing::internal::GetCapturedStdout());
    ASSERT_TRUE(unit_->waitForDatagrams(10, 2s)) << "the link's stop line never arrived";
    EXPECT_THAT(datagramsAfter(0),
                ElementsAre("[ID]MonitorRelay v2.2@", "[ASSOC]SN-0042@", "[ENABLE]@", "[WDT]1@",
                            "[PLETH]0@", "[CO2]0@", "[CONFIG]1@", "[WIFI_FACTORY_RESET]@",
                            "[WIFI_CFG]57600,14996,0,MyNet,secret@", "[STOPME]@"));
    EXPECT_EQ("MyNet", unit_->wifiSsid());
    EXPECT_EQ("secret", unit_->wifiPassPhrase());
}

struct WifiFailure {
    const char* label;
    void (*fault)(relayunit::RelayUnitEmulator&);
    const char* message;
};

void PrintTo(const WifiFailure& c, std::ostream* os) {
    *os << c.label;
}

class WifiProcedureFailures : public RelayFixture,
                              public ::testing::WithParamInterface<WifiFailure> {};

TEST_P(WifiProcedureFailures, ReportAndExitWithOne) {
    GetParam().fault(*unit_);
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, configureWifi("127.0.0.2", "MyNet", "secret", relaytest::fastTimings()));
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(GetParam().message));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, WifiProcedureFailures,
    ::testing::Values(
        WifiFailure{"NoUnit", [](relayunit::RelayUnitEmulator& u) { u.setSilent(true); },
                    "MR>Unable to initialize the MonitorRelay adapter. Leaving now!\n"},
        WifiFailure{"ResetNeverCompletes",
                    [](relayunit::RelayUnitEmulator& u) { u.setWifiResetCompletes(false); },
                    "MR>ERROR>Unable to reset the MonitorRelay unit WIFI settings to factory. "
                    "Leaving now!\n"},
        WifiFailure{"ConfigNeverCompletes",
                    [](relayunit::RelayUnitEmulator& u) { u.setWifiConfigCompletes(false); },
                    "MR>ERROR: WIFI configuration failed; please revalidate your SSID and "
                    "Password...\n"}),
    [](const ::testing::TestParamInfo<WifiFailure>& info) { return info.param.label; });
