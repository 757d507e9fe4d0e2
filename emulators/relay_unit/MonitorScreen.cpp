#include "emulators/relay_unit/MonitorScreen.h"

#include <ncurses.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "emulators/relay_unit/MonitorPicture.h"

namespace relayunit {

namespace {

constexpr int kFrameMs = 50;  // 20 frames a second; getch waits at most this long
constexpr int kLabelWidth = 8;
constexpr std::chrono::seconds kRecent{10};

short pairOf(Colour c) {
    return static_cast<short>(static_cast<int>(c) + 1);
}

void setUpColours() {
    if (!has_colors()) {
        return;
    }
    start_color();
    use_default_colors();
    const short colours[] = {COLOR_RED,  COLOR_YELLOW, COLOR_GREEN,
                             COLOR_CYAN, COLOR_BLUE,   COLOR_WHITE};
    for (int i = 0; i < 6; ++i) {
        init_pair(static_cast<short>(i + 1), colours[i], -1);
    }
}

std::string oneDecimal(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::string scaleText(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(v));
    return text;
}

// Plain text cut to the room left on the row.
void put(int row, int column, const std::string& text, int width) {
    if (width > 0) {
        mvaddnstr(row, column, text.c_str(), width);
    }
}

void drawTrace(const TracePicture& trace, int top, int height, int traceWidth) {
    const attr_t colour = COLOR_PAIR(pairOf(trace.channel.colour));
    attron(colour);
    put(top, 0, scaleText(trace.channel.scaleMax), kLabelWidth - 1);
    attron(A_BOLD);
    put(top + std::min(1, height - 1), 0, trace.channel.name, kLabelWidth - 1);
    attroff(A_BOLD);
    if (height >= 3) {
        put(top + 2, 0, oneDecimal(trace.rate) + "/s", kLabelWidth - 1);
    }
    if (height >= 4) {
        put(top + height - 1, 0, scaleText(trace.channel.scaleMin), kLabelWidth - 1);
    }
    if (trace.state == TraceState::Live) {
        const auto rows = brailleRows(trace.slots, trace.channel.scaleMin, trace.channel.scaleMax,
                                      traceWidth, height);
        for (int r = 0; r < height; ++r) {
            mvaddstr(top + r, kLabelWidth, rows[static_cast<std::size_t>(r)].c_str());
        }
    } else {
        const std::string note = trace.state == TraceState::Off ? "off" : "no signal";
        put(top + height / 2, kLabelWidth + std::max(0, (traceWidth - 9) / 2), note, traceWidth);
    }
    attroff(colour);
}

void drawNumerics(const std::vector<NumericField>& fields, int left, int top, int height,
                  int width) {
    const int step = std::max(2, height / std::max<int>(1, static_cast<int>(fields.size())));
    int row = top;
    for (const auto& field : fields) {
        if (row + 1 >= top + height) {
            break;
        }
        const attr_t colour = COLOR_PAIR(pairOf(field.colour));
        attron(colour);
        put(row, left, field.label + (field.detail.empty() ? "" : "  " + field.detail), width);
        attron(A_BOLD);
        put(row + 1, left + 2, field.value, width - 2);
        attroff(A_BOLD);
        attroff(colour);
        row += step;
    }
}

void draw(const RelayUnitEmulator& unit) {
    const auto now = Clock::now();
    const auto picture = buildPicture(unit.monitor(kRecent), unit.status(kRecent), now);
    int rows = 0;
    int columns = 0;
    getmaxyx(stdscr, rows, columns);
    erase();
    // Beside the traces, the numerics take a quarter of the width, 20 to 32 columns.
    const int panel = std::clamp(columns / 4, 20, 32);
    const int traceWidth = columns - panel - kLabelWidth - 1;
    const int bandsTop = 1;
    const int bandsHeight = rows - 2;
    const int traceCount = static_cast<int>(picture.traces.size());
    if (traceWidth < 4 || bandsHeight < traceCount) {
        put(0, 0, "terminal too small for the monitor screen", columns);
        refresh();
        return;
    }
    attron(A_BOLD);
    put(0, 0, "MonitorRelay unit (emulated)   q: quit", columns);
    attroff(A_BOLD);
    const int band = bandsHeight / traceCount;
    for (int i = 0; i < traceCount; ++i) {
        drawTrace(picture.traces[static_cast<std::size_t>(i)], bandsTop + i * band, band,
                  traceWidth);
    }
    drawNumerics(picture.numerics, columns - panel + 1, bandsTop, bandsHeight, panel - 1);
    put(rows - 1, 0, picture.status, columns);
    refresh();
}

}  // namespace

void runMonitorScreen(const RelayUnitEmulator& unit, const std::atomic<bool>& stop,
                      const std::function<void()>& everyFrame) {
    initscr();
    cbreak();
    noecho();
    keypad(stdscr, TRUE);
    curs_set(0);
    timeout(kFrameMs);
    setUpColours();
    while (!stop) {
        draw(unit);
        const int key = getch();
        if (key == 'q' || key == 'Q') {
            break;
        }
        if (key == KEY_RESIZE) {
            clear();  // the next frame draws at the new size
        }
        everyFrame();
    }
    endwin();
}

}  // namespace relayunit
