#include "relay/UnitEncoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <limits>
#include <sstream>
#include <vector>

using namespace unit_encoding;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

}  // namespace

TEST(LineFormat, ValueTextsFollowTheirType) {
    EXPECT_EQ("[HR]72@", formatLine("HR", formatValue(72)));
    EXPECT_EQ("[X]-5@", formatLine("X", formatValue(-5)));
    EXPECT_EQ("[T1]0@", formatLine("T1", formatValue(0.0f)));
    EXPECT_EQ("36.5", formatValue(36.5f));
    EXPECT_EQ("1e+06", formatValue(1000000.0f));
    EXPECT_EQ("123457", formatValue(123456.7f));
    EXPECT_EQ("1e-05", formatValue(0.00001f));
    EXPECT_EQ("0.0001", formatValue(0.0001f));
    EXPECT_EQ("[ENABLE]@", formatLine("ENABLE", formatValue("")));
    EXPECT_EQ("[ASSOC]SN42@", formatLine("ASSOC", formatValue(std::string("SN42"))));
}

TEST(Temperature, ClampedAndWrittenWithOneDecimal) {
    EXPECT_EQ("36.7", formatTemperature(36.66f));
    EXPECT_EQ("37.0", formatTemperature(37.0f));
    EXPECT_EQ("47.0", formatTemperature(50.0f));
    EXPECT_EQ("21.0", formatTemperature(10.0f));
    EXPECT_EQ("21.0", formatTemperature(kNaN));
    EXPECT_EQ("47.0", formatTemperature(kInf));
    EXPECT_EQ("21.0", formatTemperature(-kInf));
}

TEST(RoundToRange, HalvesAwayFromZeroAndNonFiniteToBounds) {
    EXPECT_EQ(3, roundToRange(2.5f, -10, 10));
    EXPECT_EQ(-3, roundToRange(-2.5f, -10, 10));
    EXPECT_EQ(2, roundToRange(2.49f, -10, 10));
    EXPECT_EQ(-10, roundToRange(kNaN, -10, 10));
    EXPECT_EQ(10, roundToRange(kInf, -10, 10));
    EXPECT_EQ(-10, roundToRange(-kInf, -10, 10));
    EXPECT_EQ(10, roundToRange(3e30f, -10, 10));  // far beyond int range
}

TEST(RoundToRange, AgreesWithStdRoundNearHalvesAndAtLargeMagnitudes) {
    const int kMax = std::numeric_limits<int>::max();
    const int kMin = std::numeric_limits<int>::min();
    std::vector<float> values;
    for (float base : {0.5f, 1.5f, 2.5f, 299.5f, 4094.5f, 8388607.5f, 16777215.0f, 3e9f}) {
        float below = base;
        float above = base;
        for (int step = 0; step < 3; ++step) {
            below = std::nextafter(below, 0.0f);
            above = std::nextafter(above, kInf);
            values.insert(values.end(), {below, base, above, -below, -base, -above});
        }
    }
    values.push_back(0.49999997f);  // + 0.5 would round up in float arithmetic
    values.push_back(-0.49999997f);
    for (float v : values) {
        const double expected = std::max<double>(kMin, std::min<double>(kMax, std::round(v)));
        EXPECT_EQ(static_cast<long long>(expected), roundToRange(v, kMin, kMax)) << v;
    }
}

struct WaveCase {
    const char* label;
    std::string (*encode)(std::vector<float>&);
    std::vector<float> samples;
    std::string expected;
    std::size_t left;  // samples left in the vector
};

void PrintTo(const WaveCase& c, std::ostream* os) {
    *os << c.label;
}

class Waveforms : public ::testing::TestWithParam<WaveCase> {};

TEST_P(Waveforms, EncodeWholeGroupsAndKeepTheRest) {
    const WaveCase& c = GetParam();
    std::vector<float> samples = c.samples;
    EXPECT_EQ(c.expected, c.encode(samples)) << c.label;
    ASSERT_EQ(c.left, samples.size()) << c.label;
    for (std::size_t i = 0; i < c.left; ++i) {
        EXPECT_EQ(c.samples[c.samples.size() - c.left + i], samples[i]) << c.label;
    }
}

