// run(): the unit checked every period while the simulation runs, revived on
// every second failure in a row and given up at the eleventh (the default
// rules), or as the rules it is built with say.
#include <atomic>
#include <functional>
#include <future>
#include <thread>

#include "BridgeFixture.h"

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

size_t occurrences(const std::string& text, const std::string& piece) {
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

class Supervision : public BridgeFixture {
  protected:
    // run() through a power glitch (the unit answers as unassociated until
    // re-associated) and then a different unit at the address, which refuses
    // association for good. What it printed, once it gave up.
    void glitchThenReplacement(std::string& out, std::string& err) {
        startSimulation();
        CaptureStdout();
        CaptureStderr();
        auto result = std::async(std::launch::async, [&] { return bridge->run(); });
        unit->dropAssociation();
        const bool revived =
            testsupport::waitUntil([&] { return unit->associated() && unit->enabled(); }, 5s);
        // Two more ID requests: the first good check after the revival has been answered.
        const size_t afterRevival = idRequests();
        const bool checkedAgain =
            testsupport::waitUntil([&] { return idRequests() >= afterRevival + 2; }, 5s);
        startUnit("MR-OTHER-2");
        const bool gaveUp = result.wait_for(10s) == std::future_status::ready;
        out = GetCapturedStdout();
        err = GetCapturedStderr();
        ASSERT_TRUE(revived) << "no re-association after the glitch\n" << err;
        ASSERT_TRUE(checkedAgain) << "no checks after the revival\n" << err;
        ASSERT_TRUE(gaveUp) << "run() did not give up\n" << err;
        EXPECT_TRUE(result.get());
    }

    size_t idRequests() const {
        size_t n = 0;
        for (const auto& l : unit->lines()) {
            n += l.name == "ID";
        }
        return n;
    }
};

TEST_F(Supervision, AUnitThatForgotTheBridgeIsRevivedThenAReplacedOneIsGivenUp) {
    std::string out;
    std::string err;
    ASSERT_NO_FATAL_FAILURE(glitchThenReplacement(out, err));

    EXPECT_EQ(occurrences(out, "MR>ERROR>Connection reestablished...\n"), 1u) << out;
    // After the replacement: reconnects at 2, 4, 6, 8 and 10, then the give-up.
    const size_t replaced = err.rfind("(2). Reconnecting...");
    ASSERT_NE(replaced, std::string::npos) << err;
    const std::string tail = err.substr(replaced - std::string("MR>ERROR>Unable to reach the "
                                                               "MonitorRelay unit... ")
                                                       .size());
    size_t at = 0;
    for (int n : {2, 4, 6, 8, 10}) {
        const std::string line = "MR>ERROR>Unable to reach the MonitorRelay unit... (" +
                                 std::to_string(n) + "). Reconnecting...\n";
        at = tail.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << tail;
    }
    EXPECT_NE(tail.find("MR>ERROR>No answer from the MonitorRelay unit for too long. "
                        "Disconnecting.\n",
                        at),
              std::string::npos);
    EXPECT_EQ(occurrences(tail, "Reconnecting..."), 5u);
    EXPECT_EQ(occurrences(tail,
                          "MR>ERROR>MonitorRelay unit is not associated anymore. Wrong "
                          "response to ID request: "),
              9u);  // failures 3 to 11; the tail starts after the second one
}

TEST_F(Supervision, FollowsTheRulesItIsBuiltWith) {
    bridge.reset();
    timings.supervision.reviveEvery = 3;
    timings.supervision.failuresToAnnounceRecovery = 4;
    timings.supervision.failuresToGiveUp = 5;
    bridge = std::make_unique<SimulatorSample>(configuration.get(), timings);
    ASSERT_TRUE(bridge->initialize(false));
    std::string out;
    std::string err;
    ASSERT_NO_FATAL_FAILURE(glitchThenReplacement(out, err));

    // Revived at the third failure each time, recovery (after three) unsaid,
    // given up at the fifth.
    EXPECT_EQ(occurrences(out, "Connection reestablished"), 0u) << out;
    EXPECT_EQ(occurrences(err, "Reconnecting..."), 2u) << err;
    EXPECT_EQ(occurrences(err,
                          "MR>ERROR>Unable to reach the MonitorRelay unit... (3). "
                          "Reconnecting...\n"),
              2u)
        << err;
    EXPECT_EQ(occurrences(err,
                          "MR>ERROR>No answer from the MonitorRelay unit for too long. "
                          "Disconnecting.\n"),
              1u)
        << err;
}

TEST_F(Supervision, NoChecksWhileTheSimulationIsStopped) {
    bridge->parametersUpdated({intParam("HW_PATSPEED", 0)});
    const size_t before = unit->lines().size();
    auto result = std::async(std::launch::async, [&] { return bridge->run(); });
    // Twenty periods without a single ID request.
    EXPECT_EQ(result.wait_for(20 * timings.supervision.checkPeriod), std::future_status::timeout);
    EXPECT_EQ(unit->lines().size(), before);
    // End run() by starting the simulation against a unit that refuses us.
    startUnit("MR-OTHER-3");
    bridge->parametersUpdated({intParam("HW_PATSPEED", 1)});
    EXPECT_EQ(result.wait_for(10s), std::future_status::ready);
}

namespace {

// Feeds one 10-sample block every `period` until stopped.
class BlockFeeder {
  public:
    BlockFeeder(std::function<void()> sendBlock, std::chrono::milliseconds period)
        : thread_([this, sendBlock, period] {
              auto next = std::chrono::steady_clock::now();
              while (!stop_) {
                  sendBlock();
                  next += period;
                  std::this_thread::sleep_until(next);
              }
          }) {}
    ~BlockFeeder() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

TEST_F(Supervision, UnansweredHealthChecksDelayNoBlock) {
    startSimulation();
    // Silence counts as healthy, so every check waits its full 300 ms.
    unit->dropReplies("ID", 1000);
    auto result = std::async(std::launch::async, [&] { return bridge->run(); });
    const auto period = 100ms;
    const auto start = std::chrono::steady_clock::now();
    {
        BlockFeeder feeder([&] { sendBlock(); }, period);
        auto idRequests = [&] {
            size_t n = 0;
            for (const auto& l : unit->lines()) {
                n += l.name == "ID";
            }
            return n;
        };
        ASSERT_TRUE(testsupport::waitUntil([&] { return idRequests() >= 6; }, 10s))
            << "the health checks never ran";
    }
    std::vector<std::chrono::steady_clock::time_point> blocks;
    for (const auto& l : unit->lines()) {
        if (l.name == "ABP" && l.at > start) {
            blocks.push_back(l.at);
        }
    }
    ASSERT_GE(blocks.size(), 10u);
    for (size_t i = 1; i < blocks.size(); ++i) {
        EXPECT_LE(blocks[i] - blocks[i - 1], 2 * period)
            << "gap before block " << i << ": "
            << std::chrono::duration_cast<std::chrono::milliseconds>(blocks[i] - blocks[i - 1])
                   .count()
            << " ms";
    }
    startUnit("MR-OTHER-4");  // lets run() give up
    EXPECT_EQ(result.wait_for(15s), std::future_status::ready);
}

TEST_F(Supervision, ALostEnableReplyCostsAtMostOnePeriod) {
    unit->dropReplies("ENABLE", 1);
    bridge->parametersUpdated({intParam("ARTERIAL_CATHETER_DEPTH", 0), intParam("HW_PATSPEED", 1)});
    // The unit did enable itself, but the bridge never heard so and sends nothing.
    mark = unit->lines().size();
    sendBlock();
    auto result = std::async(std::launch::async, [&] { return bridge->run(); });
    // One period later the bridge has enabled the unit again and blocks flow.
    const bool flowing = testsupport::waitUntil(
        [&] {
            sendBlock();
            return waitForLines("ABP", 1, 5 * timings.supervision.checkPeriod);
        },
        3s);
    EXPECT_TRUE(flowing) << "no block reached the unit after the lost ENABLE reply";
    startUnit("MR-OTHER-5");
    EXPECT_EQ(result.wait_for(15s), std::future_status::ready);
}

TEST_F(Supervision, StartingTheSimulationDoesNotHoldUpTheOtherConnectionsBlocks) {
    // Each of the enabling's requests (ASSOC, ENABLE, WDT) is answered late.
    unit->setReplyDelay(250ms);
    auto start = std::async(std::launch::async,
                            [&] { bridge->parametersUpdated({intParam("HW_PATSPEED", 1)}); });
    ASSERT_TRUE(unit->waitForLine("ASSOC", 2s)) << "the start never asked the unit";
    // A block from the other connection while the unit is being enabled.
    auto block = std::async(std::launch::async, [&] { sendBlock(); });
    constexpr auto kBlockPeriod = 120ms;  // ten arterial samples
    const bool prompt = block.wait_for(kBlockPeriod) == std::future_status::ready;
    const bool stillEnabling = !unit->enabled();
    // Stopped again before the unit answered: it must end disabled.
    bridge->parametersUpdated({intParam("HW_PATSPEED", 0)});
    start.wait();
    block.wait();
    EXPECT_TRUE(prompt) << "a block waited for the unit's replies to the enabling";
    EXPECT_TRUE(stillEnabling);
    EXPECT_TRUE(testsupport::waitUntil([&] { return !unit->enabled(); }, 3s))
        << "the unit stayed enabled after the simulation stopped";
    EXPECT_FALSE(unit->enabled());
}
