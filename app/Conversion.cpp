// The calibration tables' conversions: every SAO2 value and CAPNOGRAM
// sample goes through them, so they are plain functions without any peer.
#include "app/Conversion.h"

#include <cmath>
#include <limits>

namespace {

constexpr float kSpo2Anchor = 400.0f;
constexpr float kCo2Anchor = 1.0f;

// Nearest integer, halves away from zero, saturated to the 32-bit range (NaN gives 0).
int32_t roundToInt32(float r) {
    if (std::isnan(r)) {
        return 0;
    }
    if (r >= 2147483647.0f) {
        return std::numeric_limits<int32_t>::max();
    }
    if (r <= -2147483648.0f) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(std::lround(r));
}

}  // namespace

// Piecewise-linear interpolation from an anchor at key 0, in 32-bit floats.
ConversionTable::ConversionTable(const std::map<float, float>& table, float anchorValue)
    : last_(anchorValue) {
    segments_.reserve(table.size());
    float startKey = 0.0f;
    float startValue = anchorValue;
    for (const auto& point : table) {
        const float k = point.first;
        const float v = point.second;
        segments_.push_back({k, v, startKey, startValue, v - startValue, k - startKey});
        startKey = k;
        startValue = v;
    }
    last_ = startValue;
}

// Inputs that would divide by zero (a first key of 0 or less with the input
// below it) and an input of minus infinity give the first point's value; NaN
// and plus infinity pass every point and give the last point's value.
float ConversionTable::interpolate(float x) const {
    if (!segments_.empty() && std::isinf(x) && x < 0) {
        return segments_.front().value;
    }
    for (const Segment& s : segments_) {
        if (x < s.key) {
            if (!(s.key > s.startKey)) {
                return s.value;
            }
            return s.startValue + (s.rise * (x - s.startKey)) / s.run;
        }
    }
    return last_;
}

int32_t spo2FromTable(const std::map<float, float>& table, float value) {
    return roundToInt32(ConversionTable(table, kSpo2Anchor).interpolate(value));
}

float co2FromTable(const std::map<float, float>& table, float value) {
    return co2FromTable(co2Table(table), value);
}

ConversionTable co2Table(const std::map<float, float>& table) {
    return ConversionTable(table, kCo2Anchor);
}
