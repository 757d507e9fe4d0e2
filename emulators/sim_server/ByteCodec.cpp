#include "emulators/sim_server/ByteCodec.h"

#include <cstring>

namespace simemu {

float floatFromBits(std::uint32_t bits) {
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

std::uint32_t bitsFromFloat(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

ByteWriter& ByteWriter::u8(std::uint8_t v) {
    bytes_.push_back(v);
    return *this;
}

ByteWriter& ByteWriter::u16(std::uint16_t v) {
    bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
    bytes_.push_back(static_cast<std::uint8_t>(v));
    return *this;
}

ByteWriter& ByteWriter::u32(std::uint32_t v) {
    bytes_.push_back(static_cast<std::uint8_t>(v >> 24));
    bytes_.push_back(static_cast<std::uint8_t>(v >> 16));
    bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
    bytes_.push_back(static_cast<std::uint8_t>(v));
    return *this;
}

ByteWriter& ByteWriter::f32(float v) {
    return u32(bitsFromFloat(v));
}

ByteWriter& ByteWriter::fixedText(const std::string& text, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) {
        bytes_.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
    }
    return *this;
}

ByteWriter& ByteWriter::raw(const Bytes& data) {
    bytes_.insert(bytes_.end(), data.begin(), data.end());
    return *this;
}

void ByteWriter::patchU32(std::size_t offset, std::uint32_t v) {
    if (offset > bytes_.size() || bytes_.size() - offset < 4) {
        return;
    }
    bytes_[offset] = static_cast<std::uint8_t>(v >> 24);
    bytes_[offset + 1] = static_cast<std::uint8_t>(v >> 16);
    bytes_[offset + 2] = static_cast<std::uint8_t>(v >> 8);
    bytes_[offset + 3] = static_cast<std::uint8_t>(v);
}

bool ByteReader::u8(std::size_t offset, std::uint8_t& out) const {
    if (!has(offset, 1)) {
        return false;
    }
    out = data_[offset];
    return true;
}

bool ByteReader::u16(std::size_t offset, std::uint16_t& out) const {
    if (!has(offset, 2)) {
        return false;
    }
    out = static_cast<std::uint16_t>((data_[offset] << 8) | data_[offset + 1]);
    return true;
}

bool ByteReader::u32(std::size_t offset, std::uint32_t& out) const {
    if (!has(offset, 4)) {
        return false;
    }
    out = (static_cast<std::uint32_t>(data_[offset]) << 24) |
          (static_cast<std::uint32_t>(data_[offset + 1]) << 16) |
          (static_cast<std::uint32_t>(data_[offset + 2]) << 8) |
          static_cast<std::uint32_t>(data_[offset + 3]);
    return true;
}

bool ByteReader::i32(std::size_t offset, std::int32_t& out) const {
    std::uint32_t v;
    if (!u32(offset, v)) {
        return false;
    }
    out = static_cast<std::int32_t>(v);
    return true;
}

bool ByteReader::f32(std::size_t offset, float& out) const {
    std::uint32_t v;
    if (!u32(offset, v)) {
        return false;
    }
    out = floatFromBits(v);
    return true;
}

bool ByteReader::fixedText(std::size_t offset, std::size_t width, std::string& out) const {
    if (!has(offset, width)) {
        return false;
    }
    std::size_t len = 0;
    while (len < width && data_[offset + len] != 0) {
        ++len;
    }
    out.assign(reinterpret_cast<const char*>(data_ + offset), len);
    return true;
}

std::vector<std::uint32_t> wordsFrom(const ByteReader& r, std::size_t offset) {
    std::vector<std::uint32_t> words;
    std::uint32_t w;
    for (std::size_t at = offset; r.u32(at, w); at += 4) {
        words.push_back(w);
    }
    return words;
}

}  // namespace simemu
