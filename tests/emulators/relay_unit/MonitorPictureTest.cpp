// The monitor picture is pure: values and arrival times in, geometry and text out.
#include "emulators/relay_unit/MonitorPicture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "emulators/relay_unit/WaveformRate.h"

using namespace std::chrono_literals;
using namespace relayunit;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

const Clock::time_point t0 = Clock::time_point() + 1000s;

// `seconds` of a stream: every `period`, `blocks` blocks of `perBlock` values,
// 1 ms apart, as a bridge that sends several updates at once.
std::vector<WaveformBlock> stream(double seconds, Clock::duration period, int blocks, int perBlock,
                                  Clock::duration jitter = {}) {
    std::vector<WaveformBlock> out;
    int n = 0;
    for (auto at = t0; at < t0 + std::chrono::duration<double>(seconds); at += period, ++n) {
        const auto shaken = at + (n % 2 ? jitter : -jitter);
        for (int b = 0; b < blocks; ++b) {
            out.push_back({std::vector<float>(perBlock, 80.0f), shaken + b * 1ms});
        }
    }
    return out;
}

std::string oneDecimal(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::optional<float> none() {
    return std::nullopt;
}

}  // namespace

TEST(WaveformRate, ASteadyStreamReadsItsRateHoweverItIsBatched) {
    // The bridge's usual blocks: 6 values every 120 ms, a few ms of jitter;
    // counting one second at a time this read 48 and 54 in turn.
    auto blocks = stream(30, 120ms, 1, 6, 3ms);
    for (auto now = t0 + 20s; now < t0 + 21s; now += 37ms) {
        EXPECT_EQ("50.0", oneDecimal(ratePerSecond(blocks, now)))
            << "at an offset of " << (now - t0 - 20s).count();
    }
    // Bursts: two blocks of 25 values once a second.
    blocks = stream(30, 1s, 2, 25);
    EXPECT_EQ("50.0", oneDecimal(ratePerSecond(blocks, t0 + 29s + 500ms)));
    // 25 a second, and already after two seconds of it.
    blocks = stream(2.05, 240ms, 1, 6);
    EXPECT_EQ("25.0", oneDecimal(ratePerSecond(blocks, t0 + 2050ms)));
}

TEST(WaveformRate, AStoppedStreamFallsToZero) {
    const auto blocks = stream(10, 120ms, 1, 6);
    const auto last = blocks.back().at;
    EXPECT_EQ("50.0", oneDecimal(ratePerSecond(blocks, last + 900ms)));
    EXPECT_LT(ratePerSecond(blocks, last + 5s), 40);
    EXPECT_EQ(0, ratePerSecond(blocks, last + 11s));
    EXPECT_EQ(0, ratePerSecond(std::vector<WaveformBlock>{}, t0));
    EXPECT_EQ(0, ratePerSecond(stream(0.1, 1s, 1, 6), t0 + 50ms)) << "one block has no rate";
}

TEST(MonitorLine, KeepsItsLayoutAndShowsRatesWithOneDecimal) {
    MonitorState m;
    m.hr = 72;
    m.spo2 = 55;
    m.spo2Probe = 0;
    m.t1 = 36.8f;
    m.co2Disabled = true;
    m.waveforms["ABP"] = stream(12, 120ms, 1, 6);
    m.waveforms["CVP"] = stream(12, 120ms, 1, 3);
    EXPECT_EQ(
        "(not enabled) HR 72  RR --  SpO2 55 (probe off)  NIBP --/-- (--)  T1 36.8  T2 --  "
        "CO2 off  | per s: ABP 50.0 PAP 0.0 CVP 25.0 PLETH 0.0 CO2 0.0",
        monitorLine(m, false, t0 + 12s));
}

TEST(TraceGeometry, ValuesSweepLeftToRightAndEraseAheadOfTheSweep) {
    int sweep = -2;
    EXPECT_THAT(sweepSlots({1, 2, 3}, 3, 5, 1, &sweep), ElementsAre(1, 2, 3, none(), none()));
    EXPECT_EQ(2, sweep);
    // Values 1..7 (numbers 0..6): the sweep has wrapped, 6 and 7 overwrite 1 and 2.
    EXPECT_THAT(sweepSlots({1, 2, 3, 4, 5, 6, 7}, 7, 5, 1, &sweep),
                ElementsAre(6, 7, none(), 4, 5));
    EXPECT_EQ(1, sweep);
    // Only the newest values are kept; the total places them.
    EXPECT_THAT(sweepSlots({6, 7}, 7, 5, 0), ElementsAre(6, 7, none(), none(), none()));
    EXPECT_THAT(sweepSlots({}, 0, 3, 1, &sweep), ElementsAre(none(), none(), none()));
    EXPECT_EQ(-1, sweep);
}

