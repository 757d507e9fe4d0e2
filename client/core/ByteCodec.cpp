#include "client/core/ByteCodec.h"

#include <cstring>

namespace com_nax {

ByteWriter& ByteWriter::u8(std::uint8_t value) {
    out_.push_back(value);
    return *this;
}

ByteWriter& ByteWriter::u16(std::uint16_t value) {
    out_.push_back(static_cast<std::uint8_t>(value >> 8));
    out_.push_back(static_cast<std::uint8_t>(value));
    return *this;
}

ByteWriter& ByteWriter::u32(std::uint32_t value) {
    const std::uint8_t b[4] = {
        static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
        static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    out_.insert(out_.end(), b, b + 4);
    return *this;
}

ByteWriter& ByteWriter::f32(float value) {
    return u32(floatBits(value));
}

ByteWriter& ByteWriter::bytes(const void* data, std::size_t size) {
    if (data != nullptr && size > 0) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        out_.insert(out_.end(), p, p + size);
    }
    return *this;
}

ByteWriter& ByteWriter::fixedText(const std::string& text, std::size_t field) {
    const std::size_t n = text.size() < field ? text.size() : field;
    bytes(text.data(), n);
    out_.insert(out_.end(), field - n, 0);
    return *this;
}

bool ByteWriter::patchU8(std::size_t offset, std::uint8_t value) {
    if (offset >= out_.size()) {
        return false;
    }
    out_[offset] = value;
    return true;
}

bool ByteWriter::patchU16(std::size_t offset, std::uint16_t value) {
    if (offset > out_.size() || out_.size() - offset < 2) {
        return false;
    }
    out_[offset] = static_cast<std::uint8_t>(value >> 8);
    out_[offset + 1] = static_cast<std::uint8_t>(value);
    return true;
}

bool ByteWriter::patchU32(std::size_t offset, std::uint32_t value) {
    if (offset > out_.size() || out_.size() - offset < 4) {
        return false;
    }
    out_[offset] = static_cast<std::uint8_t>(value >> 24);
    out_[offset + 1] = static_cast<std::uint8_t>(value >> 16);
    out_[offset + 2] = static_cast<std::uint8_t>(value >> 8);
    out_[offset + 3] = static_cast<std::uint8_t>(value);
    return true;
}

std::string ByteReader::fixedText(std::size_t offset, std::size_t field) const {
    if (!has(offset, 1) || field == 0) {
        return std::string();
    }
    const std::size_t avail = size_ - offset < field ? size_ - offset : field;
    const auto* begin = reinterpret_cast<const char*>(data_ + offset);
    const void* zero = std::memchr(begin, 0, avail);
    const std::size_t n =
        zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) - begin) : avail;
    return std::string(begin, n);
}

}  // namespace com_nax
