// The forwarding step: blocks of arterial samples become one command session
// at the emulated unit, numerics at their 21-block repetition, all gated by
// the simulated sensors.
#include <algorithm>
#include <cmath>

#include "BridgeFixture.h"
#include "relay/UnitEncoding.h"

namespace {

size_t countPrefix(const std::vector<std::string>& lines, const std::string& name) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.rfind(name + "=", 0) == 0;
    }));
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace

using Forwarding = BridgeFixture;

TEST_F(Forwarding, FirstBlockAfterStartCarriesEveryNumericAndTheWaveforms) {
    startSimulation();
    sendBlock();
    ASSERT_TRUE(waitForLines("PAP", 1)) << "no PAP line arrived";
    const std::vector<std::string> expected = {"SPO2_PROBE=1",
                                               "SPO2=50",  // SAO2 90 on {85->60, 100->30}
                                               "PLETH=10,27,43,10,27,43",
                                               "SBP=120",
                                               "DBP=80",
                                               "MBP=93",
                                               "HR=72",
                                               "RR=14",
                                               "T1=36.7",
                                               "T2=37.2",
                                               "CO2=0",  // no capnograph: the disable
                                               "ABP=80,83,91,80,83,91",
                                               "CVP=5,8,12",
                                               "PAP=20,22,23,20,22,23"};
    EXPECT_EQ(linesSinceMark(), expected);
}

TEST_F(Forwarding, NoBlockBeforeTheTenthArterialSample) {
    startSimulation();
    sendBlock(9);
    sendBlock(1);
    ASSERT_TRUE(waitForLines("PAP", 1));
    const auto lines = linesSinceMark();
    // Nothing went out for the first nine: the first line is the block's first,
    // and the block holds all ten samples (two groups of five; the tenth
    // sample is the list's 80).
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "SPO2_PROBE=1");
    EXPECT_TRUE(contains(lines, "ABP=80,83,91,80,83,87")) << testing::PrintToString(lines);
    EXPECT_EQ(countPrefix(lines, "ABP"), 1u);
}

TEST_F(Forwarding, NoArterialSamplesMeansNothingIsSent) {
    startSimulation();
    std::vector<CSClient::Parameter> list;
    addSamples(list, "PLETH", std::vector<float>(40, 50.0f));
    addSamples(list, "CVPLINE", std::vector<float>(40, 5.0f));
    bridge->parametersUpdated(list);
    bridge->parametersUpdated({intParam("HRPM", 90)});
    // A later block shows whether anything went out before it.
    sendBlock();
    ASSERT_TRUE(waitForLines("PAP", 1));
    EXPECT_EQ(linesSinceMark().front(), "SPO2_PROBE=1");
    EXPECT_TRUE(contains(linesSinceMark(), "HR=90"));
}

TEST_F(Forwarding, UnchangedNumericsRepeatEvery21stBlockChangedOnesAtOnce) {
    startSimulation();
    for (int block = 1; block <= 22; ++block) {
        sendBlock();
        ASSERT_TRUE(waitForLines("PAP", static_cast<size_t>(block))) << "block " << block;
    }
    auto lines = linesSinceMark();
    EXPECT_EQ(countPrefix(lines, "HR"), 2u);
    EXPECT_EQ(countPrefix(lines, "SBP"), 2u);
    EXPECT_EQ(countPrefix(lines, "T1"), 2u);
    EXPECT_EQ(countPrefix(lines, "SPO2"), 2u);
    EXPECT_EQ(countPrefix(lines, "PLETH"), 22u);  // waveforms in every block
    // The second HR line belongs to the 22nd block: after the 21st PAP line.
    const auto secondHr =
        std::find(std::find(lines.begin(), lines.end(), "HR=72") + 1, lines.end(), "HR=72");
    EXPECT_EQ(countPrefix(std::vector<std::string>(lines.begin(), secondHr), "PAP"), 21u);

    mark = unit->lines().size();
    for (int block = 1; block <= 3; ++block) {
        bridge->parametersUpdated({intParam("HRPM", 100 + block)});
        sendBlock();
        ASSERT_TRUE(waitForLines("PAP", static_cast<size_t>(block)));
    }
    lines = linesSinceMark();
    EXPECT_TRUE(contains(lines, "HR=101") && contains(lines, "HR=102") &&
                contains(lines, "HR=103"));
    EXPECT_EQ(countPrefix(lines, "RR"), 0u);
}

