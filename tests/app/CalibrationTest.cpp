// The calibration procedure steered by the two control parameters while the
// simulation is stopped: the worker's test signal at the unit, the recorded
// points, the rewritten configuration file and its backup.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "BridgeFixture.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

// Threads of this process now.
size_t threadCount() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                             std::filesystem::directory_iterator()));
}

std::vector<CSClient::Parameter> action(int code, int argument) {
    return {intParam("HW_PATMON_CALIB_ACTION", code), intParam("HW_PATMON_CALIB_ARG1", argument)};
}

}  // namespace

class Calibration : public BridgeFixture {
  protected:
    void SetUp() override {
        BridgeFixture::SetUp();
        bridge->parametersUpdated({intParam("HW_PATSPEED", 0)});
    }

    bool waitForLineValue(const std::string& name, const std::string& value) const {
        return testsupport::waitUntil(
            [&] {
                for (const auto& l : unit->lines()) {
                    if (l.name == name && l.value == value) {
                        return true;
                    }
                }
                return false;
            },
            3s);
    }

    size_t countLines(const std::string& name) const {
        const auto all = unit->lines();
        return static_cast<size_t>(
            std::count_if(all.begin(), all.end(),
                          [&](const relayunit::ReceivedLine& l) { return l.name == name; }));
    }

    std::vector<std::filesystem::path> backups() const {
        std::vector<std::filesystem::path> found;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            if (e.path().extension() == ".bak") {
                found.push_back(e.path());
            }
        }
        return found;
    }
};

TEST_F(Calibration, RecordedSpO2PointsReplaceTheTableAndTheFileIsRewritten) {
    CaptureStdout();
    bridge->parametersUpdated(action(1, 0));
    bridge->parametersUpdated(action(3, 60));
    // The worker feeds the unit the counter being calibrated.
    const bool sawSixty = waitForLineValue("SPO2", "60");
    bridge->parametersUpdated(action(30, 97));
    bridge->parametersUpdated(action(3, 80));
    bridge->parametersUpdated(action(30, 90));
    bridge->parametersUpdated(action(100, 0));
    const std::string out = GetCapturedStdout();
    ASSERT_TRUE(sawSixty) << "the worker never sent SPO2 60";

    size_t at = 0;
    for (const char* line :
         {"MR>CALIBRATION>Starting calibration\n", "MR>CALIBRATION>Start/reset calibration\n",
          "MR>CALIBRATION>Set SPO2 Counter to 60\n", "MR>CALIBRATION>Save SPO2 point 97 -> 60\n",
          "MR>CALIBRATION>Set SPO2 Counter to 80\n", "MR>CALIBRATION>Save SPO2 point 90 -> 80\n",
          "MR>CALIBRATION>Saving calibration file!\n",
          "MR>Configuration file has been written at: "}) {
        const size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << out;
        at = found;
    }

    Configuration saved(configPath.c_str());
    testing::internal::CaptureStdout();
    ASSERT_TRUE(saved.readConfiguration());
    GetCapturedStdout();
    EXPECT_EQ(saved.spo2Calibration, (std::map<float, float>{{90.f, 80.f}, {97.f, 60.f}}));
    EXPECT_EQ(saved.spo2Scale, 4);
    EXPECT_EQ(saved.co2Calibration, (std::map<float, float>{{0.f, 1.f}, {40.f, 501.f}}));
    ASSERT_EQ(backups().size(), 1u);

    // The worker's cycle: HR 72, RR 10, probe on, scale, the counter, pleth, CO2.
    EXPECT_TRUE(waitForLineValue("HR", "72"));
    EXPECT_TRUE(waitForLineValue("RR", "10"));
    EXPECT_TRUE(waitForLineValue("SPO2_SCALE", "4"));
    EXPECT_TRUE(waitForLineValue("PLETH", "0,16,27,38,48,58"))
        << "first ten samples of the test pulse: 0, 10.94, 17.80, 24.58, 31.26, ...";
}

TEST_F(Calibration, ActionsBeforeStartAreRefusedAndStopEndsTheCalibration) {
    CaptureStdout();
    bridge->parametersUpdated(action(3, 70));
    bridge->parametersUpdated(action(0, 70));  // Stop while idle: silent
    bridge->parametersUpdated(action(1, 0));
    bridge->parametersUpdated(action(4, 250));
    bridge->parametersUpdated(action(40, 38));
    bridge->parametersUpdated(action(0, 0));
    bridge->parametersUpdated(action(100, 0));  // idle again: refused, nothing saved
    const std::string out = GetCapturedStdout();
    const std::string refused =
        "MR>CALIBRATION>Ignoring calibration until a 'Start' action is received.\n";
    ASSERT_NE(out.find(refused), std::string::npos) << out;
    EXPECT_NE(out.find(refused, out.find("MR>CALIBRATION>Stopping calibration\n")),
              std::string::npos)
        << "Save after Stop was not refused:\n"
        << out;
    EXPECT_NE(out.find("MR>CALIBRATION>Save CO2 point 38 -> 250\n"), std::string::npos);
    EXPECT_EQ(out.find("Saving calibration file"), std::string::npos);
    EXPECT_TRUE(backups().empty());
}

