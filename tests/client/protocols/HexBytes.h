#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace prototest {

// "04 02 7F FF" -> bytes; blanks and line breaks are ignored, so golden layouts
// can be written out field by field.
inline std::vector<std::uint8_t> hex(const std::string& text) {
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            continue;
        }
        const int v = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return out;
}

// A name padded with zeros to a 32-byte field, as hex text.
inline std::string nameField(const std::string& name, std::size_t field = 32) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < field; ++i) {
        const unsigned v = i < name.size() ? static_cast<unsigned char>(name[i]) : 0u;
        std::snprintf(buf, sizeof buf, "%02X ", v);
        out += buf;
    }
    return out;
}

inline std::string toHex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char buf[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        out += buf;
    }
    return out;
}

}  // namespace prototest
