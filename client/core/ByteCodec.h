#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace com_nax {

// The one big-endian codec of the client library: messages, frames and the
// protocols' payloads are all read and written through these two classes.

using Bytes = std::vector<std::uint8_t>;

// Fixed text fields carry parameter ids zero-padded to this width.
constexpr std::size_t kNameFieldSize = 32;

// Appends big-endian fields to a byte buffer it does not own (a payload being
// built, or a message's buffer).
class ByteWriter {
  public:
    explicit ByteWriter(Bytes& out) : out_(out) {}

    ByteWriter& u8(std::uint8_t value);
    ByteWriter& u16(std::uint16_t value);
    ByteWriter& u32(std::uint32_t value);
    ByteWriter& s32(std::int32_t value) { return u32(static_cast<std::uint32_t>(value)); }
    ByteWriter& f32(float value);
    ByteWriter& bytes(const void* data, std::size_t size);
    // Writes at most `field` bytes of `text`, then zeros up to `field` bytes.
    ByteWriter& fixedText(const std::string& text, std::size_t field = kNameFieldSize);

    // Overwrite fields in place; a field not wholly inside the buffer is left
    // alone, so a patch never grows the buffer.
    bool patchU8(std::size_t offset, std::uint8_t value);
    bool patchU16(std::size_t offset, std::uint16_t value);
    bool patchU32(std::size_t offset, std::uint32_t value);

    std::size_t size() const { return out_.size(); }

  private:
    Bytes& out_;
};

// Reads big-endian fields from received bytes it does not own. A field that
// does not lie wholly inside them reads as zero, so a short reply never reads
// past its buffer.
class ByteReader {
  public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    explicit ByteReader(const Bytes& bytes) : data_(bytes.data()), size_(bytes.size()) {}

    std::size_t size() const { return size_; }
    const std::uint8_t* data() const { return data_; }
    // The bytes from `offset` on, at most `length` of them (none beyond the end).
    ByteReader part(std::size_t offset, std::size_t length) const {
        if (offset > size_) {
            return ByteReader(data_, 0);
        }
        return ByteReader(data_ + offset, length < size_ - offset ? length : size_ - offset);
    }
    bool has(std::size_t offset, std::size_t length) const {
        return offset <= size_ && length <= size_ - offset;
    }
    std::uint8_t u8(std::size_t offset) const { return has(offset, 1) ? data_[offset] : 0; }
    std::uint16_t u16(std::size_t offset) const;
    std::uint32_t u32(std::size_t offset) const;
    std::int32_t s32(std::size_t offset) const { return static_cast<std::int32_t>(u32(offset)); }
    float f32(std::size_t offset) const;
    // The text of a fixed field: up to its first zero byte, at most `field`
    // bytes, never beyond the buffer.
    std::string fixedText(std::size_t offset, std::size_t field = kNameFieldSize) const;

  private:
    const std::uint8_t* data_;
    std::size_t size_;
};

// IEEE-754 single precision to its bit pattern and back.
inline std::uint32_t floatBits(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}
inline float bitsToFloat(std::uint32_t bits) {
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Inline: every value of every patient update is read through these.
inline std::uint16_t ByteReader::u16(std::size_t offset) const {
    if (!has(offset, 2)) {
        return 0;
    }
    return static_cast<std::uint16_t>((data_[offset] << 8) | data_[offset + 1]);
}

inline std::uint32_t ByteReader::u32(std::size_t offset) const {
    if (!has(offset, 4)) {
        return 0;
    }
    return (static_cast<std::uint32_t>(data_[offset]) << 24) |
           (static_cast<std::uint32_t>(data_[offset + 1]) << 16) |
           (static_cast<std::uint32_t>(data_[offset + 2]) << 8) |
           static_cast<std::uint32_t>(data_[offset + 3]);
}

inline float ByteReader::f32(std::size_t offset) const {
    return bitsToFloat(u32(offset));
}

}  // namespace com_nax
