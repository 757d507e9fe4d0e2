// The forwarding step: blocks of arterial samples become one command session
// at the emulated unit, numerics at their 21-block repetition, all gated by
// the simulated sensors.
#include <algorithm>

#include "BridgeFixture.h"

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
