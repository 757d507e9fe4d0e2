#include "config/Configuration.h"

#include "config/ConfigDocument.h"
#include "config/ConfigFileIo.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/optional.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <locale>
#include <sstream>
#include <system_error>
#include <vector>

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

namespace {

using config_xml::Document;
using config_xml::parseDocument;
using config_xml::readWholeFile;

// Offset of the first character XML 1.0 cannot hold (C0 controls but tab, line
// feed and carriage return; surrogates, U+FFFE and U+FFFF in UTF-8 form), or npos.
// Such a value could be written out but never read back.
std::size_t forbiddenCharacter(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            return i;
        }
        if (i + 2 < text.size()) {
            const auto c1 = static_cast<unsigned char>(text[i + 1]);
            const auto c2 = static_cast<unsigned char>(text[i + 2]);
            if ((c == 0xED && c1 >= 0xA0) || (c == 0xEF && c1 == 0xBF && c2 >= 0xBE)) {
                return i;
            }
        }
    }
    return std::string::npos;
}

std::string textAt(const pt::ptree& tree, const char* path) {
    std::string text = tree.get<std::string>(path);
    const std::size_t bad = forbiddenCharacter(text);
    if (bad != std::string::npos) {
        char code[8];
        std::snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned char>(text[bad]));
        throw pt::ptree_bad_data(
            std::string(path) + " holds a character XML cannot represent (" + code + ")", text);
    }
    return text;
}

void readCalibration(const pt::ptree& table, std::map<float, float>& into) {
    for (const auto& child : table) {
        // An absent or non-numeric attribute counts as 0; the last duplicate key wins.
        const float value = child.second.get<float>("<xmlattr>.value", 0.0f);
        const float key = child.second.get<float>("<xmlattr>.key", 0.0f);
        into[key] = value;
    }
}

// Same rule as the tree's own translator (spaces around the digits allowed,
// nothing else), done here to keep the compiler's uninitialised-optional
// false positive out of the build.
int32_t parseInt32(const pt::ptree& tree, const char* path) {
    const std::string text = tree.get<std::string>(path);
    std::istringstream in(text);
    in.imbue(std::locale());
    int32_t value = 0;
    in >> value;
    if (!in.fail() && !in.eof()) {
        in >> std::ws;
    }
    if (in.fail() || in.bad() || in.get() != std::char_traits<char>::eof()) {
        throw pt::ptree_bad_data(
            std::string("conversion of data to type \"int\" failed (") + path + ")", text);
    }
    return value;
}

std::string formatFloat(float v) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(9);
    out << v;
    return out.str();
}

// The fields a file holds, read as a start-up reads them. The range is
// optional; each end that is missing or unreadable stays unset.
struct FileFields {
    int32_t spo2Scale = 0;
    std::string serialId;
    std::string ipAddress;
    boost::optional<std::string> ipRangeStart;
    boost::optional<std::string> ipRangeEnd;
    std::map<float, float> co2Calibration;
    std::map<float, float> spo2Calibration;
};

boost::optional<std::string> optionalTextAt(const pt::ptree& tree, const char* path) {
    try {
        return textAt(tree, path);
    } catch (const std::exception&) {
        return boost::none;
    }
}

FileFields readFields(const pt::ptree& tree) {
    FileFields fields;
    fields.spo2Scale = parseInt32(tree, "MonitorRelay.SPO2Scale");
    fields.serialId = textAt(tree, "MonitorRelay.SerialID");
    fields.ipAddress = textAt(tree, "MonitorRelay.IPAddress");
    readCalibration(tree.get_child("MonitorRelay.SPO2Calibration"), fields.spo2Calibration);
    readCalibration(tree.get_child("MonitorRelay.CO2Calibration"), fields.co2Calibration);
    fields.ipRangeStart = optionalTextAt(tree, "MonitorRelay.IPRangeStart");
    fields.ipRangeEnd = optionalTextAt(tree, "MonitorRelay.IPRangeEnd");
    return fields;
}

