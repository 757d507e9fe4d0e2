#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace com_nax {
namespace wire {

// Byte-level helpers shared by the SIM and APP codecs. They know nothing of
// sockets or of the client engine, so every layout can be tested alone.

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kHeadSize = 12;       // message head at the start of every data payload
constexpr std::size_t kNameFieldSize = 32;  // ids travel zero-padded in fixed fields

// Appends big-endian fields to a growing payload.
class ByteWriter {
  public:
    ByteWriter() = default;
    explicit ByteWriter(const std::uint8_t* head, std::size_t size) : mBytes(head, head + size) {}

    void u8(std::uint8_t value) { mBytes.push_back(value); }
    void u16(std::uint16_t value);
    void u32(std::uint32_t value);
    void s32(std::int32_t value) { u32(static_cast<std::uint32_t>(value)); }
    void f32(float value);
    void bytes(const void* data, std::size_t size);
    // Writes at most `field` bytes of `text`, then zeros up to `field` bytes.
    void fixedText(const std::string& text, std::size_t field = kNameFieldSize);
    // Overwrites two bytes at `offset` (used to patch a code into a head template).
    void patchU16(std::size_t offset, std::uint16_t value);

    const Bytes& data() const { return mBytes; }
    std::size_t size() const { return mBytes.size(); }

  private:
    Bytes mBytes;
};

// Reads big-endian fields from a received payload. A field that does not lie
// wholly inside the payload reads as zero, so a short reply never reads past
// its buffer.
class ByteReader {
  public:
    ByteReader(const std::uint8_t* data, std::size_t size) : mData(data), mSize(size) {}
    explicit ByteReader(const Bytes& bytes) : mData(bytes.data()), mSize(bytes.size()) {}

    std::size_t size() const { return mSize; }
    bool has(std::size_t offset, std::size_t length) const {
        return offset <= mSize && length <= mSize - offset;
    }
    std::uint8_t u8(std::size_t offset) const;
    std::uint16_t u16(std::size_t offset) const;
    std::uint32_t u32(std::size_t offset) const;
    std::int32_t s32(std::size_t offset) const { return static_cast<std::int32_t>(u32(offset)); }
    float f32(std::size_t offset) const;
    // The text of a fixed field: up to its first zero byte, at most `field` bytes,
    // never beyond the payload.
    std::string fixedText(std::size_t offset, std::size_t field = kNameFieldSize) const;

  private:
    const std::uint8_t* mData;
    std::size_t mSize;
};

// Update-rate selector of an input definition to the rate word both protocols send.
std::uint32_t rateWord(std::int32_t selector);

// Float to 32-bit integer, truncated toward zero. Values beyond the range
// saturate and NaN gives 0, since the plain conversion is undefined there.
std::int32_t truncateToInt32(float value);

// How many of `announced` records of `recordSize` bytes starting at `first`
// actually begin inside a payload of `payloadSize` bytes. A record cut short
// still counts (its missing fields read as zero); records wholly past the end
// are not walked, so a wild count cannot keep a receive thread busy.
std::size_t recordsPresent(std::size_t payloadSize, std::size_t first, std::size_t recordSize,
                           std::uint32_t announced);

// The records of a reply whose count word stands at `countOffset`: `read(offset)`
// decodes the record at each offset that recordsPresent lets through.
template <typename Record, typename Read>
std::vector<Record> readRecords(const ByteReader& payload, std::size_t countOffset,
                                std::size_t first, std::size_t recordSize, Read read) {
    std::vector<Record> out;
    const std::size_t n =
        recordsPresent(payload.size(), first, recordSize, payload.u32(countOffset));
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(read(first + recordSize * i));
    }
    return out;
}

// Head of a data payload: protocol and subprotocol bytes, the fixed marker bytes
// both servers expect, the length word left at zero and the message code.
ByteWriter messageHead(std::uint8_t protocol, std::uint8_t subprotocol, std::uint16_t code);

std::uint32_t floatBits(float value);
float bitsToFloat(std::uint32_t bits);

}  // namespace wire
}  // namespace com_nax
