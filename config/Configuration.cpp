#include "config/Configuration.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <vector>

#include "config/ConfigDocument.h"
#include "config/ConfigFields.h"
#include "config/ConfigFileIo.h"

namespace pt = boost::property_tree;

namespace {

using config_fields::Field;
using config_fields::Need;
using config_xml::parseDocument;
using config_xml::readWholeFile;

// Reads the rows from `first` on that share its console warning, as one: the
// first that fails ends the run and the warning is said once.
std::size_t readWarnedRun(const pt::ptree& tree, std::size_t first, Configuration& into) {
    const auto& rows = config_fields::fields();
    const char* words = rows[first].unreadable;
    std::size_t end = first;
    while (end < rows.size() && rows[end].unreadable != nullptr &&
           std::strcmp(rows[end].unreadable, words) == 0) {
        ++end;
    }
    try {
        for (std::size_t i = first; i < end; ++i) {
            rows[i].read(tree, rows[i].path(), into);
        }
    } catch (const std::exception& e) {
        std::cerr << "MR>ERROR>" << e.what() << std::endl;
        std::cerr << "Unable to read \"" << words << "\" from the configuration file. Ignoring."
                  << std::endl;
    }
    return end;
}

// The rows read as a start-up reads them, but without a word; says which ones
// could be read. Throws when a required one cannot.
std::vector<bool> readQuietly(const pt::ptree& tree, Configuration& into) {
    std::vector<bool> read;
    for (const Field& row : config_fields::fields()) {
        try {
            row.read(tree, row.path(), into);
            read.push_back(true);
        } catch (const std::exception&) {
            if (row.need != Need::optional) {
                throw;
            }
            read.push_back(false);
        }
    }
    return read;
}

config_fields::Place placeOf(const std::string& text, const config_xml::Span& at) {
    const std::size_t lineStart =
        at.begin == 0 ? std::string::npos : text.rfind('\n', at.begin - 1);
    const std::size_t from = lineStart == std::string::npos ? 0 : lineStart + 1;
    config_fields::Place place;
    place.indent = text.substr(from, at.begin - from);
    place.ownLine = lineStart != std::string::npos &&
                    place.indent.find_first_not_of(" \t") == std::string::npos;
    place.eol = lineStart > 0 && lineStart != std::string::npos && text[lineStart - 1] == '\r'
                    ? "\r\n"
                    : "\n";
    return place;
}

// The text on disk with only the elements of the saved rows replaced by the
// record's: whatever else an administrator wrote stays byte for byte.
// `expected` takes what is written.
std::string withSavedFields(const std::string& text, const config_xml::Layout& layout,
                            const Configuration& record, Configuration& expected) {
    struct Replacement {
        config_xml::Span span;
        std::string with;
    };
    std::vector<Replacement> replacements;
    for (const Field& row : config_fields::fields()) {
        if (row.write == nullptr) {
            continue;
        }
        const auto found = layout.rootChildren.find(row.name);
        if (found == layout.rootChildren.end() || found->second.end <= found->second.begin) {
            throw std::runtime_error("cannot find " + row.path() + " in " + record.filePath);
        }
        replacements.push_back(
            {found->second, row.write(record, row.name, placeOf(text, found->second))});
        row.take(expected, record);
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
void checkReadsBack(const Configuration& expected, const std::vector<bool>& expectedRead,
                    const std::string& text, const std::string& path) {
    const std::string kept = "; " + path + " is left as it was";
    Configuration back(path.c_str());
    std::vector<bool> backRead;
    try {
        backRead = readQuietly(parseDocument(text, path).tree, back);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("the new text would not read back (") + e.what() +
                                 ")" + kept);
    }
    const auto& rows = config_fields::fields();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Field& row = rows[i];
        if (backRead[i] != expectedRead[i] || !row.same(back, expected) ||
            (row.need == Need::points && row.empty(back))) {
            throw std::runtime_error(std::string("the new text would not read back the same ") +
                                     row.name + kept);
        }
    }
}

}  // namespace

bool readMetricsSetting(const std::string& path, Configuration& into, std::string& error) {
    const Field& row = *config_fields::find("Metrics");
    try {
        row.read(parseDocument(readWholeFile(path), path).tree, row.path(), into);
        return true;
    } catch (const std::exception& e) {
        into.metricsEnabled = false;
        error = e.what();
        return false;
    }
}

bool operator==(const Configuration& a, const Configuration& b) {
    const auto& rows = config_fields::fields();
    return std::all_of(rows.begin(), rows.end(), [&](const Field& row) { return row.same(a, b); });
}

bool operator!=(const Configuration& a, const Configuration& b) {
    return !(a == b);
}

std::ostream& operator<<(std::ostream& out, const Configuration& c) {
    for (const Field& row : config_fields::fields()) {
        out << row.name << "=";
        row.print(out, c);
    }
    return out;
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
        const auto& rows = config_fields::fields();
        for (std::size_t i = 0; i < rows.size();) {
            const Field& row = rows[i];
            if (row.unreadable != nullptr) {
                i = readWarnedRun(tree, i, *this);
                continue;
            }
            ++i;
            try {
                row.read(tree, row.path(), *this);
            } catch (const std::exception&) {
                if (row.need != Need::optional) {
                    throw;
                }
                // Said once where the setting is used and by --check; the
                // bridge itself runs without it.
            }
            if (row.need == Need::points && row.empty(*this)) {
                std::cerr << "MR>ERROR>Missing \"" << row.path() << "\" into configuration XML"
                          << std::endl;
                return false;
            }
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
        const config_xml::Document document = parseDocument(onDisk, filePath);
        Configuration expected(filePath.c_str());
        const std::vector<bool> expectedRead = readQuietly(document.tree, expected);
        const std::string text = withSavedFields(onDisk, document.layout, *this, expected);
        checkReadsBack(expected, expectedRead, text, filePath);

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
