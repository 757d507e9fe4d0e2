// The clients against the simulation-server emulator, an independent peer
// written from the same wire layouts, on ephemeral loopback ports.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "app/SimulatorSample.h"
#include "client/protocols/AppClient.h"
#include "client/protocols/CallbackRecorder.h"
#include "client/protocols/FastTimings.h"
#include "client/protocols/SimClient.h"
#include "emulators/sim_server/SimServerEmulator.h"
#include "support/WaitUntil.h"

using com_nax::AppClient;
using com_nax::CSClient;
using com_nax::SimClient;
using simemu::Protocol;

namespace {

constexpr std::chrono::milliseconds kWait{5000};

using prototest::fastTimings;

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

// The bridge's APP inputs, from its table of signals: sensor and catheter
// states, five waveforms (rate 1) and the numerics.
const std::vector<CSClient::InputDef>& bridgeAppInputs() {
    return SimulatorSample::appInputs();
}

// Keeps counts and the last value per id instead of every batch: the waveforms
// alone bring more than 400 values a second.
class AppCounter : public AppClient::Callback {
  public:
    void connectionStateChanged(CSClient::State, CSClient::State current) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current == CSClient::STATE_READY) {
            ++readyCount_;
        }
    }
    void parametersUpdated(const std::vector<CSClient::Parameter>& parameters) override {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const CSClient::Parameter& p : parameters) {
            ++counts_[p.id];
            last_[p.id] = p;
        }
    }
    void sceStarted(unsigned sceId, unsigned, unsigned, CSClient::Result result) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (result == CSClient::RESULT_OK) {
            startedSce_ = sceId;
        }
    }

    unsigned readyCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return readyCount_;
    }
    unsigned startedSce() {
        std::lock_guard<std::mutex> lock(mutex_);
        return startedSce_;
    }
    std::size_t count(const std::string& id) {
        std::lock_guard<std::mutex> lock(mutex_);
        return counts_[id];
    }
    bool lastIs(const std::string& id, CSClient::ParameterType type, int value) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = last_.find(id);
        return it != last_.end() && it->second.type == type && !it->second.override &&
               (type == CSClient::PARAM_INT
                    ? it->second.value.intValue == value
                    : it->second.value.floatValue == static_cast<float>(value));
    }

  private:
    // Guards everything below; taken on the client's receive thread.
    std::mutex mutex_;
    unsigned readyCount_ = 0;
    unsigned startedSce_ = 0;
    std::map<std::string, std::size_t> counts_;
    std::map<std::string, CSClient::Parameter> last_;
};

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

TEST(EmulatorEndToEnd, SimSpeedSentAsAFloatStillCountsAsRunning) {
    simemu::EmulatorOptions options = ephemeral();
    options.simFloatValues = true;
    simemu::SimServerEmulator emu(options);
    ASSERT_TRUE(emu.start());
    emu.set("HW_PATSPEED", 0);
    prototest::CallbackRecorder<SimClient::Callback> recorder;
    SimClient client(1, com_nax::OPTION_AUTO_RECONNECT | com_nax::OPTION_QUIET);
    client.setTimings(fastTimings());
    client.addCallbackInterface(&recorder);
    ASSERT_EQ(CSClient::RESULT_OK, client.registerInputParameters(std::vector<CSClient::InputDef>{
                                       {"HW_PATSPEED", CSClient::PARAM_INT, 0}}));
    ASSERT_EQ(CSClient::RESULT_OK, client.open("127.0.0.1", emu.simPort(), nullptr));
    ASSERT_TRUE(client.waitForInputsToBeRegistered(5)) << "the emulator never confirmed the input";
    emu.set("HW_PATSPEED", 1);
    EXPECT_TRUE(sawValue(recorder, "HW_PATSPEED", 1)) << "1.0 did not arrive as the integer 1";
}

