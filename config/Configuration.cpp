#include "config/Configuration.h"

#include "config/ConfigFileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <locale>
#include <sstream>
#include <system_error>

namespace pt = boost::property_tree;

namespace {

// Real files are one or two kilobytes and three elements deep. The limits keep
// a damaged or hostile file from exhausting memory or the reader's stack.
constexpr std::size_t kMaxFileSize = 1024 * 1024;
constexpr int kMaxNesting = 100;

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

// Refuses a document whose elements nest deeper than kMaxNesting, before the
// recursive reader sees it. Counts conservatively: comments, CDATA sections,
// processing instructions and declarations are skipped as the reader skips
// them, quoted attribute values may hold ">".
void checkNesting(const std::string& text, const std::string& path) {
    int depth = 0;
    std::size_t i = 0;
    const auto skipPast = [&](const char* end, std::size_t from) {
        const std::size_t at = text.find(end, from);
        return at == std::string::npos ? text.size() : at + std::strlen(end);
    };
    while ((i = text.find('<', i)) != std::string::npos) {
        if (text.compare(i, 4, "<!--") == 0) {
            i = skipPast("-->", i + 4);
        } else if (text.compare(i, 9, "<![CDATA[") == 0) {
            i = skipPast("]]>", i + 9);
        } else if (text.compare(i, 2, "<?") == 0) {
            i = skipPast("?>", i + 2);
        } else if (text.compare(i, 9, "<!DOCTYPE") == 0 && i + 9 < text.size() &&
                   std::isspace(static_cast<unsigned char>(text[i + 9]))) {
            // A document type declaration may hold bracketed "<...>" parts.
            int brackets = 0;
            for (i += 9; i < text.size(); ++i) {
                const char c = text[i];
                if (c == '[') {
                    ++brackets;
                } else if (c == ']') {
                    --brackets;
                } else if (c == '>' && brackets <= 0) {
                    break;
                }
            }
            ++i;
        } else if (text.compare(i, 2, "<!") == 0) {
            i = skipPast(">", i + 2);  // any other declaration ends at its first ">"
        } else if (text.compare(i, 2, "</") == 0) {
            depth = depth > 0 ? depth - 1 : 0;
            i = skipPast(">", i + 2);
        } else {
            char quote = 0;
            std::size_t j = i + 1;
            for (; j < text.size(); ++j) {
                const char c = text[j];
                if (quote != 0) {
                    quote = c == quote ? 0 : quote;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
            }
            if (j >= text.size()) {
                return;  // unterminated: the reader stops there with its own error
            }
            if (text[j - 1] != '/' && ++depth > kMaxNesting) {
                throw pt::xml_parser_error(
                    "elements nested deeper than " + std::to_string(kMaxNesting) + " levels", path,
                    static_cast<unsigned long>(std::count(text.begin(), text.begin() + i, '\n') +
                                               1));
            }
            i = j + 1;
        }
    }
}

pt::ptree parseDocument(const std::string& text, const std::string& path) {
    checkNesting(text, path);
    std::istringstream in(text);
    in.imbue(std::locale());
    pt::ptree tree;
    try {
        pt::read_xml(in, tree, 0);
    } catch (const pt::xml_parser_error& e) {
        throw pt::xml_parser_error(e.message(), path, e.line());
    }
    return tree;
}

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

pt::ptree calibrationTree(const std::map<float, float>& table) {
    pt::ptree tree;
    for (const auto& point : table) {
        pt::ptree entry;
        entry.put("<xmlattr>.key", formatFloat(point.first));
        entry.put("<xmlattr>.value", formatFloat(point.second));
        tree.add_child("Entry", entry);
    }
    return tree;
}

// Reads the written text back as a start-up would and names the first field
// that would come back different, so that a save never leaves a file the
// bridge cannot read or reads otherwise.
void checkReadsBack(const Configuration& record, const std::string& text) {
    const std::string kept = "; " + record.filePath + " is left as it was";
    Configuration back(record.filePath.c_str());
    try {
        const pt::ptree tree = parseDocument(text, record.filePath);
        back.spo2Scale = parseInt32(tree, "MonitorRelay.SPO2Scale");
        back.serialId = textAt(tree, "MonitorRelay.SerialID");
        back.ipAddress = textAt(tree, "MonitorRelay.IPAddress");
        back.ipRangeStart = textAt(tree, "MonitorRelay.IPRangeStart");
        back.ipRangeEnd = textAt(tree, "MonitorRelay.IPRangeEnd");
        readCalibration(tree.get_child("MonitorRelay.SPO2Calibration"), back.spo2Calibration);
        readCalibration(tree.get_child("MonitorRelay.CO2Calibration"), back.co2Calibration);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("the new text would not read back (") + e.what() +
                                 ")" + kept);
    }
    const char* differs = nullptr;
    if (back.spo2Scale != record.spo2Scale) {
        differs = "SPO2Scale";
    } else if (back.serialId != record.serialId) {
        differs = "SerialID";
    } else if (back.ipAddress != record.ipAddress) {
        differs = "IPAddress";
    } else if (back.ipRangeStart != record.ipRangeStart) {
        differs = "IPRangeStart";
    } else if (back.ipRangeEnd != record.ipRangeEnd) {
        differs = "IPRangeEnd";
    } else if (back.spo2Calibration != record.spo2Calibration || back.spo2Calibration.empty()) {
        differs = "SPO2Calibration";
    } else if (back.co2Calibration != record.co2Calibration || back.co2Calibration.empty()) {
        differs = "CO2Calibration";
    }
    if (differs != nullptr) {
        throw std::runtime_error(std::string("the new text would not read back the same ") +
                                 differs + kept);
    }
}

}  // namespace