TEST_F(Calibration, KeepsTheUnitEnabledWhileStoppedAndEndsWhenTheSimulationRuns) {
    bridge->parametersUpdated(action(1, 0));
    ASSERT_TRUE(testsupport::waitUntil([&] { return unit->enabled(); }, 2s))
        << "the worker did not enable the unit";
    bridge->parametersUpdated({intParam("HW_PATSPEED", 0)});  // calibrating: stays enabled
    ASSERT_TRUE(waitForLineValue("SPO2", "45"));
    EXPECT_TRUE(unit->enabled());

    bridge->parametersUpdated({intParam("HW_PATSPEED", 1)});
    // The worker leaves within a cycle: the count of its lines settles.
    size_t before = 0;
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            const size_t now = countLines("SPO2_SCALE");
            const bool settled = now == before;
            before = now;
            if (!settled) {
                std::this_thread::sleep_for(2 * timings.calibrationCycle);
            }
            return settled;
        },
        3s))
        << "the calibration worker kept sending after the simulation started";
}

TEST_F(Calibration, DestroyingTheBridgeStopsARunningWorker) {
    bridge->parametersUpdated(action(1, 0));
    ASSERT_TRUE(waitForLineValue("SPO2", "45"));
    bridge.reset();  // must wait for the worker; ASan/TSan see any use after
    const size_t after = countLines("SPO2_SCALE");
    std::this_thread::sleep_for(3 * timings.calibrationCycle);
    EXPECT_EQ(countLines("SPO2_SCALE"), after);
}

TEST_F(Calibration, RestartingQuicklyNeverRunsTwoWorkers) {
    for (int i = 0; i < 5; ++i) {
        bridge->parametersUpdated(action(1, 0));
        bridge->parametersUpdated(action(0, 0));
    }
    bridge->parametersUpdated(action(1, 0));
    ASSERT_TRUE(waitForLineValue("SPO2", "45"));
    // One worker sends one SPO2_SCALE per cycle: over ~10 cycles, no more than
    // about one per cycle may arrive.
    const size_t start = countLines("SPO2_SCALE");
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(10 * timings.calibrationCycle);
    const auto cycles = (std::chrono::steady_clock::now() - t0) / timings.calibrationCycle;
    EXPECT_LE(countLines("SPO2_SCALE") - start, static_cast<size_t>(cycles) + 2);
}

TEST_F(Calibration, TogglingAgainstASilentUnitKeepsAtMostOneWorker) {
    unit->setSilent(true);
    const size_t before = threadCount();
    size_t most = before;
    for (int i = 0; i < 50; ++i) {
        bridge->parametersUpdated({intParam("HW_PATMON_CALIB_ACTION", 1)});
        bridge->parametersUpdated({intParam("HW_PATMON_CALIB_ACTION", 0)});
        most = std::max(most, threadCount());
    }
    // Each worker waits about a second for the silent unit: piled up, they
    // would all still be there.
    EXPECT_LE(most, before + 1) << "calibration workers piled up";
    bridge.reset();  // the destructor waits for the one worker
}

TEST_F(Calibration, AWorkerHeldUpByASilentUnitDoesNotReplayItsMissedCycles) {
    // Never enabled, and silent: each cycle's enabling waits for replies that
    // never come, so the worker falls behind its 120 ms schedule.
    unit->setSilent(true);
    bridge->parametersUpdated({intParam("HW_PATMON_CALIB_ACTION", 1)});
    std::this_thread::sleep_for(3s);  // the length of the silence is the test's input
    const auto answered = std::chrono::steady_clock::now();
    unit->setSilent(false);
    ASSERT_TRUE(testsupport::waitUntil([&] { return unit->enabled(); }, 3s));
    std::this_thread::sleep_for(1500ms);  // a stretch of the worker's signal to look at
    bridge->parametersUpdated({intParam("HW_PATMON_CALIB_ACTION", 0)});

    std::vector<std::chrono::steady_clock::time_point> cycles;
    for (const auto& d : unit->datagrams()) {
        if (d.at >= answered && d.text.find("[HR]72@") != std::string::npos) {
            cycles.push_back(d.at);
        }
    }
    ASSERT_GE(cycles.size(), 5u) << "the test signal never resumed";
    for (size_t i = 2; i < cycles.size(); ++i) {
        EXPECT_GE(cycles[i] - cycles[i - 2], 100ms) << "three test-signal datagrams within 100 ms";
    }
}

// The bridge converts the CAPNOGRAM samples through a copy of the CO2 table
// laid out once: a saved calibration must reach it.
TEST_F(Calibration, SavedCo2PointsConvertTheNextSamples) {
    ASSERT_FLOAT_EQ(bridge->calibrateCO2Value(20.0f), 0.251f);  // {0: 1, 40: 501}
    CaptureStdout();
    bridge->parametersUpdated(action(1, 0));
    bridge->parametersUpdated(action(4, 300));
    bridge->parametersUpdated(action(40, 30));
    bridge->parametersUpdated(action(100, 0));
    GetCapturedStdout();
    EXPECT_FLOAT_EQ(bridge->calibrateCO2Value(15.0f), 0.1505f);  // 1 + 299 * 15/30
}

TEST_F(Calibration, AFailedSaveKeepsThePreviousTablesInMemoryAndSaysSo) {
    const int before = bridge->calibrateSPO2Value(90.0f);
    const std::string original = [&] {
        std::ifstream in(configPath);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    std::filesystem::permissions(configPath, std::filesystem::perms::owner_read |
                                                 std::filesystem::perms::group_read |
                                                 std::filesystem::perms::others_read);
    CaptureStdout();
    testing::internal::CaptureStderr();
    bridge->parametersUpdated(action(1, 0));
    bridge->parametersUpdated(action(3, 60));
    bridge->parametersUpdated(action(30, 97));
    bridge->parametersUpdated(action(100, 0));
    GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("MR>ERROR>Calibration not saved: the previous tables stay in use.\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(bridge->calibrateSPO2Value(90.0f), before) << "memory took the unsaved table";
    std::ifstream in(configPath);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), original);
}