TEST_F(Forwarding, OlderVenousCapnogramAndPulmonarySamplesAreDroppedToMatchTheBlock) {
    startSimulation({intParam("CAPNOGRAPH_SENSOR", 1)});
    std::vector<CSClient::Parameter> list;
    addSamples(list, "CVPLINE", {1, 2, 3, 4});  // the four oldest: dropped
    addSamples(list, "PLINE", {-9, -9, -9});
    addSamples(list, "CAPNOGRAM", {0, 0});
    addSamples(list, "PLETH", std::vector<float>(15, 50.0f));  // not aligned: all sent
    bridge->parametersUpdated(list);
    sendBlock();
    ASSERT_TRUE(waitForLines("PAP", 1));
    const auto lines = linesSinceMark();
    EXPECT_TRUE(contains(lines, "CVP=5,8,12")) << testing::PrintToString(lines);
    EXPECT_TRUE(contains(lines, "PAP=20,22,23,20,22,23"));
    // CAPNOGRAM 20 on {0->1, 40->501} is 251 thousandths.
    EXPECT_TRUE(contains(lines, "CO2=0.251,0.251,0.251"));
    // 25 pleth samples: five groups, fifteen values.
    const auto pleth = std::find_if(lines.begin(), lines.end(),
                                    [](const std::string& l) { return l.rfind("PLETH=", 0) == 0; });
    ASSERT_NE(pleth, lines.end());
    EXPECT_EQ(std::count(pleth->begin(), pleth->end(), ','), 14);
}

TEST_F(Forwarding, AbsentSensorsAndCathetersSendTheirDisablesOrNothing) {
    startSimulation({intParam("PULSE_SENSOR", 0), intParam("NIBP_SENSOR", 0),
                     intParam("TEMP_BODY_SENSOR", 0), intParam("TEMP_BLOOD_SENSOR", 0),
                     intParam("ARTERIAL_CATHETER_DEPTH", -1), intParam("CVP_CATHETER_DEPTH", -1),
                     intParam("PA_CATHETER_DEPTH", -1), intParam("CAPNOGRAPH_SENSOR", 1)});
    sendBlock();
    ASSERT_TRUE(waitForLines("CO2", 1));
    const std::vector<std::string> expected = {"SPO2_PROBE=0", "SBP=0", "MBP=0",
                                               "DBP=0",        "HR=72", "RR=14",
                                               "T1=0",         "T2=0",  "CO2=0.251,0.251,0.251"};
    EXPECT_EQ(linesSinceMark(), expected);
}

TEST_F(Forwarding, ProbeCountsAsConnectedWithPulseSensorTwoUnlessCrossConnectedWithoutProbe) {
    startSimulation({intParam("PULSE_SENSOR", 2), intParam("SPO2_PROBE", 0),
                     intParam("SIMULATOR_XCONNECTED", 0)});
    sendBlock();
    ASSERT_TRUE(waitForLines("PAP", 1));
    EXPECT_TRUE(contains(linesSinceMark(), "SPO2_PROBE=1"));
    EXPECT_EQ(countPrefix(linesSinceMark(), "PLETH"), 1u);

    mark = unit->lines().size();
    bridge->parametersUpdated({intParam("SIMULATOR_XCONNECTED", 1)});  // probe off now
    sendBlock();
    ASSERT_TRUE(waitForLines("PAP", 1));
    EXPECT_EQ(linesSinceMark().front(), "SPO2_PROBE=0");
    EXPECT_EQ(countPrefix(linesSinceMark(), "PLETH"), 0u);
}

TEST_F(Forwarding, StoppedSimulationSendsNothingAndDiscardsSamples) {
    startSimulation();
    bridge->parametersUpdated({intParam("HW_PATSPEED", 0)});
    EXPECT_FALSE(unit->enabled());
    sendBlock(30);
    bridge->parametersUpdated({intParam("HW_PATSPEED", 1)});
    ASSERT_TRUE(unit->waitForLine("CO2", 2s, 2)) << "no second enable";
    mark = unit->lines().size();
    // Had the 30 samples been kept, five more would complete a block.
    sendBlock(5);
    sendBlock(5);
    ASSERT_TRUE(waitForLines("PAP", 1));
    EXPECT_TRUE(contains(linesSinceMark(), "ABP=80,83,91,80,83,91"));
    EXPECT_EQ(countPrefix(linesSinceMark(), "ABP"), 1u);
}

namespace {

// The values of every line named `name` since `from`, joined as one stream.
std::string joinedValues(const std::vector<relayunit::ReceivedLine>& lines, const std::string& name,
                         size_t from = 0) {
    std::string joined;
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].name == name) {
            joined += (joined.empty() ? "" : ",") + lines[i].value;
        }
    }
    return joined;
}

size_t valueCount(const std::string& joined) {
    return joined.empty() ? 0
                          : static_cast<size_t>(std::count(joined.begin(), joined.end(), ',')) + 1;
}

// A few hundred samples of a smooth, non-repeating signal per waveform.
struct Streams {
    std::vector<float> art, pap, cvp, pleth, capno;
    explicit Streams(size_t n) {
        for (size_t k = 0; k < n; ++k) {
            const float t = static_cast<float>(k);
            art.push_back(90.0f + 30.0f * std::sin(t * 0.31f));
            pap.push_back(20.0f + 9.0f * std::sin(t * 0.17f));
            cvp.push_back(8.0f + 5.0f * std::sin(t * 0.07f));
            pleth.push_back(50.0f + 45.0f * std::sin(t * 0.23f));
            capno.push_back(static_cast<float>(k % 41));
        }
    }
};

}  // namespace

// Whatever the server batches, every sample reaches the unit: 3 values per 5
// samples at 50 per second, 3 per 10 at 25, equal to the encoding of the
// stream taken whole.
class ForwardingBatching : public BridgeFixture, public testing::WithParamInterface<size_t> {};

