// The floor must send the bridge's bytes, also for values the benchmark's
// traffic never reaches: rounding ties, clamps, NaN and infinities.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "bench/FloorEncoding.h"
#include "bench/Traffic.h"
#include "relay/UnitEncoding.h"

namespace {

const float kNan = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

using ProductEncoder = std::string (*)(std::vector<float>&);
using FloorEncoder = std::size_t (*)(const float*, std::size_t, char*, char**);

// Sample runs of every length up to 23 (whole groups and leftovers) drawn
// from `values`, so that each value lands at each position of a group.
void expectSameWaveformText(ProductEncoder product, FloorEncoder floor,
                            const std::vector<float>& values) {
    for (std::size_t length = 0; length < 24; ++length) {
        for (std::size_t shift = 0; shift < values.size(); ++shift) {
            std::vector<float> samples;
            for (std::size_t i = 0; i < length; ++i) {
                samples.push_back(values[(shift + i * 7) % values.size()]);
            }
            const std::vector<float> input = samples;
            std::vector<char> text(length * floorenc::kMaxTextPerSample + 1);
            char* end = nullptr;
            const std::size_t used = floor(input.data(), input.size(), text.data(), &end);
            const std::string expected = product(samples);
            EXPECT_EQ(std::string(text.data(), end), expected) << "length " << length;
            EXPECT_EQ(used, input.size() - samples.size()) << "length " << length;
        }
    }
}

TEST(FloorEncoding, PressureAndPlethLinesMatchTheBridgeAtTiesClampsAndNonFiniteSamples) {
    const std::vector<float> values = {
        0.0f,   0.5f,   1.5f,   2.5f,   -0.5f,   -2.5f,   3.5f,    4.0f,     4.49f, 99.5f,
        100.5f, 299.5f, 300.0f, 301.0f, -999.5f, 999.5f,  1000.5f, -1000.5f, 1e9f,  -1e9f,
        kNan,   kInf,   -kInf,  37.25f, 12.345f, 87.654f, 120.0f,  18.0f,    6.1f};
    expectSameWaveformText(unit_encoding::encodeABP, floorenc::encodeAbp, values);
    expectSameWaveformText(unit_encoding::encodePAP, floorenc::encodePap, values);
    expectSameWaveformText(unit_encoding::encodePLETH, floorenc::encodePleth, values);
    expectSameWaveformText(unit_encoding::encodeCVP, floorenc::encodeCvp, values);
}

TEST(FloorEncoding, Co2ThousandthsRoundAsTheBridgeDoes) {
    std::vector<float> values = {0.0f,    -1.0f,   0.0005f, 0.0015f, 0.0025f,
                                 0.0105f, 0.1235f, 0.5f,    0.9995f, 0.9996f,
                                 1.0f,    1.5f,    kNan,    kInf,    -kInf};
    // And a sweep across 0..1.1 in steps that are not round in binary.
    for (int i = 0; i <= 1100; i += 3) {
        values.push_back(static_cast<float>(i) * 0.001f + 0.0004999f);
    }
    expectSameWaveformText(unit_encoding::encodeCO2, floorenc::encodeCo2, values);
}

TEST(FloorEncoding, NumericTextsMatchTheBridge) {
    for (const int v : {0, 7, -7, 300, 100000, INT_MAX, INT_MIN}) {
        char text[16];
        EXPECT_EQ(std::string(text, floorenc::putInt(text, v)), unit_encoding::formatValue(v));
    }
    for (const float t : {-kInf, 0.0f, 20.9f, 21.0f, 36.95f, 37.05f, 37.25f, 37.35f, 38.45f, 46.96f,
                          47.0f, 47.04f, 60.0f, kInf, kNan}) {
        char text[16];
        EXPECT_EQ(std::string(text, floorenc::putTemperature(text, t)),
                  unit_encoding::formatTemperature(t))
            << t;
    }
    for (const float v : {kNan, -kInf, kInf, -0.5f, 0.5f, 1.5f, 2.5f, 299.5f, 1e10f}) {
        EXPECT_EQ(floorenc::roundToRange(v, 0, 300), unit_encoding::roundToRange(v, 0, 300)) << v;
    }
}

TEST(Traffic, BlocksFollowTheArterialSamplesIncludingTheReplysFirstSample) {
    fwdbench::TrafficOptions options;
    options.updates = 6;
    options.samplesPerUpdate = 4;
    options.numericsEvery = 0;
    const fwdbench::UpdateStream stream = fwdbench::makeUpdateStream(options);
    // 1 + 4 = 5, 9, 13 -> a block (3 left), 7, 11 -> a block (1 left), 5.
    EXPECT_EQ(stream.blocksThrough, (std::vector<std::size_t>{0, 0, 1, 1, 2, 2}));
    ASSERT_EQ(stream.frameEnds.size(), 6u);
    // Each frame: 32-byte header, 24 bytes of head and counts, 20 records of 8 bytes.
    EXPECT_EQ(stream.frameEnds[0], 32u + 24u + 20u * 8u);
    EXPECT_EQ(stream.bytes.size(), 6 * stream.frameEnds[0]);
}

}  // namespace
