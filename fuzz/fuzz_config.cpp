// readConfiguration on a file holding the fuzz bytes; when it succeeds, a save
// and a fresh read must give the same record, since the bridge reads the saved
// file at its next start, and the save must leave every byte outside the
// elements it writes as it was.
#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "config/ConfigFields.h"
#include "config/Configuration.h"
#include "config/XmlLayout.h"
#include "fuzz/FuzzSupport.h"

namespace {

std::string scratch;
std::string file;

// The text without the elements a save writes.
std::string outsideTheSavedElements(const std::string& text) {
    const config_xml::Layout layout =
        config_xml::scanDocument(text, config_fields::kRoot, 1000, "fuzz");
    std::string out = text;
    std::vector<config_xml::Span> spans;
    for (const config_fields::Field& row : config_fields::fields()) {
        if (row.write == nullptr) {
            continue;
        }
        const auto found = layout.rootChildren.find(row.name);
        if (found != layout.rootChildren.end()) {
            spans.push_back(found->second);
        }
    }
    std::sort(spans.begin(), spans.end(), [](const config_xml::Span& a, const config_xml::Span& b) {
        return a.begin > b.begin;
    });
    for (const auto& span : spans) {
        out.replace(span.begin, span.end - span.begin, "<>");
    }
    return out;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
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
        const std::string before(reinterpret_cast<const char*>(data), size);
        if (outsideTheSavedElements(slurp(file)) != outsideTheSavedElements(before)) {
            fuzzsupport::fail("the save changed the file outside the elements it writes");
        }
        Configuration again(file.c_str());
        if (!again.readConfiguration()) {
            fuzzsupport::fail("the saved file does not read back: " + console.str());
        }
        if (first != again) {
            std::ostringstream both;
            both << "the saved file reads back otherwise:\n  " << first << "\n  " << again;
            fuzzsupport::fail(both.str());
        }
    }
    console.str("");
    return 0;
}
