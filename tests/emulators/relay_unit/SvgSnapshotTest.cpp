// An SVG snapshot of a recorded stream, read back as XML.
#include "emulators/relay_unit/SvgSnapshot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace relayunit;
namespace pt = boost::property_tree;

namespace {

// 8 s of a bridge's blocks: ABP and PLETH 6 values, CVP 3 every 120 ms (PAP
// not placed, CO2 switched off), plus its numerics.
MonitorState recordedStream(Clock::time_point end) {
    MonitorState m;
    const auto start = end - 8s;
    for (auto at = start; at <= end; at += 120ms) {
        for (const char* name : {"ABP", "PLETH"}) {
            m.waveforms[name].push_back({{80, 95, 110, 120, 100, 85}, at});
            m.waveformTotals[name] += 6;
        }
        m.waveforms["CVP"].push_back({{4, 7, 5}, at});
        m.waveformTotals["CVP"] += 3;
    }
    m.hr = 96;
    m.rr = 20;
    m.spo2 = 55;
    m.spo2Probe = 1;
    m.sbp = 118;
    m.dbp = 76;
    m.mbp = 90;
    m.t1 = 36.8f;
    m.co2Disabled = true;
    return m;
}

std::vector<std::string> texts(const pt::ptree& node) {
    std::vector<std::string> out;
    for (const auto& child : node) {
        if (child.first == "text") {
            out.push_back(child.second.data());
        }
        for (const auto& t : texts(child.second)) {
            out.push_back(t);
        }
    }
    return out;
}

bool contains(const std::vector<std::string>& all, const std::string& wanted) {
    return std::find(all.begin(), all.end(), wanted) != all.end();
}

std::size_t pointCount(const std::string& points) {
    std::istringstream in(points);
    std::size_t n = 0;
    for (std::string pair; in >> pair;) {
        EXPECT_NE(std::string::npos, pair.find(',')) << pair;
        ++n;
    }
    return n;
}

}  // namespace

TEST(SvgSnapshot, OneTraceGroupPerChannelWithItsPointsAndTheNumerics) {
    const auto now = Clock::time_point() + 100s;
    UnitStatus unit;
    unit.associated = unit.enabled = true;
    const std::string svg = renderSvg(buildPicture(recordedStream(now), unit, now));

    pt::ptree doc;
    std::istringstream in(svg);
    ASSERT_NO_THROW(pt::read_xml(in, doc)) << svg.substr(0, 400);
    const auto& root = doc.get_child("svg");
    std::map<std::string, std::size_t> points, polylines;
    for (const auto& child : root) {
        if (child.first != "g" || child.second.get("<xmlattr>.class", "") != "trace") {
            continue;
        }
        const auto id = child.second.get("<xmlattr>.id", "");
        points[id];  // a channel without a trace still has its group
        for (const auto& line : child.second) {
            if (line.first == "polyline") {
                ++polylines[id];
                points[id] += pointCount(line.second.get("<xmlattr>.points", ""));
            }
        }
    }
    ASSERT_EQ(5u, points.size());
    // A full sweep less the 0.2 s erased ahead of it: 300 - 10 and 150 - 5.
    EXPECT_EQ(290u, points["trace-ABP"]);
    EXPECT_EQ(290u, points["trace-PLETH"]);
    EXPECT_EQ(145u, points["trace-CVP"]);
    EXPECT_EQ(0u, points["trace-PAP"]);
    EXPECT_EQ(0u, points["trace-CO2"]);
    EXPECT_LE(polylines["trace-ABP"], 2u) << "the erased gap splits a sweep in two at most";

    const auto all = texts(root);
    for (const char* wanted : {"96", "55", "probe on", "118/76 (90)", "20", "36.8", "---", "off",
                               "no signal", "50.0/s mmHg", "25.0/s mmHg"}) {
        EXPECT_TRUE(contains(all, wanted)) << "no text " << wanted;
    }
}

TEST(SvgSnapshot, TextIsEscaped) {
    Picture p;
    p.status = "a<b & \"c\"";
    const std::string svg = renderSvg(p);
    EXPECT_NE(std::string::npos, svg.find("a&lt;b &amp; &quot;c&quot;"));
    pt::ptree doc;
    std::istringstream in(svg);
    EXPECT_NO_THROW(pt::read_xml(in, doc));
}

TEST(SvgSnapshot, WrittenAtomicallyOverTheOldFile) {
    char dir[] = "/tmp/svgsnapshot-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string path = std::string(dir) + "/monitor.svg";
    ASSERT_TRUE(writeFileAtomically(path, "old"));
    ASSERT_TRUE(writeFileAtomically(path, "new picture"));
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    EXPECT_EQ("new picture", content.str());
    std::string error;
    EXPECT_FALSE(writeFileAtomically(std::string(dir) + "/missing/monitor.svg", "x", &error));
    EXPECT_NE(std::string::npos, error.find("No such file")) << error;
    unlink(path.c_str());
    EXPECT_EQ(0, rmdir(dir)) << "a temporary file was left behind";
}
