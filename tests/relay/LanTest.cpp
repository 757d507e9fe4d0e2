// The unit on a real /24 network: a bridge host and a unit host in network
// namespaces of this test, joined by a veth pair (192.168.50.0/24).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "emulators/relay_unit/RelayUnitEmulator.h"
#include "relay/MonitorRelayAdaptor.h"
#include "relay/NetnsHost.h"
#include "relay/RelayTestSupport.h"
#include "support/RunProcess.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class Lan : public ::testing::Test {
  protected:
    // The bridge's host as a usual install has it: its name maps to 127.0.1.1.
    void SetUp() override {
        bridge_ = std::make_unique<relaytest::NetnsHost>(relaytest::NetnsHost::Options{
            "psmr-lan-bridge", "127.0.0.1 localhost\n127.0.1.1 psmr-lan-bridge\n",
            scratch_.path()});
        if (!bridge_->error().empty() || !units_.error().empty()) {
            GTEST_SKIP() << "no namespaces for the test network: " << bridge_->error()
                         << units_.error();
        }
        const std::string peer = std::to_string(units_.tid());
        ASSERT_TRUE(bridge_->sh("ip link add psmr-b type veth peer name psmr-u netns " + peer +
                                " && ip addr add 192.168.50.1/24 dev psmr-b && "
                                "ip link set psmr-b up"));
        ASSERT_TRUE(units_.sh("ip link set psmr-u up"));
    }
    void TearDown() override { units.clear(); }

    // A unit at `address` on the unit host, hearing the subnet's broadcasts.
    relayunit::RelayUnitEmulator& addUnit(const std::string& address, const std::string& serial) {
        EXPECT_TRUE(units_.sh("ip addr add " + address + "/24 dev psmr-u"));
        relayunit::EmulatorOptions o;
        o.address = address;
        o.alsoListen = {"192.168.50.255"};
        o.serial = serial;
        units.push_back(std::make_unique<relayunit::RelayUnitEmulator>(o));
        units_.run([&] { units.back()->start(); });
        return *units.back();
    }

    relaytest::ScratchDir scratch_;  // entered first: the hosts' threads keep this directory
    relaytest::NetnsHost units_;
    std::unique_ptr<relaytest::NetnsHost> bridge_;
    std::vector<std::unique_ptr<relayunit::RelayUnitEmulator>> units;
};

}  // namespace

TEST_F(Lan, BroadcastSearchFindsTheUnitFromTheInterfacesWhateverTheHostNameSays) {
    addUnit("192.168.50.20", "SN-LAN");
    MonitorRelayAdaptor::LastConnectedIP.clear();
    MonitorRelayAdaptor adaptor(relaytest::fastTimings());
    bool found = false;
    testing::internal::CaptureStdout();
    bridge_->run([&] { found = adaptor.initialize("", "", "", "", false); });
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(found) << out;
    EXPECT_THAT(out, HasSubstr("UDP broadcast detection\nMR>Pinging 192.168.50.255\n"));
    EXPECT_THAT(out, Not(HasSubstr("127.0.255.255"))) << "the host name was asked though the "
                                                         "interface's broadcast was answered";
    EXPECT_EQ("192.168.50.20", adaptor.unitAddress());
    bridge_->run([&] { adaptor.enable(); });
    EXPECT_TRUE(units.front()->enabled());
}

TEST_F(Lan, DiscoverListsEveryUnitSortedByAddress) {
    addUnit("192.168.50.10", "SN-A");
    addUnit("192.168.50.9", "SN-B");
    testsupport::ProcessResult r;
    bridge_->run([&] {
        r = testsupport::runProcess(PSMR_PROGRAM_PATH, {"--discover"}, 15000, scratch_.path());
    });
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(0, r.exitStatus) << r.err;
    EXPECT_EQ("SN-B 192.168.50.9\nSN-A 192.168.50.10\n", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_FALSE(std::ifstream(scratch_.file(MonitorRelayAdaptor::kLastConnectedFile)).good());
}
