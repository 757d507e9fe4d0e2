// The calibration tables' piecewise-linear conversions, without any peer.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "app/SimulatorSample.h"

namespace {

struct Conversions : testing::Test {
    Configuration configuration{"unused.xml"};
    SimulatorSample bridge{&configuration};
};

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::nanf("");

}  // namespace

TEST_F(Conversions, SpO2InterpolatesFromTheAnchorAndBetweenPoints) {
    configuration.spo2Calibration = {{85.f, 60.f}, {100.f, 30.f}};
    EXPECT_EQ(bridge.calibrateSPO2Value(90.f), 50);
    EXPECT_EQ(bridge.calibrateSPO2Value(42.5f), 230);  // 400 + (60-400)*42.5/85
    EXPECT_EQ(bridge.calibrateSPO2Value(0.f), 400);    // the anchor
    EXPECT_EQ(bridge.calibrateSPO2Value(85.f), 60);    // a key gives its own value
    EXPECT_EQ(bridge.calibrateSPO2Value(100.f), 30);
    EXPECT_EQ(bridge.calibrateSPO2Value(120.f), 30);  // beyond the last key
    EXPECT_EQ(bridge.calibrateSPO2Value(92.5f), 45);
    // Halves round away from zero: 60 + (-30)*(x-85)/15 = 52.5 at x = 88.75.
    EXPECT_EQ(bridge.calibrateSPO2Value(88.75f), 53);
}

TEST_F(Conversions, SpO2NonFiniteAndOutOfTableInputsHaveDefinedResults) {
    configuration.spo2Calibration = {{85.f, 60.f}, {100.f, 30.f}};
    EXPECT_EQ(bridge.calibrateSPO2Value(kNaN), 30);  // passes every point
    EXPECT_EQ(bridge.calibrateSPO2Value(kInf), 30);
    EXPECT_EQ(bridge.calibrateSPO2Value(-kInf), 60);  // the first point, not an infinity
    // Far below the table the extrapolation is finite but huge: saturated, not UB.
    EXPECT_EQ(bridge.calibrateSPO2Value(-1e30f), std::numeric_limits<int32_t>::max());

    // A first key of 0 or less would divide by zero below it: the first point's value.
    configuration.spo2Calibration = {{0.f, 350.f}, {100.f, 30.f}};
    EXPECT_EQ(bridge.calibrateSPO2Value(-5.f), 350);
    configuration.spo2Calibration = {{-10.f, 380.f}, {100.f, 30.f}};
    EXPECT_EQ(bridge.calibrateSPO2Value(-20.f), 380);
    EXPECT_EQ(bridge.calibrateSPO2Value(45.f), 205);  // between the points as usual

    configuration.spo2Calibration.clear();
    EXPECT_EQ(bridge.calibrateSPO2Value(97.f), 400);
}

TEST_F(Conversions, Co2InterpolatesAndDividesByAThousand) {
    configuration.co2Calibration = {{0.f, 1.f}, {40.f, 501.f}};
    EXPECT_FLOAT_EQ(bridge.calibrateCO2Value(20.f), 0.251f);
    EXPECT_FLOAT_EQ(bridge.calibrateCO2Value(0.f), 0.001f);
    EXPECT_FLOAT_EQ(bridge.calibrateCO2Value(60.f), 0.501f);
    EXPECT_FLOAT_EQ(bridge.calibrateCO2Value(-kInf), 0.001f);
    EXPECT_FLOAT_EQ(bridge.calibrateCO2Value(kNaN), 0.501f);

    configuration.co2Calibration.clear();
    EXPECT_FLOAT_EQ(bridge.calibrateCO2Value(35.f), 0.001f);
}
