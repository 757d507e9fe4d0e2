#include "emulators/relay_unit/MonitorPicture.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

#include "emulators/relay_unit/WaveformRate.h"

namespace relayunit {

namespace {

// Braille dot bits by column (0, 1) and dot row (0..3), top to bottom.
constexpr unsigned kDotBit[2][4] = {{0x01, 0x02, 0x04, 0x40}, {0x08, 0x10, 0x20, 0x80}};

std::string brailleCell(unsigned bits) {
    if (bits == 0) {
        return " ";
    }
    const unsigned code = 0x2800 + bits;  // three UTF-8 bytes
    std::string cell;
    cell += static_cast<char>(0xE0 | (code >> 12));
    cell += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    cell += static_cast<char>(0x80 | (code & 0x3F));
    return cell;
}

// 0 at the top of the scale, 1 at its bottom; values beyond sit on the edge.
double depth(float v, float min, float max) {
    const double d = (static_cast<double>(max) - v) / (static_cast<double>(max) - min);
    return std::clamp(d, 0.0, 1.0);
}

template <typename T>
std::string fixed(T v, int decimals) {
    std::ostringstream out;
    out << std::fixed << std::setprecision(decimals) << v;
    return out.str();
}

// "---" for a value never sent or sent as the unit's "disabled" 0.
template <typename T>
std::string shownOrOff(const std::optional<T>& v, int decimals = 0) {
    return v && *v != 0 ? fixed(*v, decimals) : "---";
}

// The line view's older notation: "--" for never sent.
template <typename T>
std::string shown(const std::optional<T>& v) {
    return v ? fixed(*v, std::is_floating_point<T>::value ? 1 : 0) : "--";
}

bool probeOff(const MonitorState& m) {
    return m.spo2Probe && *m.spo2Probe == 0;
}

const std::vector<WaveformBlock>& blocksOf(const MonitorState& m, const std::string& name) {
    static const std::vector<WaveformBlock> none;
    const auto it = m.waveforms.find(name);
    return it == m.waveforms.end() ? none : it->second;
}

}  // namespace

const std::vector<ChannelStyle>& traceChannels() {
    // Fixed scales, as a monitor sets them: the unit's CO2 is a level 0..1.
    static const std::vector<ChannelStyle> channels = {
        {"ABP", 50, 0, 200, "mmHg", Colour::Red}, {"PAP", 50, 0, 50, "mmHg", Colour::Yellow},
        {"CVP", 25, 0, 20, "mmHg", Colour::Blue}, {"PLETH", 50, 0, 100, "", Colour::Cyan},
        {"CO2", 25, 0, 1, "", Colour::White},
    };
    return channels;
}

Slots sweepSlots(const std::vector<float>& newest, std::uint64_t total, int slotCount,
                 int eraseSlots, int* sweep) {
    Slots slots(static_cast<std::size_t>(std::max(slotCount, 0)));
    if (sweep) {
        *sweep = -1;
    }
    if (slotCount <= 0 || total == 0 || newest.empty()) {
        return slots;
    }
    const auto n = static_cast<std::uint64_t>(slotCount);
    const std::size_t shown = std::min<std::size_t>(newest.size(), slotCount);
    for (std::size_t j = 0; j < shown; ++j) {
        // j counts back from the newest value, number total - 1.
        const std::uint64_t number = total - 1 - j;
        slots[number % n] = newest[newest.size() - 1 - j];
        if (j + 1 == total) {
            break;  // `newest` holds more than was ever counted: keep the count
        }
    }
    const auto newestSlot = static_cast<int>((total - 1) % n);
    for (int e = 1; e <= eraseSlots && e < slotCount; ++e) {
        slots[static_cast<std::size_t>((newestSlot + e) % slotCount)].reset();
    }
    if (sweep) {
        *sweep = newestSlot;
    }
    return slots;
}

std::vector<std::string> brailleRows(const Slots& slots, float min, float max, int columns,
                                     int rows) {
    if (columns <= 0 || rows <= 0) {
        return {};
    }
    const int dotsX = 2 * columns;
    const int dotsY = 4 * rows;
    std::vector<unsigned> cells(static_cast<std::size_t>(columns * rows), 0);
    const auto plot = [&](int x, int y) {
        cells[static_cast<std::size_t>((y / 4) * columns + x / 2)] |= kDotBit[x % 2][y % 4];
    };
    const std::size_t n = slots.size();
    // The last plotted row, joined to the next; none after a gap. (Not an
    // optional: one compiler warns, wrongly, that its value may be unset.)
    bool joined = false;
    int previousY = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!slots[i]) {
            joined = false;
            continue;
        }
        const int x = static_cast<int>(i * static_cast<std::size_t>(dotsX) / n);
        const int y = static_cast<int>(std::lround(depth(*slots[i], min, max) * (dotsY - 1)));
        const int from = joined ? std::min(previousY, y) : y;
        const int to = joined ? std::max(previousY, y) : y;
        for (int yy = from; yy <= to; ++yy) {
            plot(x, yy);
        }
        previousY = y;
        joined = true;
    }
    std::vector<std::string> text(static_cast<std::size_t>(rows));
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            text[static_cast<std::size_t>(r)] +=
                brailleCell(cells[static_cast<std::size_t>(r * columns + c)]);
        }
    }
    return text;
}

