#include "emulators/relay_unit/SvgSnapshot.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace relayunit {

namespace {

constexpr double kWidth = 960, kHeight = 540;
constexpr double kTraceLeft = 90, kTraceRight = 700;  // label column left of the traces
constexpr double kTop = 40, kBandHeight = 92, kBandPadding = 8;
constexpr double kPanelLeft = 720;

const char* hex(Colour c) {
    switch (c) {
        case Colour::Red:
            return "#ff5a5a";
        case Colour::Yellow:
            return "#ffd24a";
        case Colour::Green:
            return "#4cff6a";
        case Colour::Cyan:
            return "#4ae0ff";
        case Colour::Blue:
            return "#6f9cff";
        case Colour::White:
            return "#e6e6e6";
    }
    return "#ffffff";
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::string scaleText(float v) {
    std::ostringstream out;
    out << v;
    return out.str();
}

void text(std::ostringstream& svg, double x, double y, int size, const char* colour,
          const std::string& content, const char* anchor = "start") {
    svg << "<text x=\"" << number(x) << "\" y=\"" << number(y) << "\" font-size=\"" << size
        << "\" fill=\"" << colour << "\" text-anchor=\"" << anchor << "\">" << escaped(content)
        << "</text>\n";
}

}  // namespace

std::string renderSvg(const Picture& picture) {
    std::ostringstream svg;
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\""
        << kHeight << "\" viewBox=\"0 0 " << kWidth << " " << kHeight
        << "\" font-family=\"DejaVu Sans Mono, monospace\" xml:space=\"preserve\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"#000000\"/>\n";
    text(svg, 12, 24, 16, "#e6e6e6", "MonitorRelay unit (emulated): what the monitors show");

    double top = kTop;
    for (const auto& trace : picture.traces) {
        const auto& channel = trace.channel;
        const char* colour = hex(channel.colour);
        const double y = top + kBandPadding;
        const double h = kBandHeight - 2 * kBandPadding;
        svg << "<g class=\"trace\" id=\"trace-" << escaped(channel.name) << "\">\n";
        text(svg, 12, y + h / 2 + 2, 16, colour, channel.name);
        text(svg, 12, y + h / 2 + 18, 11, colour,
             number(trace.rate) + "/s" + (channel.unit.empty() ? "" : " " + channel.unit));
        text(svg, kTraceLeft - 6, y + 9, 11, colour, scaleText(channel.scaleMax), "end");
        text(svg, kTraceLeft - 6, y + h, 11, colour, scaleText(channel.scaleMin), "end");
        svg << "<line x1=\"" << kTraceLeft << "\" y1=\"" << number(y + h) << "\" x2=\""
            << kTraceRight << "\" y2=\"" << number(y + h)
            << "\" stroke=\"#333333\" stroke-width=\"1\"/>\n";
        for (const auto& line : tracePolylines(trace.slots, channel.scaleMin, channel.scaleMax,
                                               kTraceLeft, y, kTraceRight - kTraceLeft, h)) {
            svg << "<polyline fill=\"none\" stroke=\"" << colour
                << "\" stroke-width=\"1.6\" stroke-linejoin=\"round\" points=\"";
            for (std::size_t i = 0; i < line.size(); ++i) {
                svg << (i ? " " : "") << number(line[i].x) << "," << number(line[i].y);
            }
            svg << "\"/>\n";
        }
        if (trace.state != TraceState::Live) {
            text(svg, (kTraceLeft + kTraceRight) / 2, y + h / 2 + 6, 16, colour,
                 trace.state == TraceState::Off ? "off" : "no signal", "middle");
        }
        svg << "</g>\n";
        top += kBandHeight;
    }

    svg << "<line x1=\"" << kPanelLeft - 8 << "\" y1=\"" << kTop << "\" x2=\"" << kPanelLeft - 8
        << "\" y2=\"" << top << "\" stroke=\"#333333\" stroke-width=\"1\"/>\n";
    double y = kTop;
    const double step =
        (top - kTop) / static_cast<double>(std::max<std::size_t>(picture.numerics.size(), 1));
    for (const auto& field : picture.numerics) {
        const char* colour = hex(field.colour);
        svg << "<g class=\"numeric\" id=\"numeric-" << escaped(field.label) << "\">\n";
        text(svg, kPanelLeft, y + 14, 12, colour, field.label);
        text(svg, kWidth - 12, y + 14, 11, colour, field.detail, "end");
        text(svg, kPanelLeft + 8, y + step - 10, 26, colour, field.value);
        svg << "</g>\n";
        y += step;
    }
    text(svg, 12, kHeight - 14, 13, "#b0b0b0", picture.status);
    svg << "</svg>\n";
    return svg.str();
}

bool writeFileAtomically(const std::string& path, const std::string& content, std::string* error) {
    const std::string temporary = path + ".tmp" + std::to_string(getpid());
    const auto fail = [&](const char* step) {
        if (error) {
            *error = std::string(step) + " " + temporary + ": " + std::strerror(errno);
        }
        unlink(temporary.c_str());
        return false;
    };
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return fail("open");
    }
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t n = write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            close(fd);
            return fail("write");
        }
        written += static_cast<std::size_t>(n);
    }
    if (fsync(fd) != 0) {
        close(fd);
        return fail("fsync");
    }
    if (close(fd) != 0) {
        return fail("close");
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        return fail("rename");
    }
    return true;
}

}  // namespace relayunit
