#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "client/core/ByteCodec.h"

namespace com_nax {

// One message of the server protocols: a type and the payload bytes in wire order.
// Outside the protocol engine a RawMessage never holds the 32-byte frame header.
// All multi-byte numbers are big-endian; reads outside the buffer give 0.
class RawMessage {
  public:
    enum Type {
        MSG_INVALID = 0,       // received frame of an unknown kind; never sent
        MSG_DATA = 1,          // frame kind 0
        MSG_FLOW_CONTROL = 2,  // frame kind 3
    };

    // Frame header size in bytes, in front of every payload on the connection.
    static constexpr unsigned HEADER_SIZE = 32;
    // Largest payload accepted from the server. Real messages are a few kilobytes;
    // the cap keeps a corrupt length from reserving gigabytes.
    static constexpr unsigned MAX_PAYLOAD_SIZE = 16u * 1024u * 1024u;

    // Result of checking a received frame header (parseFrameHeader).
    enum HeaderStatus {
        HEADER_OK = 0,
        HEADER_INCOMPLETE = 1,      // fewer than 32 bytes
        HEADER_INVALID_LENGTH = 2,  // frame length <= 32 or payload above MAX_PAYLOAD_SIZE
    };

    explicit RawMessage(Type type = MSG_INVALID);
    RawMessage(const char* data, unsigned size, Type type);
    // Takes the bytes of a built payload without copying them.
    RawMessage(Bytes&& payload, Type type) : buffer_(std::move(payload)), type_(type) {}
    virtual ~RawMessage() = default;

    RawMessage(const RawMessage&) = default;
    RawMessage& operator=(const RawMessage&) = default;
    RawMessage(RawMessage&&) = default;
    RawMessage& operator=(RawMessage&&) = default;

    Type getType() const { return type_; }
    void setType(Type type) { type_ = type; }

    // Byte 0 and byte 1 as signed 8-bit values; 0 when absent.
    int getProtocol() const;
    int getSubprotocol() const;

    uint16_t getWord(unsigned index) const;
    uint32_t getDoubleWord(unsigned index) const;
    int32_t getInt(unsigned index) const;
    float getFloat(unsigned index) const;

    void write(const char* data, unsigned len);
    void write(int value);
    void write(unsigned value);
    void write(float value);
    void write(unsigned char value);

    // Overwrites four bytes only when at least one byte follows them; never grows.
    void writeAt(unsigned index, unsigned value);
    void writeAt(unsigned index, unsigned char value);

    // Hex dump to standard output: "0x%02x " per byte, a newline after every fourth.
    void show() const;

    // The payload through the codec: handlers decode from the reader, builders
    // append with the writer.
    ByteReader reader() const { return ByteReader(buffer_); }
    ByteWriter writer() { return ByteWriter(buffer_); }

    // Raw access for the transport and the tests.
    const unsigned char* data() const { return buffer_.data(); }
    unsigned char* data() { return buffer_.data(); }
    unsigned size() const { return static_cast<unsigned>(buffer_.size()); }
    bool empty() const { return buffer_.empty(); }
    void resize(unsigned size) { buffer_.resize(size); }
    void reserve(unsigned size) { buffer_.reserve(size); }
    void clear() { buffer_.clear(); }
    const std::vector<unsigned char>& getBuffer() const { return buffer_; }

    // Frame kind word of the header (offset 8) to message type: 0 data, 3 flow control.
    static Type typeFromFrameKind(uint32_t kind);

    // Builds the frame of `payload` (header template patched by type, then the payload)
    // into `frame`. A MSG_DATA payload gets its length written at payload bytes 4..7.
    // Returns false, leaving `frame` empty, for MSG_INVALID.
    static bool buildFrame(const RawMessage& payload, RawMessage& frame);

    // Checks a received header. `frameLength` is the announced length whenever at
    // least 4 bytes are present; `payloadLength` and `type` are set for HEADER_OK.
    static HeaderStatus parseFrameHeader(const RawMessage& header, uint32_t& frameLength,
                                         uint32_t& payloadLength, Type& type);
    // The same for the header at the front of received bytes.
    static HeaderStatus parseFrameHeader(const unsigned char* data, unsigned size,
                                         uint32_t& frameLength, uint32_t& payloadLength,
                                         Type& type);

  private:
    Bytes buffer_;
    Type type_;
};

}  // namespace com_nax
