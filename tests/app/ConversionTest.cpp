// The calibration tables' piecewise-linear conversions, without any peer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "app/Conversion.h"

namespace {

struct Conversions : testing::Test {
    std::map<float, float> spo2Calibration;
    std::map<float, float> co2Calibration;
    int spo2(float value) const { return spo2FromTable(spo2Calibration, value); }
    float co2(float value) const { return co2FromTable(co2Calibration, value); }
};

constexpr float kInf = std::numeric_limits<float>::infinity();
const float kNaN = std::nanf("");

}  // namespace

TEST_F(Conversions, SpO2InterpolatesFromTheAnchorAndBetweenPoints) {
    spo2Calibration = {{85.f, 60.f}, {100.f, 30.f}};
    EXPECT_EQ(spo2(90.f), 50);
    EXPECT_EQ(spo2(42.5f), 230);  // 400 + (60-400)*42.5/85
    EXPECT_EQ(spo2(0.f), 400);    // the anchor
    EXPECT_EQ(spo2(85.f), 60);    // a key gives its own value
    EXPECT_EQ(spo2(100.f), 30);
    EXPECT_EQ(spo2(120.f), 30);  // beyond the last key
    EXPECT_EQ(spo2(92.5f), 45);
    // Halves round away from zero: 60 + (-30)*(x-85)/15 = 52.5 at x = 88.75.
    EXPECT_EQ(spo2(88.75f), 53);
}

TEST_F(Conversions, SpO2NonFiniteAndOutOfTableInputsHaveDefinedResults) {
    spo2Calibration = {{85.f, 60.f}, {100.f, 30.f}};
    EXPECT_EQ(spo2(kNaN), 30);  // passes every point
    EXPECT_EQ(spo2(kInf), 30);
    EXPECT_EQ(spo2(-kInf), 60);  // the first point, not an infinity
    // Far below the table the extrapolation is finite but huge: saturated, not UB.
    EXPECT_EQ(spo2(-1e30f), std::numeric_limits<int32_t>::max());

    // A first key of 0 or less would divide by zero below it: the first point's value.
    spo2Calibration = {{0.f, 350.f}, {100.f, 30.f}};
    EXPECT_EQ(spo2(-5.f), 350);
    spo2Calibration = {{-10.f, 380.f}, {100.f, 30.f}};
    EXPECT_EQ(spo2(-20.f), 380);
    EXPECT_EQ(spo2(45.f), 205);  // between the points as usual

    spo2Calibration.clear();
    EXPECT_EQ(spo2(97.f), 400);
}

TEST_F(Conversions, Co2InterpolatesAndDividesByAThousand) {
    co2Calibration = {{0.f, 1.f}, {40.f, 501.f}};
    EXPECT_FLOAT_EQ(co2(20.f), 0.251f);
    EXPECT_FLOAT_EQ(co2(0.f), 0.001f);
    EXPECT_FLOAT_EQ(co2(60.f), 0.501f);
    EXPECT_FLOAT_EQ(co2(-kInf), 0.001f);
    EXPECT_FLOAT_EQ(co2(kNaN), 0.501f);

    co2Calibration.clear();
    EXPECT_FLOAT_EQ(co2(35.f), 0.001f);
}

namespace {

// The conversion as it walked the map itself, sample by sample: the laid-out
// table must give the same bits.
float walkTable(const std::map<float, float>& table, float anchorValue, float x) {
    float prevKey = 0.0f;
    float prevValue = anchorValue;
    if (!table.empty() && std::isinf(x) && x < 0) {
        return table.begin()->second;
    }
    for (const auto& point : table) {
        if (x < point.first) {
            if (!(point.first > prevKey)) {
                return point.second;
            }
            return prevValue +
                   ((point.second - prevValue) * (x - prevKey)) / (point.first - prevKey);
        }
        prevKey = point.first;
        prevValue = point.second;
    }
    return prevValue;
}

uint32_t bitsOf(float f) {
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

}  // namespace

TEST_F(Conversions, Co2TableLaidOutOnceConvertsToTheSameBits) {
    const std::vector<std::map<float, float>> tables = {
        {},
        {{40.f, 501.f}},
        {{0.f, 1.f}, {40.f, 501.f}},
        {{-10.f, 3.f}, {7.5f, 200.f}, {38.f, 300.f}, {80.f, 950.5f}},
        {{0.3f, 1e30f}, {0.6f, -1e30f}, {1e20f, 7.f}},
    };
    std::vector<float> inputs = {kNaN, kInf, -kInf, 0.f, -0.f, 40.f, 7.5f, 1e-40f, 3e38f, -3e38f};
    for (float x = -50.f; x < 120.f; x += 0.0137f) {
        inputs.push_back(x);
    }
    for (const auto& table : tables) {
        const ConversionTable laidOut = co2Table(table);
        for (const float x : inputs) {
            ASSERT_EQ(bitsOf(co2FromTable(laidOut, x)), bitsOf(walkTable(table, 1.0f, x) / 1000.0f))
                << "table of " << table.size() << " points, input " << x;
        }
    }
}