// The element `name` of the root written anew, in the place and with the
// indentation (and line ends) of the element it replaces.
std::string elementText(const std::string& text, const config_xml::Span& at,
                        const std::string& name, const std::map<float, float>& table) {
    const std::size_t lineStart =
        at.begin == 0 ? std::string::npos : text.rfind('\n', at.begin - 1);
    const std::size_t from = lineStart == std::string::npos ? 0 : lineStart + 1;
    const std::string indent = text.substr(from, at.begin - from);
    const bool ownLine =
        lineStart != std::string::npos && indent.find_first_not_of(" \t") == std::string::npos;
    const std::string eol =
        lineStart > 0 && lineStart != std::string::npos && text[lineStart - 1] == '\r' ? "\r\n"
                                                                                       : "\n";
    std::string out = "<" + name + ">";
    for (const auto& point : table) {
        if (ownLine) {
            out += eol + indent + "    ";
        }
        out += "<Entry key=\"" + formatFloat(point.first) + "\" value=\"" +
               formatFloat(point.second) + "\"/>";
    }
    if (ownLine) {
        out += eol + indent;
    }
    return out + "</" + name + ">";
}

// The text on disk with only the SpO2 scale and the two tables replaced by the
// record's: whatever else an administrator wrote stays byte for byte.
std::string withRecordTables(const std::string& text, const config_xml::Layout& layout,
                             const Configuration& record) {
    struct Replacement {
        config_xml::Span span;
        std::string with;
    };
    std::vector<Replacement> replacements;
    for (const char* name : {"SPO2Scale", "CO2Calibration", "SPO2Calibration"}) {
        const auto found = layout.rootChildren.find(name);
        if (found == layout.rootChildren.end() || found->second.end <= found->second.begin) {
            throw std::runtime_error(std::string("cannot find MonitorRelay.") + name + " in " +
                                     record.filePath);
        }
        std::string with;
        if (std::strcmp(name, "SPO2Scale") == 0) {
            with = "<SPO2Scale>" + std::to_string(record.spo2Scale) + "</SPO2Scale>";
        } else {
            with = elementText(text, found->second, name,
                               name[0] == 'C' ? record.co2Calibration : record.spo2Calibration);
        }
        replacements.push_back({found->second, with});
    }
    // From the end, so that earlier offsets stay valid.
    std::sort(
        replacements.begin(), replacements.end(),
        [](const Replacement& a, const Replacement& b) { return a.span.begin > b.span.begin; });
    std::string out = text;
    for (const Replacement& r : replacements) {
        out.replace(r.span.begin, r.span.end - r.span.begin, r.with);
    }
    return out;
}

// Reads the new text back as a start-up would and names the first field that
// would come back different, so that a save never leaves a file the bridge
// cannot read or reads otherwise.
void checkReadsBack(const FileFields& expected, const std::string& text, const std::string& path) {
    const std::string kept = "; " + path + " is left as it was";
    FileFields back;
    try {
        back = readFields(parseDocument(text, path).tree);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("the new text would not read back (") + e.what() +
                                 ")" + kept);
    }
    const char* differs = nullptr;
    if (back.spo2Scale != expected.spo2Scale) {
        differs = "SPO2Scale";
    } else if (back.serialId != expected.serialId) {
        differs = "SerialID";
    } else if (back.ipAddress != expected.ipAddress) {
        differs = "IPAddress";
    } else if (back.ipRangeStart != expected.ipRangeStart) {
        differs = "IPRangeStart";
    } else if (back.ipRangeEnd != expected.ipRangeEnd) {
        differs = "IPRangeEnd";
    } else if (back.spo2Calibration != expected.spo2Calibration || back.spo2Calibration.empty()) {
        differs = "SPO2Calibration";
    } else if (back.co2Calibration != expected.co2Calibration || back.co2Calibration.empty()) {
        differs = "CO2Calibration";
    }
    if (differs != nullptr) {
        throw std::runtime_error(std::string("the new text would not read back the same ") +
                                 differs + kept);
    }
}

// The Metrics element into `into`; throws with the reason when an attribute is
// wrong. Both attributes are optional: the defaults serve this host only.
void readMetrics(const pt::ptree& tree, Configuration& into) {
    into.metricsEnabled = false;
    const auto element = tree.get_child_optional("MonitorRelay.Metrics");
    if (!element) {
        return;
    }
    std::string address = element->get<std::string>("<xmlattr>.address", "127.0.0.1");
    unsigned char bytes[sizeof(in6_addr)];
    if (::inet_pton(AF_INET, address.c_str(), bytes) != 1 &&
        ::inet_pton(AF_INET6, address.c_str(), bytes) != 1) {
        throw std::runtime_error("MonitorRelay.Metrics: \"" + address + "\" is not an IP address");
    }
    const std::string port = element->get<std::string>("<xmlattr>.port", "9743");
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || errno != 0 || value < 1 || value > 65535 ||
        !std::isdigit(static_cast<unsigned char>(port[0]))) {
        throw std::runtime_error("MonitorRelay.Metrics: \"" + port + "\" is not a port (1-65535)");
    }
    into.metricsAddress = address;
    into.metricsPort = static_cast<std::uint16_t>(value);
    into.metricsEnabled = true;
}

}  // namespace

