#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulators/relay_unit/RelayUnitEmulator.h"

namespace relayunit {

// What a monitor behind the unit shows, as geometry and text: no terminal, no
// file, no socket. The screen and the SVG snapshot both draw from it.

enum class Colour { Red, Yellow, Green, Cyan, Blue, White };

struct ChannelStyle {
    std::string name;   // the unit's command name
    int ratePerSecond;  // what the unit takes: 50 or 25 values a second
    float scaleMin, scaleMax;
    std::string unit;
    Colour colour;
};

// The five traces in the order a monitor stacks them.
const std::vector<ChannelStyle>& traceChannels();

constexpr double kSweepSeconds = 6;     // one sweep across the screen
constexpr double kEraseSeconds = 0.2;   // blank ahead of the sweep, as a monitor erases
constexpr double kNoSignalSeconds = 2;  // a trace without values this long is blank

using Slots = std::vector<std::optional<float>>;

// Value number k since start (0-based) sits in slot k mod `slotCount`, so the
// trace is written left to right and wraps; the `eraseSlots` slots after the
// newest stay empty. `newest` holds the last values received, oldest first,
// `total` the count since start. `sweep` gets the slot of the newest (-1: none).
Slots sweepSlots(const std::vector<float>& newest, std::uint64_t total, int slotCount,
                 int eraseSlots, int* sweep = nullptr);

// The trace in Unicode Braille: `rows` strings (UTF-8) of `columns` cells,
// 2x4 dots a cell, top row first; empty cells are spaces. Values outside the
// scale sit on its edge; neighbouring values are joined by a vertical run.
std::vector<std::string> brailleRows(const Slots& slots, float min, float max, int columns,
                                     int rows);

struct Point {
    double x, y;
};
// The trace as polylines in the box (x, y, w, h), y downwards; a gap starts a
// new polyline. Slot i sits at the middle of its 1/N of the width.
std::vector<std::vector<Point>> tracePolylines(const Slots& slots, float min, float max, double x,
                                               double y, double w, double h);

enum class TraceState { Live, Off, NoSignal };

struct TracePicture {
    ChannelStyle channel;
    TraceState state = TraceState::NoSignal;
    Slots slots;
    int sweep = -1;
    double rate = 0;  // values per second received
};

// One numeric as a monitor shows it: "---" when off, disabled or never sent.
struct NumericField {
    std::string label;
    std::string value;
    std::string detail;  // e.g. "probe off"; may be empty
    Colour colour;
};
std::vector<NumericField> numericFields(const MonitorState& m);

struct Picture {
    std::vector<TracePicture> traces;
    std::vector<NumericField> numerics;
    std::string status;
};

// `recent` needs the waveform blocks of at least the last 10 s (rates) and the
// running totals; `unit` the datagrams of the same window.
Picture buildPicture(const MonitorState& recent, const UnitStatus& unit, Clock::time_point now);
std::string statusText(const UnitStatus& unit, Clock::time_point now);

// The one-line monitor view of the text mode (rates with one decimal).
std::string monitorLine(const MonitorState& recent, bool enabled, Clock::time_point now);

}  // namespace relayunit
