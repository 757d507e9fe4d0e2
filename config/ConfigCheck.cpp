// The technician's check of a configuration file before starting the bridge.
#include "config/ConfigCheck.h"

#include <arpa/inet.h>

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <cstdint>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "config/ConfigDocument.h"
#include "config/ConfigFields.h"
#include "config/Configuration.h"

namespace pt = boost::property_tree;

namespace {

const char kComment[] = "<xmlcomment>";
const char kAttributes[] = "<xmlattr>";

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
            warn(where + " is not increasing: the key " + config_fields::formatFloat(key) +
                 " of child " + std::to_string(index) + " follows " +
                 config_fields::formatFloat(previous));
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
            const config_fields::Field* row = config_fields::find(name);
            if (!seen.insert(name).second) {
                warn("a second " + where + " is ignored");
            } else if (row == nullptr) {
                warn("unknown element \"" + name + "\" in MonitorRelay");
            } else if (row->table) {
                checkTable(child.second, where);
            } else {
                warnUnknownAttributes(child.second, where,
                                      {row->attributes.begin(), row->attributes.end()});
                warnUnknownChildren(child.second, where);
            }
        }
    }
}

// The settings in effect, one row's lines after another. A setting the bridge
// reads without a word when it is wrong gets a warning here: it starts
// without it.
void showSettings(const Configuration& c, const pt::ptree& document) {
    std::vector<const config_fields::Field*> rows;
    for (const config_fields::Field& row : config_fields::fields()) {
        rows.push_back(&row);
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const auto* a, const auto* b) { return a->shownAt < b->shownAt; });
    for (const config_fields::Field* row : rows) {
        if (row->need == config_fields::Need::optional && row->unreadable == nullptr) {
            try {
                Configuration scratch(c.filePath.c_str());
                row->read(document, row->path(), scratch);
            } catch (const std::exception& e) {
                warn(std::string(e.what()) +
                     (row->without ? std::string(": ") + row->without : ""));
            }
        }
        if (row->show != nullptr) {
            row->show(std::cout, c);
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
    pt::ptree document;
    try {
        document = config_xml::parseDocument(config_xml::readWholeFile(path), path).tree;
    } catch (const std::exception& e) {
        // Read a moment ago; changed since.
        std::cerr << "MR>ERROR>" << e.what() << std::endl;
        return 1;
    }
    warnAboutUnknownContent(document);
    showSettings(configuration, document);

    const Configuration& c = configuration;
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