bool readMetricsSetting(const std::string& path, Configuration& into, std::string& error) {
    try {
        readMetrics(parseDocument(readWholeFile(path), path).tree, into);
        return true;
    } catch (const std::exception& e) {
        into.metricsEnabled = false;
        error = e.what();
        return false;
    }
}

Configuration::Configuration(const char* path) : filePath(path ? path : "") {}

bool Configuration::readConfiguration(bool removeSaveLeftovers) {
    std::cout << "MR>Reading configuration file: " << filePath << std::endl;
    if (removeSaveLeftovers) {
        try {
            config_io::removeSaveLeftovers(config_io::resolveLinks(filePath));
        } catch (const std::exception&) {
            // A link the save would refuse: the save says so when it comes.
        }
    }
    try {
        const pt::ptree tree = parseDocument(readWholeFile(filePath), filePath).tree;
        spo2Scale = parseInt32(tree, "MonitorRelay.SPO2Scale");
        serialId = textAt(tree, "MonitorRelay.SerialID");
        ipAddress = textAt(tree, "MonitorRelay.IPAddress");

        readCalibration(tree.get_child("MonitorRelay.SPO2Calibration"), spo2Calibration);
        if (spo2Calibration.empty()) {
            std::cerr << "MR>ERROR>Missing \"MonitorRelay.SPO2Calibration\" into configuration XML"
                      << std::endl;
            return false;
        }
        readCalibration(tree.get_child("MonitorRelay.CO2Calibration"), co2Calibration);
        if (co2Calibration.empty()) {
            std::cerr << "MR>ERROR>Missing \"MonitorRelay.CO2Calibration\" into configuration XML"
                      << std::endl;
            return false;
        }

        try {
            ipRangeStart = textAt(tree, "MonitorRelay.IPRangeStart");
            ipRangeEnd = textAt(tree, "MonitorRelay.IPRangeEnd");
        } catch (const std::exception& e) {
            std::cerr << "MR>ERROR>" << e.what() << std::endl;
            std::cerr << "Unable to read \"IPRangeStart or IPRangeEnd\" from the configuration "
                         "file. Ignoring."
                      << std::endl;
        }
        try {
            readMetrics(tree, *this);
        } catch (const std::exception&) {
            // Said once where the endpoint is started and by --check; the
            // bridge itself runs without it.
        }
    } catch (const std::exception& e) {
        std::cerr << "MR>ERROR>" << e.what() << std::endl;
        std::cerr << "Unable to read the configuration file" << std::endl;
        return false;
    }
    std::cout << "MR>Configuration file read succesfully." << std::endl;
    return true;
}

bool Configuration::writeConfiguration() {
    try {
        const std::string target = config_io::resolveLinks(filePath);
        config_io::checkWritable(target);
        config_io::removeSaveLeftovers(target);

        // The file as it is now: an administrator may have edited it since
        // start-up, and only the calibration is ours to write.
        const std::string onDisk = readWholeFile(target);
        const Document document = parseDocument(onDisk, filePath);
        FileFields expected = readFields(document.tree);
        const std::string text = withRecordTables(onDisk, document.layout, *this);
        expected.spo2Scale = spo2Scale;
        expected.co2Calibration = co2Calibration;
        expected.spo2Calibration = spo2Calibration;
        checkReadsBack(expected, text, filePath);

        const std::string backup = config_io::makeBackup(target, onDisk);
        try {
            config_io::replaceFileAtomically(target, text);
        } catch (...) {
            // The file is as it was: its copy would only mislead.
            ::unlink(backup.c_str());
            throw;
        }
    } catch (const std::exception& e) {
        std::cerr << "MR>ERROR>" << e.what() << std::endl;
        std::cerr << "Unable to save the configuration file" << std::endl;
        return false;
    }
    std::cout << "MR>Configuration file has been written at: " << filePath << std::endl;
    std::cout << filePath << std::endl;
    return true;
}
