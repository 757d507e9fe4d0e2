// The technician's check of a configuration file before starting the bridge.
#include "config/ConfigCheck.h"

#include <arpa/inet.h>

#include <boost/property_tree/ptree.hpp>
#include <cstdint>
#include <iostream>
#include <locale>
#include <set>
#include <sstream>
#include <string>

#include "config/ConfigDocument.h"
#include "config/Configuration.h"

namespace pt = boost::property_tree;

namespace {

const char kComment[] = "<xmlcomment>";
const char kAttributes[] = "<xmlattr>";

// As the file writes it: 97, not 97.000000.
std::string number(float value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(9);
    out << value;
    return out.str();
}

void warn(const std::string& text) {
    std::cerr << "MR>WARNING>" << text << std::endl;
}

// Attributes of `node` (at `where`) other than `known`.
void warnUnknownAttributes(const pt::ptree& node, const std::string& where,
                           const std::set<std::string>& known = {}) {
    const auto attributes = node.get_child_optional(kAttributes);
    if (!attributes) {
        return;
    }
    for (const auto& attribute : *attributes) {
        if (known.count(attribute.first) == 0) {
            warn("unknown attribute \"" + attribute.first + "\" in " + where);
        }
    }
}

// Elements inside `node` (at `where`): none is expected.
void warnUnknownChildren(const pt::ptree& node, const std::string& where) {
    for (const auto& child : node) {
        if (child.first != kComment && child.first != kAttributes) {
            warn("unknown element \"" + child.first + "\" in " + where);
        }
    }
}

// Every child of a table is read as a point, so anything but a complete
// Entry is most likely a mistake that silently adds or changes a point.
void checkTable(const pt::ptree& table, const std::string& where) {
    warnUnknownAttributes(table, where);
    bool first = true;
    float previous = 0.0f;
    int index = 0;
    for (const auto& child : table) {
        if (child.first == kAttributes) {
            continue;
        }
        ++index;
        const std::string at = where + " (child " + std::to_string(index) + ")";
        if (child.first == kComment) {
            warn("a comment in " + at + " counts as the calibration point 0 -> 0");
        } else if (child.first != "Entry") {
            warn("unknown element \"" + child.first + "\" in " + at +
                 " is read as a calibration point");
        }
        warnUnknownAttributes(child.second, at, {"key", "value"});
        warnUnknownChildren(child.second, at);
        // A comment has neither attribute; that it counts as 0 -> 0 is said above.
        for (const char* name : {"key", "value"}) {
            const std::string path = std::string(kAttributes) + "." + name;
            if (child.first == kComment) {
                break;
            } else if (!child.second.get_child_optional(path)) {
                warn("no " + std::string(name) + " attribute in " + at + ": read as 0");
            } else if (!child.second.get_optional<float>(path)) {
                warn("the " + std::string(name) + " \"" + child.second.get<std::string>(path) +
                     "\" in " + at + " is not a number: read as 0");
            }
        }
        const float key = child.second.get<float>(std::string(kAttributes) + ".key", 0.0f);
        if (!first && !(key > previous)) {
            warn(where + " is not increasing: the key " + number(key) + " of child " +
                 std::to_string(index) + " follows " + number(previous));
        }
        first = false;
        previous = key;
    }
}

void warnAboutUnknownContent(const pt::ptree& document) {
    bool rootSeen = false;
    for (const auto& top : document) {
        if (top.first == kComment) {
            continue;
        }
        if (top.first != "MonitorRelay" || rootSeen) {
            warn("element \"" + top.first + "\" outside the first MonitorRelay is ignored");
            continue;
        }
        rootSeen = true;
        warnUnknownAttributes(top.second, "MonitorRelay");
        std::set<std::string> seen;
        for (const auto& child : top.second) {
            const std::string& name = child.first;
            if (name == kComment || name == kAttributes) {
                continue;
            }
            const std::string where = "MonitorRelay." + name;
            if (!seen.insert(name).second) {
                warn("a second " + where + " is ignored");
            } else if (name == "CO2Calibration" || name == "SPO2Calibration") {
                checkTable(child.second, where);
            } else if (name == "Metrics") {
                warnUnknownAttributes(child.second, where, {"address", "port"});
                warnUnknownChildren(child.second, where);
            } else if (name == "IPAddress" || name == "IPRangeStart" || name == "IPRangeEnd" ||
                       name == "SerialID" || name == "SPO2Scale") {
                warnUnknownAttributes(child.second, where);
                warnUnknownChildren(child.second, where);
            } else {
                warn("unknown element \"" + name + "\" in MonitorRelay");
            }
        }
    }
}

bool parseIpv4(const std::string& text, std::uint32_t& value) {
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
        return false;
    }
    value = ntohl(address.s_addr);
    return true;
}

}  // namespace

int checkConfigurationFile(const std::string& path) {
    Configuration configuration(path.c_str());
    // Reading only: the leftovers of a save are the bridge's to remove.
    if (!configuration.readConfiguration(false)) {
        return 1;
    }
    try {
        warnAboutUnknownContent(
            config_xml::parseDocument(config_xml::readWholeFile(path), path).tree);
    } catch (const std::exception& e) {
        // Read a moment ago; changed since.
        std::cerr << "MR>ERROR>" << e.what() << std::endl;
        return 1;
    }

    const Configuration& c = configuration;
    if (!c.ipAddress.empty()) {
        std::cout << "MR>Unit address: " << c.ipAddress << std::endl;
    } else if (!c.ipRangeStart.empty() && !c.ipRangeEnd.empty()) {
        std::cout << "MR>Unit address range: " << c.ipRangeStart << " to " << c.ipRangeEnd
                  << std::endl;
    } else {
        std::cout << "MR>Unit address: broadcast" << std::endl;
    }
    std::cout << "MR>Unit serial: " << (c.serialId.empty() ? "first unit" : c.serialId)
              << std::endl;
    std::cout << "MR>SpO2 scale: " << c.spo2Scale << std::endl;
    std::cout << "MR>SpO2 calibration points: " << c.spo2Calibration.size() << std::endl;
    std::cout << "MR>CO2 calibration points: " << c.co2Calibration.size() << std::endl;
    {
        Configuration metrics(path.c_str());
        std::string error;
        // The bridge starts without its endpoint then: a warning, not a failure.
        if (!readMetricsSetting(path, metrics, error)) {
            warn(error + ": the bridge runs without its metrics endpoint");
        }
        // Said only when the element is there: without it the check reads as before.
        if (metrics.metricsEnabled) {
            const bool v6 = metrics.metricsAddress.find(':') != std::string::npos;
            std::cout << "MR>Metrics endpoint: http://" << (v6 ? "[" : "") << metrics.metricsAddress
                      << (v6 ? "]" : "") << ":" << metrics.metricsPort << "/metrics" << std::endl;
        }
    }

    // The unit search parses the range and ends the bridge on a wrong one.
    if (c.ipAddress.empty() && !c.ipRangeStart.empty() && !c.ipRangeEnd.empty()) {
        std::uint32_t first = 0;
        std::uint32_t last = 0;
        for (const std::string* end : {&c.ipRangeStart, &c.ipRangeEnd}) {
            if (!parseIpv4(*end, end == &c.ipRangeStart ? first : last)) {
                std::cerr << "MR>ERROR>\"" << *end << "\" is not an IPv4 address" << std::endl;
                return 1;
            }
        }
        if (first >= last) {
            std::cerr
                << "MR>ERROR>IPRangeStart is not below IPRangeEnd: the unit search would stop "
                   "the bridge"
                << std::endl;
            return 1;
        }
    }
    return 0;
}
