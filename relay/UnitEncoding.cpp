#include "relay/UnitEncoding.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace unit_encoding {

namespace {

constexpr float kTwoThirds = 0.6666667f;
constexpr float kOneThird = 0.33333334f;

float interpolate(float earlier, float later, float factor) {
    return (later - earlier) * factor + earlier;
}

// Number texts are written without streams: the forwarding path formats
// every value of every block, and a stream per value cost most of its time.
constexpr std::size_t kMaxIntChars = 11;  // "-2147483648"

// The texts of 0..999, which hold nearly every value sent (the waveforms are
// clamped to a few hundred): each entry is three characters and its length.
struct SmallInts {
    char text[1000][4];
};
constexpr SmallInts makeSmallInts() {
    SmallInts table{};
    for (int v = 0; v < 1000; ++v) {
        char* t = table.text[v];
        const int length = v >= 100 ? 3 : (v >= 10 ? 2 : 1);
        for (int i = length - 1, rest = v; i >= 0; --i, rest /= 10) {
            t[i] = static_cast<char>('0' + rest % 10);
        }
        t[3] = static_cast<char>(length);
    }
    return table;
}
constexpr SmallInts kSmallInts = makeSmallInts();

// Writes up to kMaxIntChars characters at `out`, whatever the text's length:
// callers leave that much room for every value.
inline char* putInt(char* out, int value) {
    const unsigned magnitude =
        value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    if (magnitude >= 1000) {
        return std::to_chars(out, out + kMaxIntChars, value).ptr;
    }
    *out = '-';
    out += value < 0 ? 1 : 0;
    const char* const text = kSmallInts.text[magnitude];
    std::memcpy(out, text, 3);
    return out + text[3];
}

// As printf's "%.<decimals>f" (and a stream's fixed notation) would write it.
void appendFixed(std::string& out, float value, int decimals) {
    char digits[64];
    const auto end =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, decimals)
            .ptr;
    out.append(digits, static_cast<std::size_t>(end - digits));
}

// Encodes every whole group of `groupSize` samples with `encodeGroup`, which
// writes the group's `groupValues` values (comma-separated) at a position and
// returns the end of what it wrote.
template <typename EncodeGroup>
WaveformText encodeGroups(std::vector<float>& samples, std::size_t groupSize,
                          std::size_t groupValues, char* out, EncodeGroup encodeGroup) {
    const std::size_t used = samples.size() / groupSize * groupSize;
    for (std::size_t at = 0; at < used; at += groupSize) {
        if (at > 0) {
            *out++ = ',';
        }
        out = encodeGroup(out, &samples[at]);
    }
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(used));
    return {out, used / groupSize * groupValues};
}

// Three values of a 50 Hz group: s0, 2/3 between s1 and s2, 1/3 between s3 and s4.
// `convert(value, position)` gives one value's number.
template <typename Convert>
WaveformText encodeFiftyHertz(std::vector<float>& samples, char* out, Convert convert) {
    return encodeGroups(samples, 5, 3, out, [&](char* at, const float* s) {
        at = putInt(at, convert(s[0], 0));
        *at++ = ',';
        at = putInt(at, convert(interpolate(s[1], s[2], kTwoThirds), 1));
        *at++ = ',';
        return putInt(at, convert(interpolate(s[3], s[4], kOneThird), 2));
    });
}

// Three values of a 25 Hz group: s0, 1/3 between s3 and s4, 2/3 between s6 and s7.
// `put(out, value)` writes one value's text.
template <typename Put>
WaveformText encodeTwentyFiveHertz(std::vector<float>& samples, char* out, Put put) {
    return encodeGroups(samples, 10, 3, out, [&](char* at, const float* s) {
        at = put(at, s[0]);
        *at++ = ',';
        at = put(at, interpolate(s[3], s[4], kOneThird));
        *at++ = ',';
        return put(at, interpolate(s[6], s[7], kTwoThirds));
    });
}

}  // namespace

std::string formatValue(int value) {
    return std::to_string(value);
}

std::string formatValue(float value) {
    // A stream's default: "%g" with 6 significant digits.
    char digits[64];
    const auto end =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 6).ptr;
    return std::string(digits, end);
}

std::string formatValue(const char* value) {
    return value ? std::string(value) : std::string();
}

std::string formatValue(const std::string& value) {
    return value;
}

std::string formatLine(const char* name, const std::string& valueText) {
    std::string line;
    line.reserve(valueText.size() + 16);
    line += '[';
    line += name;
    line += ']';
    line += valueText;
    line += '@';
    return line;
}

int clampInt(int value, int low, int high) {
    return std::min(std::max(value, low), high);
}

int roundToRange(float value, int low, int high) {
    if (std::isnan(value) || value <= static_cast<float>(low)) {
        return low;
    }
    if (value >= static_cast<float>(high)) {
        return high;
    }
    // Half away from zero, as std::round, without a library call per value:
    // a float minus its whole part is exact, and from 2^23 up floats are whole.
    const int whole = static_cast<int>(value);
    const float rest = value - static_cast<float>(whole);
    const int rounded = whole + (rest >= 0.5f ? 1 : 0) - (rest <= -0.5f ? 1 : 0);
    return clampInt(rounded, low, high);
}

std::string formatTemperature(float degC) {
    // max first: a NaN argument compares false and yields 21.0.
    const float clamped = std::min(std::max(21.0f, degC), 47.0f);
    std::string text;
    appendFixed(text, clamped, 1);
    return text;
}

WaveformText encodeABP(std::vector<float>& samples, char* out) {
    // The unit treats a third value below 4 as a lost signal.
    return encodeFiftyHertz(samples, out, [](float v, int position) {
        return roundToRange(v, position == 2 ? 4 : 0, 300);
    });
}

