#include "bench/FloorEncoding.h"

#include <cmath>

namespace floorenc {

namespace {

constexpr float kTwoThirds = 0.6666667f;
constexpr float kOneThird = 0.33333334f;

float interpolate(float earlier, float later, float factor) {
    return (later - earlier) * factor + earlier;
}

int abpValue(float v, int position) {
    return roundToRange(v, position == 2 ? 4 : 0, 300);
}
int papValue(float v, int) {
    return std::isnan(v) ? 0 : roundToRange(v, -1000, 1000);
}
int plethValue(float v, int position) {
    return roundToRange(v, position == 2 ? 4 : 0, 100);
}

// Groups of 5: s0, 2/3 between s1 and s2, 1/3 between s3 and s4.
std::size_t fiftyHertz(const float* s, std::size_t count, char* out, char** end,
                       int (*convert)(float, int)) {
    std::size_t used = 0;
    for (; count - used >= 5; used += 5, s += 5) {
        if (used > 0) {
            *out++ = ',';
        }
        out = putInt(out, convert(s[0], 0));
        *out++ = ',';
        out = putInt(out, convert(interpolate(s[1], s[2], kTwoThirds), 1));
        *out++ = ',';
        out = putInt(out, convert(interpolate(s[3], s[4], kOneThird), 2));
    }
    *end = out;
    return used;
}

// Groups of 10: s0, 1/3 between s3 and s4, 2/3 between s6 and s7.
std::size_t twentyFiveHertz(const float* s, std::size_t count, char* out, char** end,
                            char* (*put)(char*, float)) {
    std::size_t used = 0;
    for (; count - used >= 10; used += 10, s += 10) {
        if (used > 0) {
            *out++ = ',';
        }
        out = put(out, s[0]);
        *out++ = ',';
        out = put(out, interpolate(s[3], s[4], kOneThird));
        *out++ = ',';
        out = put(out, interpolate(s[6], s[7], kTwoThirds));
    }
    *end = out;
    return used;
}

char* putCvp(char* out, float v) {
    return putInt(out, roundToRange(v, 0, 1000));
}

// Three decimals of a value in 0.001..1. The float times 1000 is exact in a
// double, so rounding it to the nearest integer, ties to even, rounds as
// printf's "%.3f" does.
char* putCo2(char* out, float v) {
    const float clamped = std::isnan(v) ? 0.001f : std::fmax(std::fmin(v, 1.0f), 0.001f);
    const int thousandths = static_cast<int>(std::nearbyint(static_cast<double>(clamped) * 1000.0));
    *out++ = static_cast<char>('0' + thousandths / 1000);
    *out++ = '.';
    *out++ = static_cast<char>('0' + thousandths / 100 % 10);
    *out++ = static_cast<char>('0' + thousandths / 10 % 10);
    *out++ = static_cast<char>('0' + thousandths % 10);
    return out;
}

}  // namespace

int clampInt(int value, int low, int high) {
    return value < low ? low : (value > high ? high : value);
}

int roundToRange(float value, int low, int high) {
    if (std::isnan(value) || value <= static_cast<float>(low)) {
        return low;
    }
    if (value >= static_cast<float>(high)) {
        return high;
    }
    return clampInt(static_cast<int>(std::round(value)), low, high);
}

char* putInt(char* out, int value) {
    char digits[12];
    int n = 0;
    unsigned magnitude =
        value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude > 0);
    if (value < 0) {
        *out++ = '-';
    }
    while (n > 0) {
        *out++ = digits[--n];
    }
    return out;
}

char* putTemperature(char* out, float degC) {
    // max first: a NaN argument compares false and yields 21.0.
    const float clamped = std::fmin(degC > 21.0f ? degC : 21.0f, 47.0f);
    // Tenths, rounded as printf's "%.1f" rounds the exact value.
    const int tenths = static_cast<int>(std::nearbyint(static_cast<double>(clamped) * 10.0));
    out = putInt(out, tenths / 10);
    *out++ = '.';
    *out++ = static_cast<char>('0' + tenths % 10);
    return out;
}

std::size_t encodeAbp(const float* samples, std::size_t count, char* out, char** end) {
    return fiftyHertz(samples, count, out, end, abpValue);
}

std::size_t encodePap(const float* samples, std::size_t count, char* out, char** end) {
    return fiftyHertz(samples, count, out, end, papValue);
}

std::size_t encodePleth(const float* samples, std::size_t count, char* out, char** end) {
    return fiftyHertz(samples, count, out, end, plethValue);
}

std::size_t encodeCvp(const float* samples, std::size_t count, char* out, char** end) {
    return twentyFiveHertz(samples, count, out, end, putCvp);
}

std::size_t encodeCo2(const float* samples, std::size_t count, char* out, char** end) {
    return twentyFiveHertz(samples, count, out, end, putCo2);
}

}  // namespace floorenc
