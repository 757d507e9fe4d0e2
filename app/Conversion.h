#pragma once

#include <cstdint>
#include <map>

// Piecewise-linear conversions through a calibration table (key -> value),
// from an anchor at key 0. Non-finite inputs and inputs outside the table
// have defined results: a NaN or +inf gives the last point's value, -inf the
// first point's, and a result beyond the 32-bit range saturates.

// SpO2 percentage to the unit's ratio (anchor 400), rounded half away from zero.
int32_t spo2FromTable(const std::map<float, float>& table, float value);
// CO2 sample to the unit's fraction (anchor 1, then divided by 1000).
float co2FromTable(const std::map<float, float>& table, float value);
