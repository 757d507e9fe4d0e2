#include "config/Configuration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>
#include <locale>
#include <sstream>
#include <system_error>

namespace pt = boost::property_tree;

namespace {

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

std::string backupName(const std::string& path) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%d-%m-%Y %H-%M-%S", &local);
    return path + "." + stamp + ".bak";
}

void copyToBackup(const std::string& path, const std::string& backup) {
    std::ifstream in(path, std::ios::binary);
    std::ofstream out(backup, std::ios::binary | std::ios::trunc);
    if (in && out) {
        out << in.rdbuf();
    }
}

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Writes the text to a temporary file beside `path`, syncs it and renames it over
// `path`, so a failure at any point leaves the previous file untouched.
void replaceFileAtomically(const std::string& path, const std::string& text) {
    std::string tmp = path + ".XXXXXX";
    const int fd = ::mkstemp(&tmp[0]);
    if (fd < 0) {
        throwErrno("cannot create a temporary file beside " + path);
    }
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) {
        ::fchmod(fd, old.st_mode & 07777);
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
    }
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(tmp.c_str());
            errno = err;
            throwErrno("cannot write " + tmp);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        throwErrno("cannot write " + tmp);
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
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

}  // namespace

Configuration::Configuration(const char* path) : filePath(path ? path : "") {}

bool Configuration::readConfiguration() {
    std::cout << "MR>Reading configuration file: " << filePath << std::endl;
    try {
        pt::ptree tree;
        pt::read_xml(filePath, tree, 0, std::locale());
        spo2Scale = parseInt32(tree, "MonitorRelay.SPO2Scale");
        serialId = tree.get<std::string>("MonitorRelay.SerialID");
        ipAddress = tree.get<std::string>("MonitorRelay.IPAddress");

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
            ipRangeStart = tree.get<std::string>("MonitorRelay.IPRangeStart");
            ipRangeEnd = tree.get<std::string>("MonitorRelay.IPRangeEnd");
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

void Configuration::writeConfiguration() {
    try {
        copyToBackup(filePath, backupName(filePath));

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
        replaceFileAtomically(filePath, text.str());
    } catch (const std::exception& e) {
        std::cerr << "MR>ERROR>" << e.what() << std::endl;
        std::cerr << "Unable to save the configuration file" << std::flush;
        return;
    }
    std::cout << "MR>Configuration file has been written at: " << filePath << std::endl;
    std::cout << filePath << std::endl;
}
