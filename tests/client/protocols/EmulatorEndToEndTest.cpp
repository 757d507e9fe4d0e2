// The clients against the simulation-server emulator, an independent peer
// written from the same wire layouts, on ephemeral loopback ports.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "client/protocols/CallbackRecorder.h"
#include "client/protocols/SimClient.h"
#include "emulators/sim_server/SimServerEmulator.h"
#include "support/WaitUntil.h"

using com_nax::CSClient;
using com_nax::SimClient;
using simemu::Protocol;

namespace {

constexpr std::chrono::milliseconds kWait{5000};

com_nax::CSTimings fastTimings() {
    com_nax::CSTimings t;
    t.reconnectPause = std::chrono::milliseconds(50);
    t.closePollInterval = std::chrono::milliseconds(50);
    t.waitPollInterval = std::chrono::milliseconds(50);
    t.receiveTimeout = std::chrono::milliseconds(100);
    return t;
}

simemu::EmulatorOptions ephemeral() {
    simemu::EmulatorOptions o;
    o.simPort = 0;
    o.appPort = 0;
    o.quiet = true;
    return o;
}

template <typename Recorder>
bool sawValue(Recorder& r, const std::string& id, int value) {
    return r.waitFor(
        [&] {
            for (const auto& batch : r.updates) {
                for (const auto& p : batch) {
                    if (p.id == id && p.type == CSClient::PARAM_INT && p.value.intValue == value) {
                        return true;
                    }
                }
            }
            return false;
        },
        kWait);
}

}  // namespace

TEST(EmulatorEndToEnd, SimClientFollowsValuesAndSurvivesADroppedConnection) {
    simemu::SimServerEmulator emu(ephemeral());
    ASSERT_TRUE(emu.start());
    prototest::CallbackRecorder<SimClient::Callback> recorder;
    SimClient client(1, com_nax::OPTION_AUTO_RECONNECT | com_nax::OPTION_QUIET);
    client.setTimings(fastTimings());
    client.addCallbackInterface(&recorder);
    ASSERT_EQ(CSClient::RESULT_OK, client.registerInputParameters(std::vector<CSClient::InputDef>{
                                       {"HW_PATSPEED", CSClient::PARAM_INT, 0},
                                       {"HW_PATMON_CALIB_ACTION", CSClient::PARAM_INT, 0},
                                       {"HW_PATMON_CALIB_ARG1", CSClient::PARAM_INT, 0}}));
    ASSERT_EQ(CSClient::RESULT_OK, client.open("127.0.0.1", emu.simPort(), nullptr));
    ASSERT_TRUE(emu.waitForSubscription(Protocol::Sim, "HW_PATSPEED", kWait).has_value());
    ASSERT_TRUE(client.waitForInputsToBeRegistered(5)) << "the emulator never confirmed the inputs";
    EXPECT_EQ(3u, client.getNumberOfRegisteredInputParameters());

    emu.set("HW_PATSPEED", 1);
    EXPECT_TRUE(sawValue(recorder, "HW_PATSPEED", 1)) << "HW_PATSPEED=1 never arrived";

    emu.dropConnection(Protocol::Sim);
    ASSERT_TRUE(emu.waitForConnections(Protocol::Sim, 2, kWait)) << "no reconnection";
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return client.getNumberOfRegisteredInputParameters() == 3; }, kWait));
    emu.set("HW_PATSPEED", 0);
    EXPECT_TRUE(sawValue(recorder, "HW_PATSPEED", 0)) << "no updates after the reconnection";
}