INSTANTIATE_TEST_SUITE_P(
    HandComputed, Waveforms,
    ::testing::Values(
        WaveCase{"abp basic", encodeABP, {80, 81, 84, 90, 93}, "80,83,91", 0},
        WaveCase{"abp seven", encodeABP, {80, 81, 84, 90, 93, 1, 2}, "80,83,91", 2},
        WaveCase{"abp four", encodeABP, {80, 81, 84, 90}, "", 4},
        WaveCase{"abp bounds", encodeABP, {-5, 400, 400, 2, 2}, "0,300,4", 0},
        WaveCase{"abp two groups", encodeABP, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "1,3,4,6,8,9", 0},
        WaveCase{"abp nan and inf", encodeABP, {kNaN, 0, kInf, 0, -kInf}, "0,300,4", 0},
        WaveCase{"pap negative", encodePAP, {-3, -3, -3, -3, -3}, "-3,-3,-3", 0},
        WaveCase{"pap non-finite", encodePAP, {kNaN, 0, kInf, 0, -kInf}, "0,1000,-1000", 0},
        WaveCase{"pleth bounds", encodePLETH, {150, -1, -1, 3, 3}, "100,0,4", 0},
        WaveCase{"cvp two groups",
                 encodeCVP,
                 {5, 0, 0, 6, 9, 0, 3, 6, 0, 0, 1, 0, 0, 2, 2, 0, -4, -4, 0, 0},
                 "5,7,5,1,2,0",
                 0},
        WaveCase{"cvp nan inf", encodeCVP, {kNaN, 0, 0, 0, kInf, 0, 0, 0, 0, 0}, "0,1000,0", 0},
        WaveCase{"co2 decimals",
                 encodeCO2,
                 {0.05f, 0, 0, 0, 0, 0, 2, 2, 0, 0, 9},
                 "0.050,0.001,1.000",
                 1},
        WaveCase{
            "co2 nan", encodeCO2, {kNaN, 0, 0, 0, kInf, 0, 0, -kInf, 0, 0}, "0.001,1.000,0.001", 0},
        WaveCase{"ecg map", encodeECG, {0, 100, -50, 50, -100}, "1365,4095,0,1365,2730,0", 0},
        WaveCase{"ecg nan", encodeECG, {kNaN, kInf, -kInf, 0, 0}, "0,4095,0,0,1365,1365", 0}),
    [](const ::testing::TestParamInfo<WaveCase>& info) {
        std::string name = info.param.label;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) {
                c = '_';
            }
        }
        return name;
    });

TEST(PeerText, ControlCharactersAreEscapedAndTheRestKept) {
    EXPECT_EQ("SN\\x0aMR>forged", printable("SN\nMR>forged"));
    EXPECT_EQ("\\x00\\x1f\\x7f\\x0d", printable(std::string("\0\x1f\x7f\r", 4)));
    // A backslash stays as it is; bytes above 0x7f are left to the terminal.
    EXPECT_EQ("a\\b \xc3\xa9~", printable("a\\b \xc3\xa9~"));
    EXPECT_EQ("", printable(""));
}

TEST(PeerText, ProbeSerialLiesBetweenTheLastColonAndTheLastAt) {
    std::string serial = "unchanged";
    EXPECT_TRUE(probeSerial("[ID]MonitorRelay v2.2:SN-0042@", serial));
    EXPECT_EQ("SN-0042", serial);
    EXPECT_TRUE(probeSerial("a:b:c@d@", serial));
    EXPECT_EQ("c@d", serial);
    for (const char* bad : {"[ID]no colon@", "[ID]MonitorRelay v2.2:@", "x@y:", "", ":", "@:"}) {
        serial = "unchanged";
        EXPECT_FALSE(probeSerial(bad, serial)) << bad;
        EXPECT_EQ("unchanged", serial) << bad;
    }
}