WaveformText encodePAP(std::vector<float>& samples, char* out) {
    return encodeFiftyHertz(samples, out, [](float v, int) {
        return std::isnan(v) ? 0 : roundToRange(v, -kPapLimit, kPapLimit);
    });
}

WaveformText encodePLETH(std::vector<float>& samples, char* out) {
    return encodeFiftyHertz(samples, out, [](float v, int position) {
        return roundToRange(v, position == 2 ? 4 : 0, 100);
    });
}

WaveformText encodeCVP(std::vector<float>& samples, char* out) {
    return encodeTwentyFiveHertz(
        samples, out, [](char* at, float v) { return putInt(at, roundToRange(v, 0, kCvpLimit)); });
}

WaveformText encodeCO2(std::vector<float>& samples, char* out) {
    return encodeTwentyFiveHertz(samples, out, [](char* at, float v) {
        const float clamped = std::isnan(v) ? 0.001f : std::max(std::min(v, 1.0f), 0.001f);
        // Thousandths, rounded as "%.3f" rounds: a float times 1000 is exact in
        // a double, and nearbyint rounds half to even as printf does.
        const int thousandths = static_cast<int>(std::nearbyint(double(clamped) * 1000.0));
        *at++ = static_cast<char>('0' + thousandths / 1000);
        *at++ = '.';
        *at++ = static_cast<char>('0' + thousandths / 100 % 10);
        *at++ = static_cast<char>('0' + thousandths / 10 % 10);
        *at++ = static_cast<char>('0' + thousandths % 10);
        return at;
    });
}

WaveformText encodeECG(std::vector<float>& samples, char* out) {
    return encodeGroups(samples, 5, 6, out, [](char* at, const float* s) {
        const float values[6] = {s[0], s[1], s[2], (s[2] + s[3]) * 0.5f, s[3], s[4]};
        for (int i = 0; i < 6; ++i) {
            if (i > 0) {
                *at++ = ',';
            }
            at = putInt(at, roundToRange((values[i] + 50.0f) * 27.3f, 0, 4095));
        }
        return at;
    });
}

namespace {

void encodedInto(WaveformEncoder encode, std::vector<float>& samples, std::string& text) {
    text.resize(maxWaveformChars(samples.size()));
    char* const begin = &text[0];
    text.resize(static_cast<std::size_t>(encode(samples, begin).end - begin));
}

std::string encoded(WaveformEncoder encode, std::vector<float>& samples) {
    std::string text;
    encodedInto(encode, samples, text);
    return text;
}

}  // namespace

void encodeABP(std::vector<float>& samples, std::string& text) {
    encodedInto(encodeABP, samples, text);
}
void encodePAP(std::vector<float>& samples, std::string& text) {
    encodedInto(encodePAP, samples, text);
}
void encodePLETH(std::vector<float>& samples, std::string& text) {
    encodedInto(encodePLETH, samples, text);
}
void encodeCVP(std::vector<float>& samples, std::string& text) {
    encodedInto(encodeCVP, samples, text);
}
void encodeCO2(std::vector<float>& samples, std::string& text) {
    encodedInto(encodeCO2, samples, text);
}
void encodeECG(std::vector<float>& samples, std::string& text) {
    encodedInto(encodeECG, samples, text);
}

std::string encodeABP(std::vector<float>& samples) {
    return encoded(encodeABP, samples);
}
std::string encodePAP(std::vector<float>& samples) {
    return encoded(encodePAP, samples);
}
std::string encodePLETH(std::vector<float>& samples) {
    return encoded(encodePLETH, samples);
}
std::string encodeCVP(std::vector<float>& samples) {
    return encoded(encodeCVP, samples);
}
std::string encodeCO2(std::vector<float>& samples) {
    return encoded(encodeCO2, samples);
}
std::string encodeECG(std::vector<float>& samples) {
    return encoded(encodeECG, samples);
}

bool probeSerial(const std::string& reply, std::string& serial) {
    const std::size_t colon = reply.rfind(':');
    const std::size_t at = reply.rfind('@');
    if (colon == std::string::npos || at == std::string::npos || at <= colon + 1) {
        return false;
    }
    serial = reply.substr(colon + 1, at - colon - 1);
    return true;
}

bool parseBattery(const std::string& reply, BatteryReading& reading) {
    const std::size_t bracket = reply.find(']');
    const std::size_t comma = reply.find(',');
    const std::size_t at = reply.find('@');
    if (bracket == std::string::npos || comma == std::string::npos || at == std::string::npos ||
        comma <= bracket + 1 || at <= comma + 1) {
        return false;
    }
    const float raw =
        static_cast<float>(std::atof(reply.substr(bracket + 1, comma - bracket - 1).c_str()));
    reading.level = raw * 0.0237f - 7.2469f;
    reading.pluggedIn = std::atof(reply.substr(comma + 1, at - comma - 1).c_str()) > 50;
    return true;
}

bool ReplyAccumulator::add(const char* data, std::size_t size, std::string& reply) {
    pending_.append(data, strnlen(data, size));
    const std::size_t at = pending_.find('@');
    if (at == std::string::npos) {
        if (pending_.size() > kMaxPending) {
            pending_.clear();
        }
        return false;
    }
    pending_.resize(at + 1);
    reply.swap(pending_);
    pending_.clear();
    return true;
}

bool SenderReplies::add(std::uint64_t sender, const char* data, std::size_t size,
                        std::string& reply) {
    if (pending_.size() >= kMaxSenders && pending_.find(sender) == pending_.end()) {
        pending_.clear();
    }
    return pending_[sender].add(data, size, reply);
}

}  // namespace unit_encoding
