// readConfiguration on a file holding the fuzz bytes; when it succeeds, a save
// and a fresh read must give the same record, since the bridge reads the saved
// file at its next start.
#include <cstdint>
#include <fstream>
#include <string>

#include "config/Configuration.h"
#include "fuzz/FuzzSupport.h"

namespace {

std::string scratch;
std::string file;

std::string describe(const Configuration& c) {
    std::ostringstream out;
    out << "scale=" << c.spo2Scale << " serial=[" << c.serialId << "] ip=[" << c.ipAddress
        << "] range=[" << c.ipRangeStart << "," << c.ipRangeEnd << "] spo2=";
    for (const auto& p : c.spo2Calibration) {
        out << p.first << ":" << p.second << " ";
    }
    out << "co2=";
    for (const auto& p : c.co2Calibration) {
        out << p.first << ":" << p.second << " ";
    }
    return out.str();
}

bool sameRecord(const Configuration& a, const Configuration& b) {
    return a.spo2Scale == b.spo2Scale && a.serialId == b.serialId && a.ipAddress == b.ipAddress &&
           a.ipRangeStart == b.ipRangeStart && a.ipRangeEnd == b.ipRangeEnd &&
           a.spo2Calibration == b.spo2Calibration && a.co2Calibration == b.co2Calibration;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::silenceConsole();
    scratch = fuzzsupport::makeScratchDir("config");
    file = scratch + "/bridge.xml";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::ostringstream& console = fuzzsupport::silenceConsole();
    fuzzsupport::clearScratchDir(scratch);
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    Configuration first(file.c_str());
    if (first.readConfiguration()) {
        console.str("");
        first.writeConfiguration();
        if (console.str().find("Unable to save") != std::string::npos) {
            fuzzsupport::fail("a record that was read could not be saved: " + console.str());
        }
        Configuration again(file.c_str());
        if (!again.readConfiguration()) {
            fuzzsupport::fail("the saved file does not read back: " + console.str());
        }
        if (!sameRecord(first, again)) {
            fuzzsupport::fail("the saved file reads back otherwise:\n  " + describe(first) +
                              "\n  " + describe(again));
        }
    }
    console.str("");
    return 0;
}
