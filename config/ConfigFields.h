#pragma once

#include <boost/property_tree/ptree_fwd.hpp>
#include <iosfwd>
#include <string>
#include <vector>

#include "config/Configuration.h"

// The configuration's fields, one row each: reading, the save, the read-back
// check, comparing and printing records, and --check all walk this list.
namespace config_fields {

constexpr char kRoot[] = "MonitorRelay";

enum class Need {
    required,  // a file without it does not read
    points,    // required, and its table must hold a point after the read
    optional,  // the bridge starts without it
};

// Where a save writes an element: in the place of the one it replaces, on
// that line's indentation and with its line ends.
struct Place {
    std::string indent;
    std::string eol;
    bool ownLine = false;
};

struct Field {
    using Tree = boost::property_tree::ptree;

    const char* name = "";  // the element inside the root
    Need need = Need::required;
    // An optional row that cannot be read is said on the console with these
    // words ("Unable to read \"...\""); the rows in a run with the same words
    // are read as one. Without them it is read without a word, and --check
    // warns that the bridge goes `without` it.
    const char* unreadable = nullptr;
    const char* without = nullptr;
    std::vector<std::string> attributes;  // the ones --check expects
    bool table = false;                   // children are calibration points

    // Reads the value at `path` into the record; throws when it is absent or
    // wrong (an optional element that may be absent does not).
    void (*read)(const Tree& document, const std::string& path, Configuration& into) = nullptr;
    bool (*same)(const Configuration& a, const Configuration& b) = nullptr;
    bool (*empty)(const Configuration& c) = nullptr;  // for Need::points
    void (*print)(std::ostream& out, const Configuration& c) = nullptr;
    // Only rows with these are written by a save; the others stay in the file
    // as they are on disk, as an administrator wrote them.
    std::string (*write)(const Configuration& c, const std::string& name,
                         const Place& at) = nullptr;
    void (*take)(Configuration& to, const Configuration& from) = nullptr;
    // Its lines in --check's listing, in the order of `shownAt` (0: none).
    int shownAt = 0;
    void (*show)(std::ostream& out, const Configuration& c) = nullptr;

    Field shown(int at, void (*line)(std::ostream&, const Configuration&)) const;
    Field unreadableAs(const char* words) const;
    Field missing(const char* what) const;
    std::string path() const { return std::string(kRoot) + "." + name; }
};

// In the order a start-up reads them, which decides the error a file with
// several faults gets and what a failed read has already changed.
const std::vector<Field>& fields();
// The row of the element `name`, or null.
const Field* find(const std::string& name);

// As a file holds a calibration number: 97, not 97.000000; nine significant
// digits so that a float comes back the same.
std::string formatFloat(float value);

}  // namespace config_fields
