#pragma once

#include <string>
#include <vector>

namespace relayunit {

// One "[NAME]value@" line as the unit reads it.
struct ParsedLine {
    std::string name;
    std::string value;
};

// Splits a datagram into its lines. Text outside a well-formed line (no "[",
// no "]" before the "@", or a missing "@") is counted in `malformed`.
std::vector<ParsedLine> parseDatagram(const std::string& datagram, int* malformed = nullptr);

// Comma-separated numbers; false when any field is not a whole number.
bool parseFloatList(const std::string& text, std::vector<float>& values);
bool parseInt(const std::string& text, int& value);
bool parseFloat(const std::string& text, float& value);

}  // namespace relayunit