TEST(UnitReplies, BatteryReplyGivesTheLevelAndTheSupply) {
    unit_encoding::BatteryReading reading;
    ASSERT_TRUE(unit_encoding::parseBattery("[batt]500,100@", reading));
    EXPECT_FLOAT_EQ(reading.level, 500 * 0.0237f - 7.2469f);
    EXPECT_TRUE(reading.pluggedIn);
    ASSERT_TRUE(unit_encoding::parseBattery("[batt]400,50@", reading));
    EXPECT_FALSE(reading.pluggedIn) << "50 is not above 50";
    for (const char* bad : {"", "[batt]@", "[batt]500@", "[batt],100@", "[batt]500,@",
                            "batt500,100@", "[batt]500,100", "@[batt]500,100"}) {
        EXPECT_FALSE(unit_encoding::parseBattery(bad, reading)) << bad;
    }
}

// The texts are built without streams for speed; they must stay exactly what
// a stream would have written, for any float the server may send.
TEST(UnitTexts, NumbersReadAsAStreamWouldWriteThem) {
    std::vector<float> values = {0.0f,
                                 -0.0f,
                                 0.0005f,
                                 0.0015f,
                                 0.0025f,
                                 0.1235f,
                                 0.9995f,
                                 36.65f,
                                 36.75f,
                                 1e-40f,
                                 123456.7f,
                                 1e30f,
                                 std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(),
                                 std::nanf("")};
    for (uint32_t bits = 0x00000001u; bits < 0xff800000u; bits += 0x000f4243u) {
        float v;
        std::memcpy(&v, &bits, sizeof v);
        values.push_back(v);
        values.push_back(-v);
    }
    for (float v : values) {
        std::ostringstream general;
        general << v;
        EXPECT_EQ(formatValue(v), general.str()) << general.str();
        if (!std::isnan(v)) {
            const float t = std::min(std::max(21.0f, v), 47.0f);
            std::ostringstream one;
            one << std::fixed << std::setprecision(1) << t;
            EXPECT_EQ(formatTemperature(v), one.str());
        }
        if (std::isinf(v)) {
            continue;  // a group of infinities interpolates to NaN
        }
        std::vector<float> co2(10, v);
        const float c = std::isnan(v) ? 0.001f : std::max(std::min(v, 1.0f), 0.001f);
        std::ostringstream three;
        three << std::fixed << std::setprecision(3) << c;
        EXPECT_EQ(encodeCO2(co2), three.str() + "," + three.str() + "," + three.str());
    }
}

TEST(WaveformEncoding, EveryWholeValueInRangeIsWrittenAsADecimal) {
    // Whole values pass the interpolation unchanged: each text is the number's
    // own, across the short-number table, its sign and the longer numbers.
    for (int v = -kPapLimit; v <= kPapLimit; ++v) {
        std::vector<float> samples(5, static_cast<float>(v));
        const std::string text = std::to_string(v);
        ASSERT_EQ(encodePAP(samples), text + "," + text + "," + text);
    }
}

TEST(UnitReplies, DatagramsGatherIntoRepliesUpToTheirFirstAt) {
    ReplyAccumulator accumulator;
    std::string reply;
    auto add = [&](const std::string& datagram) {
        return accumulator.add(datagram.data(), datagram.size(), reply);
    };
    EXPECT_FALSE(add("[ID]MonitorRe"));
    ASSERT_TRUE(add("lay v2.2:SN1@[b]2@"));
    EXPECT_EQ(reply, "[ID]MonitorRelay v2.2:SN1@") << "what follows the first @ is dropped";
    ASSERT_TRUE(add(std::string("[a]1@\0junk", 10)));
    EXPECT_EQ(reply, "[a]1@");
    EXPECT_FALSE(add(std::string("[x]\0@", 5))) << "a datagram ends at its first NUL";
    ASSERT_TRUE(add("@"));
    EXPECT_EQ(reply, "[x]@");
    // Foreign bytes without an @ are dropped once past the bound.
    const std::string junk(1000, 'x');
    for (std::size_t n = 0; n <= ReplyAccumulator::kMaxPending; n += junk.size()) {
        EXPECT_FALSE(add(junk));
    }
    ASSERT_TRUE(add("[batt]500,100@"));
    EXPECT_EQ(reply, "[batt]500,100@");
}