TEST(TraceGeometry, BrailleCellsGolden) {
    // 4 slots on 2x1 cells (4x4 dots), scale 0..100: rows 3, 2, 0, 2, each
    // joined to the one before: dots (0,3) (1,2-3) (2,0-2) (3,0-2).
    EXPECT_THAT(brailleRows({0, 50, 100, 50}, 0, 100, 2, 1), ElementsAre("⣠⠿"));
    // Two cell rows (8 dot rows); a gap breaks the line; 300 sits on the top edge.
    EXPECT_THAT(brailleRows({300, none(), 0, 0}, 0, 100, 2, 2), ElementsAre("⠁ ", " ⣀"));
    EXPECT_THAT(brailleRows({none(), none()}, 0, 100, 3, 1), ElementsAre("   "));
}

TEST(TraceGeometry, PolylinesInABox) {
    const auto lines = tracePolylines({0, 100, none(), 50}, 0, 100, 10, 20, 40, 100);
    ASSERT_EQ(2u, lines.size());
    ASSERT_EQ(2u, lines[0].size());
    EXPECT_DOUBLE_EQ(15, lines[0][0].x);
    EXPECT_DOUBLE_EQ(120, lines[0][0].y);
    EXPECT_DOUBLE_EQ(25, lines[0][1].x);
    EXPECT_DOUBLE_EQ(20, lines[0][1].y);
    ASSERT_EQ(1u, lines[1].size());
    EXPECT_DOUBLE_EQ(45, lines[1][0].x);
    EXPECT_DOUBLE_EQ(70, lines[1][0].y);
}

TEST(NumericsPanel, OnOffAndDisabled) {
    const auto text = [](const std::vector<NumericField>& fields) {
        std::string all;
        for (const auto& f : fields) {
            all += f.label + "=" + f.value + (f.detail.empty() ? "" : " " + f.detail) + "; ";
        }
        return all;
    };
    MonitorState never;
    EXPECT_EQ(
        "HR=--- bpm; SpO2=---; NIBP=---/--- (---) mmHg; RR=--- /min; T1=--- degC; "
        "T2=--- degC; CO2=on; ",
        text(numericFields(never)));

    MonitorState on;
    on.hr = 72;
    on.spo2 = 55;
    on.spo2Probe = 1;
    on.sbp = 118;
    on.dbp = 76;
    on.mbp = 90;
    on.rr = 14;
    on.t1 = 36.84f;
    on.t2 = 37.1f;
    EXPECT_EQ(
        "HR=72 bpm; SpO2=55 probe on; NIBP=118/76 (90) mmHg; RR=14 /min; T1=36.8 degC; "
        "T2=37.1 degC; CO2=on; ",
        text(numericFields(on)));

    // What the bridge sends to disable: HR 0, probe 0, NIBP 0s, T1 0, CO2 0.
    MonitorState disabled = on;
    disabled.hr = 0;
    disabled.spo2Probe = 0;
    disabled.sbp = disabled.dbp = disabled.mbp = 0;
    disabled.t1 = 0.0f;
    disabled.co2Disabled = true;
    EXPECT_EQ(
        "HR=--- bpm; SpO2=--- probe off; NIBP=---/--- (---) mmHg; RR=14 /min; T1=--- degC; "
        "T2=37.1 degC; CO2=off; ",
        text(numericFields(disabled)));
}

TEST(MonitorPictureBuild, LiveOffAndSilentChannels) {
    MonitorState m;
    m.waveforms["ABP"] = stream(10, 120ms, 1, 6);
    m.waveformTotals["ABP"] = 6 * m.waveforms["ABP"].size() + 1000;
    m.waveforms["CO2"] = stream(10, 120ms, 1, 3);  // then switched off
    m.co2Disabled = true;
    m.waveforms["CVP"] = stream(3, 120ms, 1, 3);  // stopped 7 s ago
    UnitStatus unit;
    unit.associated = unit.enabled = unit.watchdogArmed = true;
    const auto now = t0 + 10s;
    for (int i = 0; i < 100; ++i) {
        unit.recentDatagrams.push_back(now - 10s + i * 100ms);
    }
    unit.lastDatagram = unit.recentDatagrams.back();
    const auto p = buildPicture(m, unit, now);
    ASSERT_EQ(5u, p.traces.size());
    EXPECT_EQ("ABP", p.traces[0].channel.name);
    EXPECT_EQ(TraceState::Live, p.traces[0].state);
    EXPECT_EQ(300u, p.traces[0].slots.size());  // 6 s at 50 a second
    const auto total = m.waveformTotals["ABP"];
    EXPECT_EQ(static_cast<int>((total - 1) % 300), p.traces[0].sweep);
    int filled = 0;
    for (const auto& s : p.traces[0].slots) {
        filled += s.has_value();
    }
    EXPECT_EQ(300 - 10, filled);                         // 0.2 s erased ahead of the sweep
    EXPECT_EQ(TraceState::NoSignal, p.traces[1].state);  // PAP never came
    EXPECT_EQ(TraceState::NoSignal, p.traces[2].state);
    EXPECT_EQ(150u, p.traces[2].slots.size());
    EXPECT_EQ(TraceState::Off, p.traces[4].state);
    EXPECT_EQ("associated  enabled  watchdog armed  last datagram 0.1 s ago  10.0 datagrams/s",
              p.status);
    EXPECT_THAT(statusText(UnitStatus{}, now), HasSubstr("not associated  not enabled"));
}