TEST_P(ForwardingBatching, EverySampleReachesTheUnitInOrder) {
    const size_t batch = GetParam();
    const size_t total = 300;
    startSimulation({intParam("CAPNOGRAPH_SENSOR", 1)});
    const Streams s(total);
    for (size_t at = 0; at < total; at += batch) {
        std::vector<CSClient::Parameter> update;
        for (size_t k = at; k < std::min(total, at + batch); ++k) {
            update.push_back(floatParam("ARTLINE", s.art[k]));
            update.push_back(floatParam("PLINE", s.pap[k]));
            update.push_back(floatParam("CVPLINE", s.cvp[k]));
            update.push_back(floatParam("PLETH", s.pleth[k]));
            update.push_back(floatParam("CAPNOGRAM", s.capno[k]));
        }
        bridge->parametersUpdated(update);
    }
    // CVP goes last but one and PAP last in a block.
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return valueCount(joinedValues(unit->lines(), "PAP", mark)) >= total * 3 / 5; }, 5s))
        << "batch " << batch << ": PAP values "
        << valueCount(joinedValues(unit->lines(), "PAP", mark));

    std::vector<float> calibratedCapno;
    for (float v : s.capno) {
        calibratedCapno.push_back(bridge->calibrateCO2Value(v));
    }
    auto encoded = [](std::string (*encode)(std::vector<float>&), std::vector<float> stream) {
        return encode(stream);
    };
    const auto lines = unit->lines();
    EXPECT_EQ(joinedValues(lines, "ABP", mark), encoded(unit_encoding::encodeABP, s.art));
    EXPECT_EQ(joinedValues(lines, "PAP", mark), encoded(unit_encoding::encodePAP, s.pap));
    EXPECT_EQ(joinedValues(lines, "CVP", mark), encoded(unit_encoding::encodeCVP, s.cvp));
    EXPECT_EQ(joinedValues(lines, "PLETH", mark), encoded(unit_encoding::encodePLETH, s.pleth));
    EXPECT_EQ(joinedValues(lines, "CO2", mark), encoded(unit_encoding::encodeCO2, calibratedCapno));
    EXPECT_EQ(valueCount(joinedValues(lines, "ABP", mark)), 180u);
    EXPECT_EQ(valueCount(joinedValues(lines, "CVP", mark)), 90u);

    if (batch == 5) {
        // Blocks of exactly ten, as before: each block's session carries six
        // values at 50 per second and three at 25, nothing more.
        size_t blocks = 0;
        for (size_t i = mark; i < lines.size(); ++i) {
            if (lines[i].name == "ABP") {
                ++blocks;
                EXPECT_EQ(valueCount(lines[i].value), 6u);
            } else if (lines[i].name == "CVP" || lines[i].name == "CO2") {
                EXPECT_EQ(valueCount(lines[i].value), 3u);
            }
        }
        EXPECT_EQ(blocks, total / 10);
    }
}

INSTANTIATE_TEST_SUITE_P(SamplesPerUpdate, ForwardingBatching,
                         testing::Values(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12));

TEST_F(Forwarding, ListsKeepOnlyTheNewest200Samples) {
    startSimulation();
    const Streams s(500);
    std::vector<CSClient::Parameter> list;
    addSamples(list, "PLETH", s.pleth);
    addSamples(list, "CVPLINE", s.cvp);
    bridge->parametersUpdated(list);  // no ARTLINE: nothing can go out yet
    list.clear();
    addSamples(list, "ARTLINE", std::vector<float>(s.art.begin(), s.art.begin() + 10));
    bridge->parametersUpdated(list);
    ASSERT_TRUE(waitForLines("CVP", 1));
    const auto lines = unit->lines();
    std::vector<float> newest(s.pleth.end() - 200, s.pleth.end());
    EXPECT_EQ(joinedValues(lines, "PLETH", mark), unit_encoding::encodePLETH(newest));
    // CVP is cut to the block's ten samples: the newest ten.
    std::vector<float> lastTen(s.cvp.end() - 10, s.cvp.end());
    EXPECT_EQ(joinedValues(lines, "CVP", mark), unit_encoding::encodeCVP(lastTen));
}

TEST_F(Forwarding, ValuesAreReadByTheTypeTheyCameWith) {
    // An integer input sent as a float, and a float input sent as an integer.
    startSimulation({floatParam("HRPM", 88.9f), intParam("SAO2", 90)});
    bridge->parametersUpdated({floatParam("HW_PATSPEED", 0.0f)});
    EXPECT_FALSE(unit->enabled());
    bridge->parametersUpdated({floatParam("HW_PATSPEED", 1.0f)});
    ASSERT_TRUE(unit->enabled()) << "a speed of 1.0 did not run the simulation";
    mark = unit->lines().size();
    sendBlock();
    ASSERT_TRUE(waitForLines("PAP", 1));
    EXPECT_TRUE(contains(linesSinceMark(), "HR=88")) << testing::PrintToString(linesSinceMark());
    EXPECT_TRUE(contains(linesSinceMark(), "SPO2=50"));
}
