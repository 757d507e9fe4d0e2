#pragma once

#include <cstdint>
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
    bool readConfiguration();

    // Copies the current file to a dated backup, then replaces the file with the
    // record. The replacement is atomic: the file is either the old or the new one.
    // A link is written through to its target; a file without write permission,
    // or a record whose text would not read back the same, is not saved.
    // False when the file was left as it was.
    bool writeConfiguration();

    std::string filePath;
    int32_t spo2Scale = 5;
    std::string serialId;
    std::string ipAddress;
    std::string ipRangeStart;
    std::string ipRangeEnd;
    std::map<float, float> co2Calibration;
    std::map<float, float> spo2Calibration;
};

namespace config_io {

// Seam for fault tests: the sync call of the save path (fsync by default; a
// null pointer restores it).
using SyncFunction = int (*)(int);
void setSyncFunction(SyncFunction sync);

}  // namespace config_io
