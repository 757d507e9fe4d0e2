#include "emulators/relay_unit/UnitLineParser.h"

#include <cerrno>
#include <cstdlib>

namespace relayunit {

std::vector<ParsedLine> parseDatagram(const std::string& datagram, int* malformed) {
    std::vector<ParsedLine> lines;
    int bad = 0;
    std::size_t pos = 0;
    while (pos < datagram.size()) {
        const std::size_t at = datagram.find('@', pos);
        if (at == std::string::npos) {
            ++bad;  // trailing text without its terminator
            break;
        }
        const std::string line = datagram.substr(pos, at - pos);
        pos = at + 1;
        const std::size_t close = line.find(']');
        if (line.empty() || line[0] != '[' || close == std::string::npos || close == 1) {
            ++bad;
            continue;
        }
        lines.push_back({line.substr(1, close - 1), line.substr(close + 1)});
    }
    if (malformed) {
        *malformed = bad;
    }
    return lines;
}

bool parseInt(const std::string& text, int& value) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < -2147483647L || parsed > 2147483647L) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

bool parseFloat(const std::string& text, float& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    value = std::strtof(text.c_str(), &end);
    return *end == '\0';
}

bool parseFloatList(const std::string& text, std::vector<float>& values) {
    values.clear();
    std::size_t pos = 0;
    while (true) {
        const std::size_t comma = text.find(',', pos);
        float v = 0;
        if (!parseFloat(text.substr(pos, comma - pos), v)) {
            return false;
        }
        values.push_back(v);
        if (comma == std::string::npos) {
            return true;
        }
        pos = comma + 1;
    }
}

}  // namespace relayunit
