// The vital-sign and waveform encoders on any float, NaN, infinities and huge
// values included: every value text stays in the range the unit accepts.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "relay/UnitEncoding.h"

namespace {

using Encoder = std::string (*)(std::vector<float>&);

struct Wave {
    const char* name;
    Encoder encode;
    unit_encoding::WaveformEncoder encodeInPlace;
    std::size_t group;
    std::size_t valuesPerGroup;
    double low;
    double high;
};

const Wave kWaves[] = {
    {"ABP", unit_encoding::encodeABP, unit_encoding::encodeABP, 5, 3, 0, 300},
    {"PAP", unit_encoding::encodePAP, unit_encoding::encodePAP, 5, 3, -unit_encoding::kPapLimit,
     unit_encoding::kPapLimit},
    {"PLETH", unit_encoding::encodePLETH, unit_encoding::encodePLETH, 5, 3, 0, 100},
    {"CVP", unit_encoding::encodeCVP, unit_encoding::encodeCVP, 10, 3, 0, unit_encoding::kCvpLimit},
    {"CO2", unit_encoding::encodeCO2, unit_encoding::encodeCO2, 10, 3, 0.001, 1},
    {"ECG", unit_encoding::encodeECG, unit_encoding::encodeECG, 5, 6, 0, 4095},
};

void checkValues(const Wave& wave, const std::string& text, std::size_t groups) {
    std::size_t count = 0;
    const char* p = text.c_str();
    while (*p != '\0') {
        char* end = nullptr;
        const double v = std::strtod(p, &end);
        if (end == p || !(v >= wave.low && v <= wave.high)) {
            fuzzsupport::fail(std::string(wave.name) + " value out of range: " + text);
        }
        ++count;
        p = *end == ',' ? end + 1 : end;
        if (*end != ',' && *end != '\0') {
            fuzzsupport::fail(std::string(wave.name) + " text is not a list of numbers: " + text);
        }
    }
    if (count != groups * wave.valuesPerGroup) {
        fuzzsupport::fail(std::string(wave.name) + " gave the wrong number of values: " + text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<float> floats(size / sizeof(float));
    if (!floats.empty()) {
        std::memcpy(floats.data(), data, floats.size() * sizeof(float));
    }
    for (const Wave& wave : kWaves) {
        std::vector<float> samples = floats;
        const std::size_t groups = samples.size() / wave.group;
        const std::string text = wave.encode(samples);
        if (samples.size() != floats.size() - groups * wave.group) {
            fuzzsupport::fail(std::string(wave.name) + " removed the wrong number of samples");
        }
        checkValues(wave, text, groups);
        // Written in place, into exactly the room it asks for (the sanitizer
        // sees any byte beyond): the same text and its count of values.
        std::vector<float> inPlace = floats;
        std::vector<char> room(unit_encoding::maxWaveformChars(inPlace.size()));
        const unit_encoding::WaveformText written = wave.encodeInPlace(inPlace, room.data());
        // Samples compared by their bits: a NaN left in place is the same sample.
        const bool sameRest = inPlace.size() == samples.size() &&
                              (samples.empty() || std::memcmp(inPlace.data(), samples.data(),
                                                              samples.size() * sizeof(float)) == 0);
        if (std::string(room.data(), written.end) != text || !sameRest ||
            written.values != groups * wave.valuesPerGroup) {
            fuzzsupport::fail(std::string(wave.name) + " written in place differs: " + text);
        }
    }
    for (const float v : floats) {
        const int rounded = unit_encoding::roundToRange(v, -5, 250);
        if (rounded < -5 || rounded > 250) {
            fuzzsupport::fail("roundToRange left its range");
        }
        const double t = std::strtod(unit_encoding::formatTemperature(v).c_str(), nullptr);
        if (!(t >= 21.0 && t <= 47.0)) {
            fuzzsupport::fail("temperature text out of range");
        }
        const std::string line = unit_encoding::formatLine("T1", unit_encoding::formatValue(v));
        if (line.find('@') != line.size() - 1) {
            fuzzsupport::fail("a value text ended its line early: " + line);
        }
    }
    return 0;
}
