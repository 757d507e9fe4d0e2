#pragma once

#include <cstdint>
#include <map>
#include <vector>

// Piecewise-linear conversions through a calibration table (key -> value),
// from an anchor at key 0. Non-finite inputs and inputs outside the table
// have defined results: a NaN or +inf gives the last point's value, -inf the
// first point's, and a result beyond the 32-bit range saturates.

// A table laid out for conversions sample by sample: its points in key order
// in one array, each segment's rise and run worked out once. Converts exactly
// as the table it was made from.
class ConversionTable {
  public:
    // No points: every input gives `anchorValue`.
    explicit ConversionTable(float anchorValue = 0.0f) : last_(anchorValue) {}
    ConversionTable(const std::map<float, float>& table, float anchorValue);

    float interpolate(float x) const;

  private:
    struct Segment {
        float key;
        float value;
        float startKey;
        float startValue;
        float rise;  // value - startValue
        float run;   // key - startKey; not positive: the segment gives `value`
    };
    std::vector<Segment> segments_;
    float last_;
};

// SpO2 percentage to the unit's ratio (anchor 400), rounded half away from zero.
int32_t spo2FromTable(const std::map<float, float>& table, float value);
// CO2 sample to the unit's fraction (anchor 1, then divided by 1000).
float co2FromTable(const std::map<float, float>& table, float value);
// The same through the CO2 table laid out once (co2Table).
ConversionTable co2Table(const std::map<float, float>& table);
inline float co2FromTable(const ConversionTable& table, float value) {
    return table.interpolate(value) / 1000.0f;
}
