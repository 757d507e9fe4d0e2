// The exposition read back by the Prometheus client's parser: every figure
// present with its type, label values intact.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "metrics/Metrics.h"
#include "support/RunProcess.h"
#include "support/ScratchDir.h"

namespace {

struct Parsed {
    int status = -1;
    std::string output;
    std::map<std::string, std::string> types;  // sample name -> family type
    std::set<std::string> labels;
};

Parsed parse(const std::string& text) {
    testsupport::ScratchDir dir("psmr-exposition");
    const std::string file = dir.file("metrics.txt");
    std::ofstream(file, std::ios::binary) << text;
    const auto run = testsupport::runProcess(
        "/usr/bin/python3", {std::string(PSMR_SOURCE_DIR) + "/tests/app/read_exposition.py", file});
    Parsed parsed;
    parsed.status = run.exitStatus;
    parsed.output = run.out + run.err;
    std::istringstream lines(run.out);
    std::string kind, name, type;
    while (lines >> kind >> name) {
        if (kind == "TYPE" && lines >> type) {
            parsed.types[name] = type;
        } else if (kind == "LABEL") {
            parsed.labels.insert(name);
        }
    }
    return parsed;
}

}  // namespace

TEST(Exposition, ParsesWithEveryFigureUnderItsType) {
    auto& m = psmr_metrics::metrics();
    // A serial as a hostile unit could report it: quote, backslash, line end.
    m.unitFound("MR-\"7\"\\x\ny", "127.0.0.2");
    m.unitReplied();
    // The numerics' names come from the bridge, which names them at start-up.
    m.nameNumerics({"HR", "RR"});
    const Parsed p = parse(m.exposition());
    ASSERT_EQ(0, p.status) << p.output;

    const std::map<std::string, std::string> expected = {
        {"psmr_build_info", "gauge"},
        {"psmr_unit_found", "gauge"},
        {"psmr_unit_enabled", "gauge"},
        {"psmr_unit_last_reply_age_seconds", "gauge"},
        {"psmr_unit_info", "gauge"},
        {"psmr_health_checks_total", "counter"},
        {"psmr_unit_rebuilds_total", "counter"},
        {"psmr_foreign_datagrams_total", "counter"},
        {"psmr_server_connected", "gauge"},
        {"psmr_server_connects_total", "counter"},
        {"psmr_server_frames_total", "counter"},
        {"psmr_simulation_running", "gauge"},
        {"psmr_calibrating", "gauge"},
        {"psmr_waveform_values_total", "counter"},
        {"psmr_waveform_values_dropped_total", "counter"},
        {"psmr_blocks_total", "counter"},
        {"psmr_datagrams_total", "counter"},
        {"psmr_numerics_total", "counter"},
        {"psmr_process_resident_memory_bytes", "gauge"},
        {"psmr_process_threads", "gauge"},
        {"psmr_process_open_fds", "gauge"},
        {"psmr_process_cpu_seconds_total", "counter"},
    };
    for (const auto& e : expected) {
        const auto found = p.types.find(e.first);
        ASSERT_NE(p.types.end(), found) << e.first << " missing\n" << p.output;
        EXPECT_EQ(e.second, found->second) << e.first;
    }
    EXPECT_EQ(1u, p.labels.count("serial=\"MR-\\\"7\\\"\\\\x\\ny\"")) << p.output;
    EXPECT_EQ(1u, p.labels.count("address=\"127.0.0.2\"")) << p.output;
}

TEST(Exposition, ProcessFiguresAreThisProcesssOwn) {
    const std::string text = psmr_metrics::metrics().exposition();
    const auto value = [&](const std::string& name) {
        const std::size_t at = text.find("\n" + name + " ");
        return at == std::string::npos ? -1.0 : std::stod(text.substr(at + name.size() + 2));
    };
    EXPECT_GT(value("psmr_process_resident_memory_bytes"), 1e6);
    EXPECT_GE(value("psmr_process_threads"), 1);
    EXPECT_GE(value("psmr_process_open_fds"), 3);  // at least the standard streams
    EXPECT_GE(value("psmr_process_cpu_seconds_total"), 0);
}