Configuration::Configuration(const char* path) : filePath(path ? path : "") {}

bool Configuration::readConfiguration() {
    std::cout << "MR>Reading configuration file: " << filePath << std::endl;
    try {
        const pt::ptree tree = parseDocument(readWholeFile(filePath), filePath);
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
                      << std::flush;
        }
    } catch (const std::exception& e) {
        std::cerr << "MR>ERROR>" << e.what() << std::endl;
        std::cerr << "Unable to read the configuration file" << std::flush;
        return false;
    }
    std::cout << "MR>Configuration file read succesfully." << std::endl;
    return true;
}

bool Configuration::writeConfiguration() {
    try {
        const std::string target = config_io::resolveLinks(filePath);
        config_io::checkWritable(target);

        pt::ptree tree;
        tree.put("MonitorRelay.IPAddress", ipAddress);
        tree.put("MonitorRelay.IPRangeStart", ipRangeStart);
        tree.put("MonitorRelay.IPRangeEnd", ipRangeEnd);
        tree.put("MonitorRelay.SerialID", serialId);
        tree.put("MonitorRelay.SPO2Scale", spo2Scale);
        tree.add_child("MonitorRelay.CO2Calibration", calibrationTree(co2Calibration));
        tree.add_child("MonitorRelay.SPO2Calibration", calibrationTree(spo2Calibration));

        std::ostringstream text;
        pt::write_xml(text, tree, pt::xml_writer_make_settings<std::string>(' ', 4, "utf-8"));
        if (!text) {
            throw std::runtime_error("cannot format the configuration");
        }
        checkReadsBack(*this, text.str());

        config_io::copyToBackup(target, config_io::backupName(filePath));
        config_io::replaceFileAtomically(target, text.str());
    } catch (const std::exception& e) {
        std::cerr << "MR>ERROR>" << e.what() << std::endl;
        std::cerr << "Unable to save the configuration file" << std::flush;
        return false;
    }
    std::cout << "MR>Configuration file has been written at: " << filePath << std::endl;
    std::cout << filePath << std::endl;
    return true;
}
