// The bridge between both emulated peers on their real addresses and ports,
// in the test's own network namespace: simulation server on 127.0.0.1 (SIM
// 55580, APP 55557), relay unit on 127.0.0.2.
#include <algorithm>
#include <future>
#include <thread>

#include "BridgeFixture.h"
#include "app/BridgeLoop.h"
#include "emulators/sim_server/SimServerEmulator.h"
#include "support/ChildProcess.h"

using simemu::Protocol;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::unique_ptr<simemu::SimServerEmulator> startServer() {
    simemu::EmulatorOptions options;
    options.quiet = true;
    auto server = std::make_unique<simemu::SimServerEmulator>(options);
    EXPECT_TRUE(server->start()) << "the emulated server could not bind its ports";
    return server;
}

}  // namespace

class EndToEnd : public BridgeFixture {
  protected:
    void SetUp() override {
        server = startServer();
        BridgeFixture::SetUp();
    }
    void TearDown() override {
        BridgeFixture::TearDown();
        server.reset();
    }

    bool waitForHeartRate(int hr, std::chrono::milliseconds timeout = 5s) const {
        return testsupport::waitUntil([&] { return unit->monitor().hr == hr; }, timeout);
    }

    std::unique_ptr<simemu::SimServerEmulator> server;
};

TEST_F(EndToEnd, RunningScenarioReachesTheMonitorsAndStoppingItSilencesThem) {
    ASSERT_TRUE(server->waitForSubscription(Protocol::Sim, "HW_PATSPEED", 5s))
        << "the bridge never subscribed to the simulation speed";
    EXPECT_FALSE(unit->enabled()) << "enabled before the simulation runs";

    ASSERT_NE(server->runScenario(), 0u);
    ASSERT_TRUE(server->waitForSubscription(Protocol::App, "ARTLINE", 5s))
        << "the bridge never subscribed to the arterial line";
    ASSERT_TRUE(waitForHeartRate(72)) << "the unit never showed the scenario's heart rate";
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            const auto m = unit->monitor();
            return m.rr && m.spo2 && m.sbp && m.dbp && m.mbp && m.t1 &&
                   unit->samples("ABP").size() > 50 && unit->samples("CVP").size() > 20 &&
                   unit->samples("PAP").size() > 50 && unit->samples("PLETH").size() > 50;
        },
        5s))
        << "numerics or waveforms missing at the unit";
    // The arterial line at 50 per second, the venous line at 25.
    EXPECT_GT(unit->samples("ABP").size(), unit->samples("CVP").size());

    server->set("HRPM", 95);
    EXPECT_TRUE(waitForHeartRate(95)) << "a changed heart rate did not follow";

    ASSERT_TRUE(server->stopScenario());
    EXPECT_TRUE(testsupport::waitUntil([&] { return !unit->enabled(); }, 5s))
        << "the unit stayed enabled after the simulation stopped";
}

namespace {

// Values per second of one waveform at the unit: the least-squares slope of
// the running count of values over the arrival times of its lines, so that
// how many samples wait for the next block at either end does not matter.
double ratePerSecond(const std::vector<relayunit::ReceivedLine>& lines, const std::string& name,
                     relayunit::Clock::time_point from) {
    std::vector<double> t, n;
    double count = 0;
    for (const auto& l : lines) {
        if (l.name != name || l.at < from) {
            continue;
        }
        count += static_cast<double>(std::count(l.value.begin(), l.value.end(), ',') + 1);
        t.push_back(std::chrono::duration<double>(l.at - from).count());
        n.push_back(count);
    }
    const double k = static_cast<double>(t.size());
    if (k < 2) {
        return 0;
    }
    double st = 0, sn = 0, stt = 0, stn = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        st += t[i];
        sn += n[i];
        stt += t[i] * t[i];
        stn += t[i] * n[i];
    }
    return (k * stn - st * sn) / (k * stt - st * st);
}

}  // namespace