std::vector<std::vector<Point>> tracePolylines(const Slots& slots, float min, float max, double x,
                                               double y, double w, double h) {
    std::vector<std::vector<Point>> lines;
    bool inLine = false;
    const double n = static_cast<double>(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (!slots[i]) {
            inLine = false;
            continue;
        }
        if (!inLine) {
            lines.emplace_back();
            inLine = true;
        }
        lines.back().push_back(
            {x + (static_cast<double>(i) + 0.5) * w / n, y + depth(*slots[i], min, max) * h});
    }
    return lines;
}

std::vector<NumericField> numericFields(const MonitorState& m) {
    std::vector<NumericField> f;
    f.push_back({"HR", shownOrOff(m.hr), "bpm", Colour::Green});
    const bool off = probeOff(m);
    f.push_back({"SpO2", off ? "---" : shownOrOff(m.spo2),
                 off ? "probe off" : (m.spo2Probe ? "probe on" : ""), Colour::Cyan});
    const bool nibp = m.sbp && *m.sbp != 0;
    f.push_back({"NIBP",
                 nibp ? shownOrOff(m.sbp) + "/" + shownOrOff(m.dbp) + " (" + shownOrOff(m.mbp) + ")"
                      : "---/--- (---)",
                 "mmHg", Colour::Red});
    f.push_back({"RR", shownOrOff(m.rr), "/min", Colour::White});
    f.push_back({"T1", shownOrOff(m.t1, 1), "degC", Colour::White});
    f.push_back({"T2", shownOrOff(m.t2, 1), "degC", Colour::White});
    f.push_back({"CO2", m.co2Disabled ? "off" : "on", "", Colour::Yellow});
    return f;
}

std::string statusText(const UnitStatus& unit, Clock::time_point now) {
    std::vector<Arrival> arrivals;
    for (const auto& at : unit.recentDatagrams) {
        arrivals.push_back({at, 1});
    }
    std::ostringstream out;
    out << (unit.associated ? "associated" : "not associated") << "  "
        << (unit.enabled ? "enabled" : "not enabled") << "  watchdog "
        << (unit.watchdogArmed ? "armed" : "off") << "  last datagram ";
    if (unit.lastDatagram) {
        out << fixed(std::chrono::duration<double>(now - *unit.lastDatagram).count(), 1)
            << " s ago";
    } else {
        out << "none";
    }
    out << "  " << fixed(ratePerSecond(arrivals, now), 1) << " datagrams/s";
    return out.str();
}

Picture buildPicture(const MonitorState& recent, const UnitStatus& unit, Clock::time_point now) {
    Picture picture;
    for (const auto& channel : traceChannels()) {
        TracePicture trace;
        trace.channel = channel;
        const auto& blocks = blocksOf(recent, channel.name);
        trace.rate = ratePerSecond(blocks, now);
        const int slotCount = static_cast<int>(kSweepSeconds * channel.ratePerSecond);
        const bool off = (channel.name == "CO2" && recent.co2Disabled) ||
                         (channel.name == "PLETH" && probeOff(recent));
        const bool quiet = blocks.empty() ||
                           now - blocks.back().at > std::chrono::duration<double>(kNoSignalSeconds);
        trace.state = off ? TraceState::Off : quiet ? TraceState::NoSignal : TraceState::Live;
        trace.slots.assign(static_cast<std::size_t>(slotCount), std::nullopt);
        if (trace.state == TraceState::Live) {
            std::vector<float> newest;
            for (auto b = blocks.rbegin(); b != blocks.rend() && newest.size() < 2u * slotCount;
                 ++b) {
                newest.insert(newest.begin(), b->values.begin(), b->values.end());
            }
            const auto total = recent.waveformTotals.count(channel.name)
                                   ? recent.waveformTotals.at(channel.name)
                                   : newest.size();
            const int erase = static_cast<int>(kEraseSeconds * channel.ratePerSecond);
            trace.slots = sweepSlots(newest, total, slotCount, erase, &trace.sweep);
        }
        picture.traces.push_back(std::move(trace));
    }
    picture.numerics = numericFields(recent);
    picture.status = statusText(unit, now);
    return picture;
}

std::string monitorLine(const MonitorState& m, bool enabled, Clock::time_point now) {
    std::ostringstream out;
    if (!enabled) {
        out << "(not enabled) ";
    }
    out << "HR " << shown(m.hr) << "  RR " << shown(m.rr) << "  SpO2 " << shown(m.spo2)
        << (probeOff(m) ? " (probe off)" : "") << "  NIBP " << shown(m.sbp) << "/" << shown(m.dbp)
        << " (" << shown(m.mbp) << ")  T1 " << shown(m.t1) << "  T2 " << shown(m.t2) << "  CO2 "
        << (m.co2Disabled ? "off" : "on") << "  | per s:";
    for (const char* name : {"ABP", "PAP", "CVP", "PLETH", "CO2"}) {
        out << " " << name << " " << fixed(ratePerSecond(blocksOf(m, name), now), 1);
    }
    return out.str();
}

}  // namespace relayunit
