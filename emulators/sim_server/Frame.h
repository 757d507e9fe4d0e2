#pragma once

#include <cstddef>
#include <cstdint>

#include "emulators/sim_server/ByteCodec.h"

namespace simemu {

constexpr std::size_t kFrameHeaderSize = 32;
constexpr std::size_t kMessageHeadSize = 12;
constexpr std::uint32_t kFrameKindData = 0;
constexpr std::uint32_t kFrameKindFlowControl = 3;
// A peer announcing more than this is treated as broken rather than trusted
// with the allocation; the largest real message (120 entries) is under 8 KiB.
constexpr std::uint32_t kMaxPayloadSize = 1u << 20;

struct Frame {
    std::uint32_t kind = kFrameKindData;
    Bytes payload;
};

// The 32-byte header in front of `payload`: length, 32, kind, then the reserved
// words (0 and sixteen 0xFF for data; 2 and 0xFF..0xFE for flow control). For a
// data payload the head's length field (payload bytes 4..7) is set as well.
Bytes encodeFrame(std::uint32_t kind, Bytes payload);

// The 12-byte message head of both protocols with its length field left 0;
// encodeFrame fills it in.
ByteWriter messageHead(std::uint8_t protocol, std::uint8_t subprotocol, std::uint16_t code);

// Cuts a byte stream into frames. Free of sockets so that it can be fed any
// split of the stream in tests.
class FrameAssembler {
  public:
    enum class Status { Frame, NeedMore, Invalid };

    void feed(const std::uint8_t* data, std::size_t size);
    // Frame: `out` holds the next frame. Invalid: a length of 32 or less, or
    // beyond kMaxPayloadSize; the stream cannot be resynchronised after that.
    Status next(Frame& out);
    std::size_t buffered() const { return buffer_.size() - start_; }
    void clear();

  private:
    Bytes buffer_;
    std::size_t start_ = 0;
};

}  // namespace simemu
