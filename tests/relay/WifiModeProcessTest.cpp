// The --wifi run mode of the program, end to end against an emulated unit in
// this test's network namespace. Only the quick outcomes run as a process: the
// unit's own failure waits (40 x 1.6 s) are covered in-process with short waits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "emulators/relay_unit/RelayUnitEmulator.h"
#include "relay/RelayTestSupport.h"
#include "support/RunProcess.h"

using ::testing::HasSubstr;

namespace {

class WifiMode : public ::testing::Test {
  protected:
    void SetUp() override {
        relaytest::ensureLoopbackResolves();
        relayunit::EmulatorOptions o;
        o.serial = "SN-WIFI";
        o.completionDelay = std::chrono::milliseconds(100);
        unit_ = std::make_unique<relayunit::RelayUnitEmulator>(o);
        unit_->start();
    }

    testsupport::ProcessResult run(const std::vector<std::string>& args) {
        return testsupport::runProcess(PSMR_PROGRAM_PATH, args, 15000, scratch_.path());
    }

    relaytest::ScratchDir scratch_;
    std::unique_ptr<relayunit::RelayUnitEmulator> unit_;
};

}  // namespace

TEST_F(WifiMode, ConfiguresTheUnitAndExitsWithZero) {
    const auto r = run({"--wifi", "127.0.0.2", "MyNet", "secret"});
    ASSERT_FALSE(r.timedOut) << r.out << r.err;
    EXPECT_EQ(0, r.exitStatus) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("MR>>Configuration of the MR unit @ IP <127.0.0.2> for SSID "
                                 "<MyNet> and password <secret>\n"));
    EXPECT_THAT(r.out, HasSubstr("MR>WIFI configuration succeeded; power cycle the MonitorRelay "
                                 "unit for changes to take effect\n"));
    EXPECT_EQ("MyNet", unit_->wifiSsid());
    EXPECT_EQ("secret", unit_->wifiPassPhrase());
    EXPECT_TRUE(unit_->configMode());
}

TEST_F(WifiMode, WrongArgumentCountsExitWithOne) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--wifi", "127.0.0.2", "MyNet"}, {"--wifi", "127.0.0.2", "MyNet", "secret", "x"}}) {
        const auto r = run(args);
        EXPECT_EQ(1, r.exitStatus) << r.out << r.err;
        EXPECT_THAT(r.err, HasSubstr("MR>Incorrect parameters for wifi configuration mode\n"));
    }
    EXPECT_EQ(0u, unit_->datagramCount()) << "the unit was contacted with bad arguments";
}

TEST_F(WifiMode, APortAlreadyTakenIsRefusedWithOneLine) {
    relaytest::RawPeer program("0.0.0.0");  // another bridge or program on UDP 14996
    const auto r = run({"--wifi", "127.0.0.2", "MyNet", "secret"});
    EXPECT_EQ(1, r.exitStatus) << r.out << r.err;
    EXPECT_EQ(
        "MR>ERROR>UDP port 14996 on 127.0.0.1 is already in use: is another bridge running? "
        "Stop it first.\n",
        r.err);
    EXPECT_EQ(0u, unit_->datagramCount());
}
