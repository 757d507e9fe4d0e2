#include "config/Configuration.h"

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

config_io::SyncFunction syncFunction = ::fsync;

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Closes `fd`, keeping the first error of the caller in errno.
void closeKeepingErrno(int fd) {
    const int err = errno;
    ::close(fd);
    errno = err;
}

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

std::string backupName(const std::string& path) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%d-%m-%Y %H-%M-%S", &local);
    return path + "." + stamp + ".bak";
}

void writeAll(int fd, const char* p, std::size_t left, const std::string& name) {
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            throwErrno("cannot write " + name);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// Syncs and closes `fd` whatever happens; throws on the first failure.
void syncAndClose(int fd, const std::string& name) {
    if (syncFunction(fd) != 0) {
        closeKeepingErrno(fd);
        throwErrno("cannot sync " + name);
    }
    if (::close(fd) != 0) {
        throwErrno("cannot write " + name);
    }
}

// Copies the current file to the backup. The backup gets the file's own mode
// (calibration files may be private), is never opened through a link planted
// at its name, and is written whole and synced: a save must not go on over a
// damaged copy of what it replaces. A backup that cannot be created at all
// does not stop the save; one that cannot be written does.
void copyToBackup(const std::string& path, const std::string& backup) {
    const int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat source {};
    const bool haveSource = in >= 0 && ::fstat(in, &source) == 0;
    const int out = ::open(backup.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                           haveSource ? 0600 : 0666);
    if (out < 0) {
        if (in >= 0) {
            ::close(in);
        }
        return;
    }
    try {
        if (haveSource && ::fchmod(out, source.st_mode & 07777) != 0) {
            throwErrno("cannot set the mode of " + backup);
        }
        char buffer[8192];
        for (;;) {
            if (in < 0) {
                break;
            }
            const ssize_t n = ::read(in, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                throwErrno("cannot read " + path);
            }
            if (n == 0) {
                break;
            }
            writeAll(out, buffer, static_cast<std::size_t>(n), backup);
        }
    } catch (...) {
        closeKeepingErrno(out);
        if (in >= 0) {
            closeKeepingErrno(in);
        }
        throw;
    }
    if (in >= 0) {
        ::close(in);
    }
    syncAndClose(out, backup);
}

// The file a save must replace: the end of a chain of symbolic links, so that a
// link stays a link and its target gets the new text.
std::string resolveLinks(std::string path) {
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return path;
        }
        std::string target(4096, '\0');
        const ssize_t n = ::readlink(path.c_str(), &target[0], target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) {
            throwErrno("cannot follow the link " + path);
        }
        target.resize(static_cast<std::size_t>(n));
        const std::string::size_type slash = path.rfind('/');
        path = target[0] == '/' || slash == std::string::npos ? target
                                                              : path.substr(0, slash + 1) + target;
    }
    errno = ELOOP;
    throwErrno("cannot follow the link " + path);
}

// A file that nobody may write is the owner's choice to keep it: refused even
// for root, who could write it anyway, by its mode bits.
void checkWritable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return;  // a new file
    }
    if ((st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0) {
        throw std::runtime_error(path + " is not writable");
    }
}

// Writes the text to a temporary file beside `path`, syncs it and renames it over
// `path`, so a failure at any point leaves the previous file untouched.
void replaceFileAtomically(const std::string& path, const std::string& text) {
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(&tmp[0]);
    if (fd < 0) {
        throwErrno("cannot create a temporary file beside " + path);
    }
    try {
        struct stat old {};
        if (::stat(path.c_str(), &old) == 0) {
            ::fchmod(fd, old.st_mode & 07777);
        } else {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            ::fchmod(fd, 0666 & ~mask);
        }
        writeAll(fd, text.data(), text.size(), tmp);
    } catch (...) {
        closeKeepingErrno(fd);
        ::unlink(tmp.c_str());
        throw;
    }
    try {
        syncAndClose(fd, tmp);
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        throwErrno("cannot replace " + path);
    }
    // Make the rename itself survive a power cut; the file is complete either way.
    const std::string::size_type slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        syncFunction(dirFd);
        ::close(dirFd);
    }
}

}  // namespace

namespace config_io {

void setSyncFunction(SyncFunction sync) {
    syncFunction = sync != nullptr ? sync : ::fsync;
}

}  // namespace config_io

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
        const std::string target = resolveLinks(filePath);
        checkWritable(target);

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

        copyToBackup(target, backupName(filePath));
        replaceFileAtomically(target, text.str());
    } catch (const std::exception& e) {
        std::cerr << "MR>ERROR>" << e.what() << std::endl;
        std::cerr << "Unable to save the configuration file" << std::flush;
        return false;
    }
    std::cout << "MR>Configuration file has been written at: " << filePath << std::endl;
    std::cout << filePath << std::endl;
    return true;
}
