#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace simemu {

using Bytes = std::vector<std::uint8_t>;

// Appends big-endian fields to a byte buffer; the server side of the wire never
// casts structs, so the byte order is explicit here and nowhere else.
class ByteWriter {
  public:
    ByteWriter() = default;
    explicit ByteWriter(Bytes initial) : bytes_(std::move(initial)) {}

    ByteWriter& u8(std::uint8_t v);
    ByteWriter& u16(std::uint16_t v);
    ByteWriter& u32(std::uint32_t v);
    ByteWriter& i32(std::int32_t v) { return u32(static_cast<std::uint32_t>(v)); }
    ByteWriter& f32(float v);
    // A text field of exactly `width` bytes: truncated, or zero-filled after the text.
    ByteWriter& fixedText(const std::string& text, std::size_t width);
    ByteWriter& raw(const Bytes& data);
    // Overwrites four bytes already written; does nothing when they lie outside.
    void patchU32(std::size_t offset, std::uint32_t v);

    std::size_t size() const { return bytes_.size(); }
    const Bytes& bytes() const { return bytes_; }
    Bytes take() { return std::move(bytes_); }

  private:
    Bytes bytes_;
};

// Bounds-checked big-endian reads: a field that does not lie wholly inside the
// buffer yields false and leaves the output untouched.
class ByteReader {
  public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    explicit ByteReader(const Bytes& bytes) : ByteReader(bytes.data(), bytes.size()) {}

    std::size_t size() const { return size_; }
    bool has(std::size_t offset, std::size_t width) const {
        return offset <= size_ && width <= size_ - offset;
    }
    bool u8(std::size_t offset, std::uint8_t& out) const;
    bool u16(std::size_t offset, std::uint16_t& out) const;
    bool u32(std::size_t offset, std::uint32_t& out) const;
    bool i32(std::size_t offset, std::int32_t& out) const;
    bool f32(std::size_t offset, float& out) const;
    // Text up to the first zero byte, or all `width` bytes when none.
    bool fixedText(std::size_t offset, std::size_t width, std::string& out) const;

  private:
    const std::uint8_t* data_;
    std::size_t size_;
};

float floatFromBits(std::uint32_t bits);
std::uint32_t bitsFromFloat(float v);

// Every whole 32-bit word from `offset` to the end.
std::vector<std::uint32_t> wordsFrom(const ByteReader& r, std::size_t offset);

// Reads N at `countAt` and N records of `width` bytes from `countAt + 4`,
// calling fn(offset) for each; false when fewer records are present than announced.
template <typename Fn>
bool forEachRecord(const ByteReader& r, std::size_t countAt, std::size_t width, Fn fn) {
    std::uint32_t n = 0;
    if (!r.u32(countAt, n)) {
        return false;
    }
    const std::size_t first = countAt + 4;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::size_t at = first + static_cast<std::size_t>(i) * width;
        if (!r.has(at, width)) {
            return false;
        }
        fn(at);
    }
    return true;
}

}  // namespace simemu