// The server's own batching (4 samples an update) makes blocks of 12, 14, 16...
// arterial samples; the unit must still get every sample: 50 and 25 a second.
TEST_F(EndToEnd, TheUnitReceivesFiftyAndTwentyFiveValuesASecondAtTheServersBatching) {
    ASSERT_NE(server->runScenario(), 0u);
    ASSERT_TRUE(testsupport::waitUntil([&] { return unit->samples("CVP").size() > 25; }, 10s))
        << "no waveforms reached the unit";
    const auto from = relayunit::Clock::now();
    std::this_thread::sleep_for(8s);  // the stretch of stream to measure
    const auto lines = unit->lines();
    for (const char* fast : {"ABP", "PAP", "PLETH"}) {
        const double rate = ratePerSecond(lines, fast, from);
        std::cout << fast << " " << rate << " values/s\n";
        EXPECT_NEAR(rate, 50.0, 0.5) << fast;
    }
    for (const char* slow : {"CVP", "CO2"}) {
        const double rate = ratePerSecond(lines, slow, from);
        std::cout << slow << " " << rate << " values/s\n";
        EXPECT_NEAR(rate, 25.0, 0.25) << slow;
    }
}

TEST_F(EndToEnd, ARestartedServerIsReconnectedAndForwardingResumes) {
    ASSERT_NE(server->runScenario(), 0u);
    ASSERT_TRUE(waitForHeartRate(72));

    CaptureStdout();
    server.reset();
    server = startServer();
    ASSERT_NE(server->runScenario(), 0u);
    server->set("HRPM", 101);
    const bool resumed = waitForHeartRate(101, 10s);
    const std::string out = GetCapturedStdout();
    ASSERT_TRUE(resumed) << "no forwarding after the server restarted\n" << out;
    EXPECT_NE(out.find("Tamo> Disconnected (SIM Protocol)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Tamo> Disconnected (APP Protocol)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Tamo> Connected (SIM Protocol)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Tamo> Connected (APP Protocol)\n"), std::string::npos) << out;
}

TEST_F(EndToEnd, CalibrationSteeredByTheServerRewritesTheConfiguration) {
    ASSERT_TRUE(server->waitForSubscription(Protocol::Sim, "HW_PATMON_CALIB_ARG1", 5s));
    // The server sends changed values once per poll, so steps made within one
    // poll would merge; a technician's steps are seconds apart. Pace them.
    auto step = [&](int action, int argument) {
        server->calibration(action, argument);
        std::this_thread::sleep_for(10 * simemu::EmulatorTimings().simPoll);
    };
    step(1, 0);
    step(3, 60);
    ASSERT_TRUE(testsupport::waitUntil([&] { return unit->monitor().spo2 == 60; }, 5s))
        << "the calibration signal never carried the SpO2 counter";
    step(30, 97);
    step(4, 300);
    step(40, 38);
    step(100, 0);

    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            for (const auto& e : std::filesystem::directory_iterator(dir)) {
                if (e.path().extension() == ".bak") {
                    return true;
                }
            }
            return false;
        },
        5s))
        << "no dated backup: the configuration was not saved";
    Configuration saved(configPath.c_str());
    CaptureStdout();
    const bool read = testsupport::waitUntil([&] { return saved.readConfiguration(); }, 2s);
    GetCapturedStdout();
    ASSERT_TRUE(read);
    EXPECT_EQ(saved.spo2Calibration, (std::map<float, float>{{97.f, 60.f}}));
    EXPECT_EQ(saved.co2Calibration, (std::map<float, float>{{38.f, 300.f}}));
    EXPECT_EQ(saved.spo2Scale, 4);
}

// The bridge loop: a lost unit tears the bridge down and a new set-up finds
// whatever unit now answers at the address.
class BridgeLoop : public testing::Test {
  protected:
    void SetUp() override {
        configPath = (dir / "bridge.xml").string();
        std::ofstream(configPath) << kBridgeXml;
        server = startServer();
        ASSERT_NE(server->runScenario(), 0u);
    }
    void TearDown() override {
        unit.reset();
        server.reset();
    }
    void startUnit(const std::string& serial) {
        unit.reset();
        relayunit::EmulatorOptions options;
        options.serial = serial;
        options.watchdogTimeout = 60s;
        unit = std::make_unique<relayunit::RelayUnitEmulator>(options);
        unit->start();
    }

