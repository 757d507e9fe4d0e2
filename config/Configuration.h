#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>

// In-memory record of the bridge's XML configuration file. No lock of its own:
// after start-up every access happens under the bridge mutex.
class Configuration {
  public:
    explicit Configuration(const char* path);
    virtual ~Configuration() = default;

    // Reads filePath into the record; calibration points are merged into the
    // tables already held. On failure some fields may already hold new values.
    // Unless told otherwise it first removes what an interrupted save left
    // beside the file.
    bool readConfiguration(bool removeSaveLeftovers = true);

    // Writes the record's SpO2 scale and calibration tables into the file as it
    // is on disk now, after a complete, dated backup beside it; everything else
    // in the file stays as it is. The replacement is atomic and keeps the
    // file's owner, group and mode. A link is written through to its target
    // (only a link of root's or of this user's); a file without write
    // permission, one that no longer reads, or a text that would not read back
    // the same is not saved. False when the file was left as it was.
    bool writeConfiguration();

    std::string filePath;
    int32_t spo2Scale = 5;
    std::string serialId;
    std::string ipAddress;
    std::string ipRangeStart;
    std::string ipRangeEnd;
    std::map<float, float> co2Calibration;
    std::map<float, float> spo2Calibration;

    // The optional <Metrics address=".." port=".."/> element: the monitoring
    // endpoint is opened only when it is present and valid.
    bool metricsEnabled = false;
    std::string metricsAddress = "127.0.0.1";
    std::uint16_t metricsPort = 9743;
};

// Records with the same settings, wherever they were read from.
bool operator==(const Configuration& a, const Configuration& b);
bool operator!=(const Configuration& a, const Configuration& b);
// Every setting on one line, for test and fuzz reports.
std::ostream& operator<<(std::ostream& out, const Configuration& c);

// Reads the Metrics element of the file at `path` without a word on the
// console. False, with the reason in `error`, when the file or the element
// cannot be read; an absent element leaves `metricsEnabled` false.
bool readMetricsSetting(const std::string& path, Configuration& into, std::string& error);

namespace config_io {

// Seam for fault tests: the sync call of the save path (fsync by default; a
// null pointer restores it).
using SyncFunction = int (*)(int);
void setSyncFunction(SyncFunction sync);

}  // namespace config_io
