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
// The waveform texts are written straight into the caller's buffer, sized
// first for the longest possible text; a kept buffer is not allocated again.
constexpr std::size_t kMaxIntChars = 11;  // "-2147483648"

char* putInt(char* out, int value) {
    return std::to_chars(out, out + kMaxIntChars, value).ptr;
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
// writes the group's values (comma-separated, at most `maxGroupChars`) at a
// position and returns the end of what it wrote.
template <typename EncodeGroup>
void encodeGroups(std::vector<float>& samples, std::size_t groupSize, std::size_t maxGroupChars,
                  std::string& text, EncodeGroup encodeGroup) {
    const std::size_t groups = samples.size() / groupSize;
    const std::size_t used = groups * groupSize;
    text.resize(groups * (maxGroupChars + 1));
    char* const begin = &text[0];
    char* out = begin;
    for (std::size_t at = 0; at < used; at += groupSize) {
        if (at > 0) {
            *out++ = ',';
        }
        out = encodeGroup(out, &samples[at]);
    }
    text.resize(static_cast<std::size_t>(out - begin));
    samples.erase(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(used));
}

// Three values of a 50 Hz group: s0, 2/3 between s1 and s2, 1/3 between s3 and s4.
// `convert(value, position)` gives one value's number.
template <typename Convert>
void encodeFiftyHertz(std::vector<float>& samples, std::string& text, Convert convert) {
    encodeGroups(samples, 5, 3 * kMaxIntChars + 2, text, [&](char* out, const float* s) {
        out = putInt(out, convert(s[0], 0));
        *out++ = ',';
        out = putInt(out, convert(interpolate(s[1], s[2], kTwoThirds), 1));
        *out++ = ',';
        return putInt(out, convert(interpolate(s[3], s[4], kOneThird), 2));
    });
}

// Three values of a 25 Hz group: s0, 1/3 between s3 and s4, 2/3 between s6 and s7.
// `put(out, value)` writes one value's text (at most `maxValueChars`).
template <typename Put>
void encodeTwentyFiveHertz(std::vector<float>& samples, std::size_t maxValueChars,
                           std::string& text, Put put) {
    encodeGroups(samples, 10, 3 * maxValueChars + 2, text, [&](char* out, const float* s) {
        out = put(out, s[0]);
        *out++ = ',';
        out = put(out, interpolate(s[3], s[4], kOneThird));
        *out++ = ',';
        return put(out, interpolate(s[6], s[7], kTwoThirds));
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

void encodeABP(std::vector<float>& samples, std::string& text) {
    // The unit treats a third value below 4 as a lost signal.
    encodeFiftyHertz(samples, text, [](float v, int position) {
        return roundToRange(v, position == 2 ? 4 : 0, 300);
    });
}

void encodePAP(std::vector<float>& samples, std::string& text) {
    encodeFiftyHertz(samples, text, [](float v, int) {
        return std::isnan(v) ? 0 : roundToRange(v, -kPapLimit, kPapLimit);
    });
}

void encodePLETH(std::vector<float>& samples, std::string& text) {
    encodeFiftyHertz(samples, text, [](float v, int position) {
        return roundToRange(v, position == 2 ? 4 : 0, 100);
    });
}

void encodeCVP(std::vector<float>& samples, std::string& text) {
    encodeTwentyFiveHertz(samples, kMaxIntChars, text, [](char* out, float v) {
        return putInt(out, roundToRange(v, 0, kCvpLimit));
    });
}

void encodeCO2(std::vector<float>& samples, std::string& text) {
    encodeTwentyFiveHertz(samples, 5, text, [](char* out, float v) {
        const float clamped = std::isnan(v) ? 0.001f : std::max(std::min(v, 1.0f), 0.001f);
        // Thousandths, rounded as "%.3f" rounds: a float times 1000 is exact in
        // a double, and nearbyint rounds half to even as printf does.
        const int thousandths = static_cast<int>(std::nearbyint(double(clamped) * 1000.0));
        *out++ = static_cast<char>('0' + thousandths / 1000);
        *out++ = '.';
        *out++ = static_cast<char>('0' + thousandths / 100 % 10);
        *out++ = static_cast<char>('0' + thousandths / 10 % 10);
        *out++ = static_cast<char>('0' + thousandths % 10);
        return out;
    });
}

void encodeECG(std::vector<float>& samples, std::string& text) {
    encodeGroups(samples, 5, 6 * kMaxIntChars + 5, text, [](char* out, const float* s) {
        const float values[6] = {s[0], s[1], s[2], (s[2] + s[3]) * 0.5f, s[3], s[4]};
        for (int i = 0; i < 6; ++i) {
            if (i > 0) {
                *out++ = ',';
            }
            out = putInt(out, roundToRange((values[i] + 50.0f) * 27.3f, 0, 4095));
        }
        return out;
    });
}

namespace {

std::string encoded(void (*encode)(std::vector<float>&, std::string&),
                    std::vector<float>& samples) {
    std::string text;
    encode(samples, text);
    return text;
}

}  // namespace

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
