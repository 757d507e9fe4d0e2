#include "config/ConfigDocument.h"

#include <boost/property_tree/xml_parser.hpp>
#include <fstream>
#include <locale>
#include <sstream>

namespace pt = boost::property_tree;

namespace config_xml {

namespace {

// Real files are one or two kilobytes and three elements deep. The limits keep
// a damaged or hostile file from exhausting memory or the reader's stack.
constexpr std::size_t kMaxFileSize = 1024 * 1024;
constexpr int kMaxNesting = 100;

}  // namespace

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw pt::xml_parser_error("cannot open file", path, 0);
    }
    std::string text;
    char chunk[16384];
    while (text.size() <= kMaxFileSize && in.read(chunk, sizeof chunk).gcount() > 0) {
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        throw pt::xml_parser_error("cannot read file", path, 0);
    }
    if (text.size() > kMaxFileSize) {
        throw pt::xml_parser_error("file larger than " + std::to_string(kMaxFileSize) + " bytes",
                                   path, 0);
    }
    return text;
}

Document parseDocument(const std::string& text, const std::string& path) {
    Document document;
    document.layout = scanDocument(text, "MonitorRelay", kMaxNesting, path);
    std::istringstream in(text);
    in.imbue(std::locale());
    try {
        pt::read_xml(in, document.tree, 0);
    } catch (const pt::xml_parser_error& e) {
        throw pt::xml_parser_error(e.message(), path, e.line());
    }
    return document;
}

}  // namespace config_xml