    testsupport::ScratchDir scratch{"bridgeloop", true};
    std::filesystem::path dir = scratch.path();
    std::string configPath;
    std::unique_ptr<simemu::SimServerEmulator> server;
    std::unique_ptr<relayunit::RelayUnitEmulator> unit;
};

TEST_F(BridgeLoop, LosingTheUnitRebuildsTheBridgeAtOnce) {
    startUnit("MR-FIRST");
    Configuration configuration(configPath.c_str());
    BridgeTimings timings;
    timings.supervision.checkPeriod = 50ms;
    timings.client.reconnectPause = 100ms;
    timings.client.closePollInterval = 50ms;
    timings.client.waitPollInterval = 50ms;
    int rounds = 0;
    CaptureStdout();
    auto loop = std::async(std::launch::async, [&] {
        return runBridges(configuration, false, timings, [&] { return ++rounds < 2; });
    });
    const bool firstRan = testsupport::waitUntil([&] { return unit->enabled(); }, 10s);
    startUnit("MR-SECOND");  // the first unit is gone; another answers
    const bool secondRan = testsupport::waitUntil([&] { return unit->enabled(); }, 15s);
    startUnit("MR-THIRD");
    const bool ended = loop.wait_for(15s) == std::future_status::ready;
    const std::string out = GetCapturedStdout();
    ASSERT_TRUE(firstRan) << out;
    ASSERT_TRUE(secondRan) << "no new set-up after the unit was lost\n" << out;
    ASSERT_TRUE(ended) << out;
    EXPECT_TRUE(loop.get());

    size_t at = 0;
    for (const char* line :
         {"MR>Running...\n", "MR>Disconnected!!\n", "MR>Configuration file read succesfully.\n",
          "MR>SerialId not provided, connecting to first MonitorRelay: MR-SECOND\n",
          "MR>Running...\n", "MR>Disconnected!!\n"}) {
        at = out.find(line, at);
        ASSERT_NE(at, std::string::npos) << "missing or out of order: " << line << out;
    }
}

TEST(Executable, BridgeModeDrivesTheUnitFromARunningSimulation) {
    testsupport::ScratchDir scratch("bridgeexe");
    const std::filesystem::path dir = scratch.path();
    std::ofstream(dir / "bridge.xml") << kBridgeXml;
    auto server = startServer();
    relayunit::RelayUnitEmulator unit;
    unit.start();

    testsupport::ChildProcess bridge(PSMR_EXECUTABLE, {"--configfile", "bridge.xml"}, dir.string());
    ASSERT_TRUE(server->waitForSubscription(Protocol::Sim, "HW_PATSPEED", 10s)) << bridge.err();
    ASSERT_NE(server->runScenario(), 0u);
    const bool shown = testsupport::waitUntil([&] { return unit.monitor().hr == 72; }, 10s);
    EXPECT_TRUE(bridge.running());
    const int status = bridge.stop(SIGTERM);
    ASSERT_TRUE(shown) << bridge.out() << bridge.err();
    EXPECT_EQ(status, 0) << "SIGTERM is an orderly stop";
    const std::string out = bridge.out();
    EXPECT_NE(out.find("MR>Running...\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Tamo> Connected (SIM Protocol)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Tamo> Connected (APP Protocol)\n"), std::string::npos) << out;
    EXPECT_EQ(bridge.err(), "");
    // The unit that answered is remembered beside the configuration.
    std::ifstream last(dir / "_lastconnectedIPAddress.txt");
    std::string address;
    std::getline(last, address);
    EXPECT_EQ(address, "127.0.0.2");
    std::filesystem::remove_all(dir);
}
