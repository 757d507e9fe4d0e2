#include "client/protocols/ProtocolWire.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace com_nax {
namespace wire {

void ByteWriter::u16(std::uint16_t value) {
    mBytes.push_back(static_cast<std::uint8_t>(value >> 8));
    mBytes.push_back(static_cast<std::uint8_t>(value));
}

void ByteWriter::u32(std::uint32_t value) {
    mBytes.push_back(static_cast<std::uint8_t>(value >> 24));
    mBytes.push_back(static_cast<std::uint8_t>(value >> 16));
    mBytes.push_back(static_cast<std::uint8_t>(value >> 8));
    mBytes.push_back(static_cast<std::uint8_t>(value));
}

void ByteWriter::f32(float value) {
    u32(floatBits(value));
}

void ByteWriter::bytes(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    mBytes.insert(mBytes.end(), p, p + size);
}

void ByteWriter::fixedText(const std::string& text, std::size_t field) {
    const std::size_t n = text.size() < field ? text.size() : field;
    bytes(text.data(), n);
    mBytes.insert(mBytes.end(), field - n, 0);
}

void ByteWriter::patchU16(std::size_t offset, std::uint16_t value) {
    if (offset + 2 <= mBytes.size()) {
        mBytes[offset] = static_cast<std::uint8_t>(value >> 8);
        mBytes[offset + 1] = static_cast<std::uint8_t>(value);
    }
}

std::uint8_t ByteReader::u8(std::size_t offset) const {
    return has(offset, 1) ? mData[offset] : 0;
}

std::uint16_t ByteReader::u16(std::size_t offset) const {
    if (!has(offset, 2)) {
        return 0;
    }
    return static_cast<std::uint16_t>((mData[offset] << 8) | mData[offset + 1]);
}

std::uint32_t ByteReader::u32(std::size_t offset) const {
    if (!has(offset, 4)) {
        return 0;
    }
    return (static_cast<std::uint32_t>(mData[offset]) << 24) |
           (static_cast<std::uint32_t>(mData[offset + 1]) << 16) |
           (static_cast<std::uint32_t>(mData[offset + 2]) << 8) |
           static_cast<std::uint32_t>(mData[offset + 3]);
}

float ByteReader::f32(std::size_t offset) const {
    return bitsToFloat(u32(offset));
}

std::string ByteReader::fixedText(std::size_t offset, std::size_t field) const {
    std::string text;
    for (std::size_t i = 0; i < field && has(offset + i, 1); ++i) {
        const char c = static_cast<char>(mData[offset + i]);
        if (c == '\0') {
            break;
        }
        text.push_back(c);
    }
    return text;
}

std::uint32_t rateWord(std::int32_t selector) {
    switch (selector) {
        case 1:
            return 12000;
        case 3:
            return 120000;
        default:
            return 0;
    }
}

std::int32_t truncateToInt32(float value) {
    if (std::isnan(value)) {
        return 0;
    }
    // 2^31 is exactly representable as a float; INT32_MAX is not.
    if (value >= 2147483648.0f) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (value <= -2147483648.0f) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(value);
}

std::size_t recordsPresent(std::size_t payloadSize, std::size_t first, std::size_t recordSize,
                           std::uint32_t announced) {
    if (recordSize == 0 || payloadSize <= first) {
        return 0;
    }
    const std::size_t fit = (payloadSize - first + recordSize - 1) / recordSize;
    return announced < fit ? announced : fit;
}

ByteWriter messageHead(std::uint8_t protocol, std::uint8_t subprotocol, std::uint16_t code) {
    const std::uint8_t head[kHeadSize] = {protocol, subprotocol, 0x7F, 0xFF, 0, 0,
                                          0,        0,           0,    0x7F, 0, 0};
    ByteWriter w(head, kHeadSize);
    w.patchU16(10, code);
    return w;
}

std::uint32_t floatBits(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float bitsToFloat(std::uint32_t bits) {
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace wire
}  // namespace com_nax
