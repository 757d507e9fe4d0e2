#pragma once

#include <cstddef>

// The unit's value texts written plainly into caller buffers: what the floor
// forwarder sends, byte for byte what the bridge sends for the same samples.
namespace floorenc {

int clampInt(int value, int low, int high);
// Half away from zero into low..high; NaN gives `low`.
int roundToRange(float value, int low, int high);

// Each writes at `out` and returns the end of what it wrote.
char* putInt(char* out, int value);
// Temperature: clamped to 21.0..47.0 (NaN gives 21.0), one decimal.
char* putTemperature(char* out, float degC);

// Waveform value texts: the whole groups at the front of samples[0..count),
// comma-separated, written at `out`. Return the samples used (0: not one
// whole group, nothing written) and set `*end` past the text.
std::size_t encodeAbp(const float* samples, std::size_t count, char* out, char** end);
std::size_t encodePap(const float* samples, std::size_t count, char* out, char** end);
std::size_t encodePleth(const float* samples, std::size_t count, char* out, char** end);
std::size_t encodeCvp(const float* samples, std::size_t count, char* out, char** end);
std::size_t encodeCo2(const float* samples, std::size_t count, char* out, char** end);

// Longest text any encoder writes per sample it takes, for sizing buffers.
constexpr std::size_t kMaxTextPerSample = 8;

}  // namespace floorenc
