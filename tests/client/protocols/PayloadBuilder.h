#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace prototest {

// Builds server-side payloads in the tests, independently of the client's codec.
class Payload {
  public:
    Payload(std::uint8_t protocol, std::uint8_t subprotocol, std::uint16_t code) {
        bytes = {protocol,
                 subprotocol,
                 0x7F,
                 0xFF,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0x7F,
                 static_cast<std::uint8_t>(code >> 8),
                 static_cast<std::uint8_t>(code)};
    }
    Payload& u32(std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<std::uint8_t>(v >> shift));
        }
        return *this;
    }
    Payload& f32(float f) {
        std::uint32_t v;
        std::memcpy(&v, &f, 4);
        return u32(v);
    }
    Payload& text(const std::string& s, std::size_t field = 32) {
        for (std::size_t i = 0; i < field; ++i) {
            bytes.push_back(i < s.size() ? static_cast<std::uint8_t>(s[i]) : 0);
        }
        return *this;
    }
    Payload& zeros(std::size_t n) {
        bytes.insert(bytes.end(), n, 0);
        return *this;
    }
    operator const std::vector<std::uint8_t>&() const { return bytes; }

    std::vector<std::uint8_t> bytes;
};

}  // namespace prototest