// As the bridge starts against a session already running: the inputs are
// registered before the handshake and must go out for the listed scenario.
TEST(EmulatorEndToEnd, AppClientSubscribesTheBridgeInputsOfARunningScenario) {
    simemu::EmulatorOptions options = ephemeral();
    options.autoRun = true;
    simemu::SimServerEmulator emu(options);
    ASSERT_TRUE(emu.start());
    const unsigned sce = emu.scenario().sceId;
    ASSERT_NE(0u, sce) << "the emulator did not start its scenario";

    AppCounter counter;
    com_nax::CSTimings keepAliveSoon = fastTimings();
    keepAliveSoon.keepAlivePeriod = std::chrono::milliseconds(100);
    AppClient client(com_nax::OPTION_AUTO_RECONNECT | com_nax::OPTION_QUIET);
    client.setTimings(keepAliveSoon);
    ASSERT_TRUE(client.addCallbackInterface(&counter));
    const std::vector<CSClient::InputDef> inputs = bridgeAppInputs();
    ASSERT_FALSE(inputs.empty());
    ASSERT_EQ(CSClient::RESULT_OK, client.registerInputParameters(inputs));
    ASSERT_EQ(CSClient::RESULT_OK, client.open("127.0.0.1", emu.appPort(), nullptr));
    ASSERT_EQ(CSClient::RESULT_OK, client.startKeepAlive());

    ASSERT_TRUE(testsupport::waitUntil([&] { return counter.readyCount() == 1; }, kWait))
        << "the APP client never reached STATE_READY";
    ASSERT_TRUE(testsupport::waitUntil([&] { return client.getActiveSce().sceId == sce; }, kWait))
        << "the running scenario was never taken from the list";
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return client.getNumberOfRegisteredInputParameters() == inputs.size(); }, kWait))
        << "only " << client.getNumberOfRegisteredInputParameters() << " of the " << inputs.size()
        << " inputs were confirmed";
    EXPECT_EQ(0u, client.getNumberOfUnregisteredInputParameters());
    EXPECT_EQ(inputs.size(), emu.subscriptions(Protocol::App).size());

    // Initial values come with the confirmation, typed as registered; the
    // confirmed count is set before the receive thread hands them on.
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return counter.lastIs("PULSE_SENSOR", CSClient::PARAM_INT, 1); }, kWait))
        << "PULSE_SENSOR=1 never arrived";
    EXPECT_TRUE(testsupport::waitUntil([&] { return counter.count("BODY_TEMP") >= 1; }, kWait))
        << "BODY_TEMP never arrived";

    // Every waveform streams samples while the scenario runs.
    for (const CSClient::InputDef& def : inputs) {
        if (def.rate != 1) {
            continue;
        }
        const std::string& wave = def.id;
        EXPECT_TRUE(testsupport::waitUntil([&] { return counter.count(wave) >= 40; }, kWait))
            << wave << ": only " << counter.count(wave) << " samples arrived";
    }
    // A numeric change reaches the client as an integer.
    emu.set("HRPM", 131);
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return counter.lastIs("HRPM", CSClient::PARAM_INT, 131); }, kWait))
        << "HRPM=131 never arrived";

    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            for (const auto& m : emu.messages(simemu::MessageKind::AppFlowControl)) {
                if (m.mode == 3) {
                    return true;
                }
            }
            return false;
        },
        kWait))
        << "no keep-alive reached the server";
    EXPECT_EQ(CSClient::RESULT_OK, client.stopKeepAlive());
}

// A server restarted while the client runs has forgotten every subscription:
// the client must renew them on the new connection, not wait for the next
// scenario start.
TEST(EmulatorEndToEnd, AppClientResubscribesAfterTheServerRestarts) {
    simemu::EmulatorOptions options = ephemeral();
    options.autoRun = true;
    auto emu = std::make_unique<simemu::SimServerEmulator>(options);
    ASSERT_TRUE(emu->start());

    AppCounter counter;
    AppClient client(com_nax::OPTION_AUTO_RECONNECT | com_nax::OPTION_QUIET);
    client.setTimings(fastTimings());
    ASSERT_TRUE(client.addCallbackInterface(&counter));
    ASSERT_EQ(CSClient::RESULT_OK, client.registerInputParameters(bridgeAppInputs()));
    ASSERT_EQ(CSClient::RESULT_OK, client.open("127.0.0.1", emu->appPort(), nullptr));
    const size_t subscribed = bridgeAppInputs().size();
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return emu->subscriptions(Protocol::App).size() == subscribed; }, kWait));

    // Same port, fresh server: no subscriptions, a scenario already running.
    options.appPort = emu->appPort();
    options.simPort = emu->simPort();
    emu.reset();
    emu = std::make_unique<simemu::SimServerEmulator>(options);
    ASSERT_TRUE(emu->start());
    ASSERT_TRUE(testsupport::waitUntil([&] { return counter.readyCount() == 2; }, kWait))
        << "no reconnection to the restarted server";
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return emu->subscriptions(Protocol::App).size() == subscribed; }, kWait))
        << "the restarted server holds " << emu->subscriptions(Protocol::App).size()
        << " subscriptions";
    emu->set("HRPM", 77);
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return counter.lastIs("HRPM", CSClient::PARAM_INT, 77); }, kWait))
        << "no updates from the restarted server";
}
