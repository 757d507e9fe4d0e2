// The calibration tables' conversions: every SAO2 value and CAPNOGRAM
// sample goes through them, so they are plain functions without any peer.
#include "app/Conversion.h"

#include <cmath>
#include <limits>

namespace {

// Piecewise-linear interpolation from an anchor at key 0, in 32-bit floats.
// Inputs that would divide by zero (a first key of 0 or less with the input
// below it) and an input of minus infinity give the first point's value; NaN
// and plus infinity pass every point and give the last point's value.
float interpolate(const std::map<float, float>& table, float anchorValue, float x) {
    float prevKey = 0.0f;
    float prevValue = anchorValue;
    if (!table.empty() && std::isinf(x) && x < 0) {
        return table.begin()->second;
    }
    for (const auto& point : table) {
        const float k = point.first;
        const float v = point.second;
        if (x < k) {
            if (!(k > prevKey)) {
                return v;
            }
            return prevValue + ((v - prevValue) * (x - prevKey)) / (k - prevKey);
        }
        prevKey = k;
        prevValue = v;
    }
    return prevValue;
}

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

int32_t spo2FromTable(const std::map<float, float>& table, float value) {
    return roundToInt32(interpolate(table, 400.0f, value));
}

float co2FromTable(const std::map<float, float>& table, float value) {
    return interpolate(table, 1.0f, value) / 1000.0f;
}
