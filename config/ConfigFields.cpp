#include "config/ConfigFields.h"

#include <arpa/inet.h>

#include <boost/property_tree/ptree.hpp>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <ostream>
#include <sstream>
#include <type_traits>

namespace pt = boost::property_tree;

namespace config_fields {

namespace {

using Table = std::map<float, float>;

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

// Text taken exactly, surrounding spaces and line breaks included.
void readValue(const pt::ptree& tree, const std::string& path, std::string& into) {
    std::string text = tree.get<std::string>(path);
    const std::size_t bad = forbiddenCharacter(text);
    if (bad != std::string::npos) {
        char code[8];
        std::snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned char>(text[bad]));
        throw pt::ptree_bad_data(path + " holds a character XML cannot represent (" + code + ")",
                                 text);
    }
    into = text;
}

// Same rule as the tree's own translator (spaces around the digits allowed,
// nothing else), done here to keep the compiler's uninitialised-optional
// false positive out of the build.
void readValue(const pt::ptree& tree, const std::string& path, std::int32_t& into) {
    const std::string text = tree.get<std::string>(path);
    std::istringstream in(text);
    in.imbue(std::locale());
    std::int32_t value = 0;
    in >> value;
    if (!in.fail() && !in.eof()) {
        in >> std::ws;
    }
    if (in.fail() || in.bad() || in.get() != std::char_traits<char>::eof()) {
        throw pt::ptree_bad_data("conversion of data to type \"int\" failed (" + path + ")", text);
    }
    into = value;
}

// Every child is a point, merged into what the table holds.
void readValue(const pt::ptree& tree, const std::string& path, Table& into) {
    for (const auto& child : tree.get_child(path)) {
        // An absent or non-numeric attribute counts as 0; the last duplicate key wins.
        const float value = child.second.get<float>("<xmlattr>.value", 0.0f);
        const float key = child.second.get<float>("<xmlattr>.key", 0.0f);
        into[key] = value;
    }
}

std::string element(const std::string& name, std::int32_t value, const Place&) {
    return "<" + name + ">" + std::to_string(value) + "</" + name + ">";
}

std::string element(const std::string& name, const Table& table, const Place& at) {
    std::string out = "<" + name + ">";
    for (const auto& point : table) {
        if (at.ownLine) {
            out += at.eol + at.indent + "    ";
        }
        out += "<Entry key=\"" + formatFloat(point.first) + "\" value=\"" +
               formatFloat(point.second) + "\"/>";
    }
    if (at.ownLine) {
        out += at.eol + at.indent;
    }
    return out + "</" + name + ">";
}

void put(std::ostream& out, const std::string& text) {
    out << '[' << text << ']';
}
void put(std::ostream& out, const Table& table) {
    for (const auto& point : table) {
        out << formatFloat(point.first) << ':' << formatFloat(point.second) << ';';
    }
}
template <typename Number>
void put(std::ostream& out, Number value) {
    out << +value;
}

template <auto member>
void read(const pt::ptree& tree, const std::string& path, Configuration& into) {
    readValue(tree, path, into.*member);
}
template <auto... members>
bool same(const Configuration& a, const Configuration& b) {
    return ((a.*members == b.*members) && ...);
}
template <auto... members>
void print(std::ostream& out, const Configuration& c) {
    ((put(out, c.*members), out << ' '), ...);
}
template <auto member>
bool isEmpty(const Configuration& c) {
    return (c.*member).empty();
}
template <auto member>
std::string write(const Configuration& c, const std::string& name, const Place& at) {
    return element(name, c.*member, at);
}
template <auto member>
void take(Configuration& to, const Configuration& from) {
    to.*member = from.*member;
}

constexpr bool kSaved = true;

// A row for one member, read and written by its type.
template <auto member, bool saved = false>
Field field(const char* name, Need need) {
    Field row;
    row.name = name;
    row.need = need;
    row.read = read<member>;
    row.same = same<member>;
    row.print = print<member>;
    using Value = std::decay_t<decltype(std::declval<Configuration&>().*member)>;
    if constexpr (std::is_same_v<Value, Table>) {
        row.table = true;
        row.empty = isEmpty<member>;
    }
    if constexpr (saved) {
        row.write = write<member>;
        row.take = take<member>;
    }
    return row;
}

// The optional <Metrics address=".." port=".."/> element; throws with the
// reason when an attribute is wrong. Both attributes are optional: the
// defaults serve this host only.
void readMetrics(const pt::ptree& tree, const std::string& path, Configuration& into) {
    into.metricsEnabled = false;
    const auto element = tree.get_child_optional(path);
    if (!element) {
        return;
    }
    std::string address = element->get<std::string>("<xmlattr>.address", "127.0.0.1");
    unsigned char bytes[sizeof(in6_addr)];
    if (::inet_pton(AF_INET, address.c_str(), bytes) != 1 &&
        ::inet_pton(AF_INET6, address.c_str(), bytes) != 1) {
        throw std::runtime_error(path + ": \"" + address + "\" is not an IP address");
    }
    const std::string port = element->get<std::string>("<xmlattr>.port", "9743");
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(port.c_str(), &end, 10);
    if (port.empty() || *end != '\0' || errno != 0 || value < 1 || value > 65535 ||
        !std::isdigit(static_cast<unsigned char>(port[0]))) {
        throw std::runtime_error(path + ": \"" + port + "\" is not a port (1-65535)");
    }
    into.metricsAddress = address;
    into.metricsPort = static_cast<std::uint16_t>(value);
    into.metricsEnabled = true;
}

Field metrics() {
    Field row;
    row.name = "Metrics";
    row.need = Need::optional;
    row.attributes = {"address", "port"};
    row.read = readMetrics;
    using C = Configuration;
    row.same = same<&C::metricsEnabled, &C::metricsAddress, &C::metricsPort>;
    row.print = print<&C::metricsEnabled, &C::metricsAddress, &C::metricsPort>;
    return row;
}

// The lines of --check's listing.
void showAddress(std::ostream& out, const Configuration& c) {
    if (!c.ipAddress.empty()) {
        out << "MR>Unit address: " << c.ipAddress << std::endl;
    } else if (!c.ipRangeStart.empty() && !c.ipRangeEnd.empty()) {
        out << "MR>Unit address range: " << c.ipRangeStart << " to " << c.ipRangeEnd << std::endl;
    } else {
        out << "MR>Unit address: broadcast" << std::endl;
    }
}
void showSerial(std::ostream& out, const Configuration& c) {
    out << "MR>Unit serial: " << (c.serialId.empty() ? "first unit" : c.serialId) << std::endl;
}
void showScale(std::ostream& out, const Configuration& c) {
    out << "MR>SpO2 scale: " << c.spo2Scale << std::endl;
}
void showSpo2Points(std::ostream& out, const Configuration& c) {
    out << "MR>SpO2 calibration points: " << c.spo2Calibration.size() << std::endl;
}
void showCo2Points(std::ostream& out, const Configuration& c) {
    out << "MR>CO2 calibration points: " << c.co2Calibration.size() << std::endl;
}
// Only when the element is there: without it the listing reads as before.
void showMetrics(std::ostream& out, const Configuration& c) {
    if (c.metricsEnabled) {
        const bool v6 = c.metricsAddress.find(':') != std::string::npos;
        out << "MR>Metrics endpoint: http://" << (v6 ? "[" : "") << c.metricsAddress
            << (v6 ? "]" : "") << ":" << c.metricsPort << "/metrics" << std::endl;
    }
}

// The range is used only when both ends are there, so they are read as one.
constexpr char kRange[] = "IPRangeStart or IPRangeEnd";

std::vector<Field> makeFields() {
    using C = Configuration;
    return {
        field<&C::spo2Scale, kSaved>("SPO2Scale", Need::required).shown(3, showScale),
        field<&C::serialId>("SerialID", Need::required).shown(2, showSerial),
        field<&C::ipAddress>("IPAddress", Need::required).shown(1, showAddress),
        field<&C::spo2Calibration, kSaved>("SPO2Calibration", Need::points)
            .shown(4, showSpo2Points),
        field<&C::co2Calibration, kSaved>("CO2Calibration", Need::points).shown(5, showCo2Points),
        field<&C::ipRangeStart>("IPRangeStart", Need::optional).unreadableAs(kRange),
        field<&C::ipRangeEnd>("IPRangeEnd", Need::optional).unreadableAs(kRange),
        metrics().missing("the bridge runs without its metrics endpoint").shown(6, showMetrics),
    };
}

}  // namespace

Field Field::shown(int at, void (*line)(std::ostream&, const Configuration&)) const {
    Field row = *this;
    row.shownAt = at;
    row.show = line;
    return row;
}

Field Field::missing(const char* what) const {
    Field row = *this;
    row.without = what;
    return row;
}

Field Field::unreadableAs(const char* words) const {
    Field row = *this;
    row.unreadable = words;
    return row;
}

const std::vector<Field>& fields() {
    static const std::vector<Field> rows = makeFields();
    return rows;
}

const Field* find(const std::string& name) {
    for (const Field& row : fields()) {
        if (name == row.name) {
            return &row;
        }
    }
    return nullptr;
}

std::string formatFloat(float value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(9);
    out << value;
    return out.str();
}

}  // namespace config_fields
