#include "client/core/RawMessage.h"

#include <cstdio>
#include <cstring>

namespace com_nax {

namespace {

// Frame header template: length (patched), header length 32, kind 0, reserved 0,
// sixteen bytes 0xFF.
const unsigned char sHeader[RawMessage::HEADER_SIZE] = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

constexpr uint32_t FRAME_KIND_DATA = 0;
constexpr uint32_t FRAME_KIND_FLOW_CONTROL = 3;

uint32_t floatBits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

}  // namespace

RawMessage::RawMessage(Type type) : type_(type) {}

RawMessage::RawMessage(const char* data, unsigned size, Type type) : type_(type) {
    if (data != nullptr && size > 0) {
        buffer_.assign(reinterpret_cast<const unsigned char*>(data),
                       reinterpret_cast<const unsigned char*>(data) + size);
    }
}

int RawMessage::getProtocol() const {
    return buffer_.empty() ? 0 : static_cast<int>(static_cast<int8_t>(buffer_[0]));
}

int RawMessage::getSubprotocol() const {
    return buffer_.size() < 2 ? 0 : static_cast<int>(static_cast<int8_t>(buffer_[1]));
}

uint16_t RawMessage::getWord(unsigned index) const {
    // Compared as 64-bit so that an index near the top of the range cannot wrap.
    if (static_cast<uint64_t>(index) + 2 > buffer_.size()) {
        return 0;
    }
    return static_cast<uint16_t>((buffer_[index] << 8) | buffer_[index + 1]);
}

uint32_t RawMessage::getDoubleWord(unsigned index) const {
    if (static_cast<uint64_t>(index) + 4 > buffer_.size()) {
        return 0;
    }
    return (static_cast<uint32_t>(buffer_[index]) << 24) |
           (static_cast<uint32_t>(buffer_[index + 1]) << 16) |
           (static_cast<uint32_t>(buffer_[index + 2]) << 8) |
           static_cast<uint32_t>(buffer_[index + 3]);
}

int32_t RawMessage::getInt(unsigned index) const {
    return static_cast<int32_t>(getDoubleWord(index));
}

float RawMessage::getFloat(unsigned index) const {
    if (static_cast<uint64_t>(index) + 4 > buffer_.size()) {
        return 0.0f;
    }
    const uint32_t bits = getDoubleWord(index);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void RawMessage::write(const char* data, unsigned len) {
    if (data == nullptr || len == 0) {
        return;
    }
    buffer_.insert(buffer_.end(), reinterpret_cast<const unsigned char*>(data),
                   reinterpret_cast<const unsigned char*>(data) + len);
}

void RawMessage::write(int value) {
    write(static_cast<unsigned>(value));
}

void RawMessage::write(unsigned value) {
    buffer_.push_back(static_cast<unsigned char>(value >> 24));
    buffer_.push_back(static_cast<unsigned char>(value >> 16));
    buffer_.push_back(static_cast<unsigned char>(value >> 8));
    buffer_.push_back(static_cast<unsigned char>(value));
}

void RawMessage::write(float value) {
    write(floatBits(value));
}

void RawMessage::write(unsigned char value) {
    buffer_.push_back(value);
}

void RawMessage::writeAt(unsigned index, unsigned value) {
    // At least one byte must follow the four written ones.
    if (static_cast<uint64_t>(index) + 4 >= buffer_.size()) {
        return;
    }
    buffer_[index] = static_cast<unsigned char>(value >> 24);
    buffer_[index + 1] = static_cast<unsigned char>(value >> 16);
    buffer_[index + 2] = static_cast<unsigned char>(value >> 8);
    buffer_[index + 3] = static_cast<unsigned char>(value);
}

void RawMessage::writeAt(unsigned index, unsigned char value) {
    if (index >= buffer_.size()) {
        return;
    }
    buffer_[index] = value;
}

void RawMessage::show() const {
    for (std::size_t i = 0; i < buffer_.size(); ++i) {
        std::printf("0x%02x ", static_cast<unsigned>(buffer_[i]));
        if (i % 4 == 3) {
            std::printf("\n");
        }
    }
    std::fflush(stdout);
}

RawMessage::Type RawMessage::typeFromFrameKind(uint32_t kind) {
    switch (kind) {
        case FRAME_KIND_DATA:
            return MSG_DATA;
        case FRAME_KIND_FLOW_CONTROL:
            return MSG_FLOW_CONTROL;
        default:
            return MSG_INVALID;
    }
}

bool RawMessage::buildFrame(const RawMessage& payload, RawMessage& frame) {
    frame.buffer_.clear();
    frame.type_ = payload.type_;
    if (payload.type_ == MSG_INVALID) {
        return false;
    }
    frame.buffer_.reserve(HEADER_SIZE + payload.buffer_.size());
    frame.buffer_.assign(sHeader, sHeader + HEADER_SIZE);
    frame.buffer_.insert(frame.buffer_.end(), payload.buffer_.begin(), payload.buffer_.end());
    if (payload.type_ == MSG_DATA) {
        // Sub-header bytes 4..7 carry the payload length.
        frame.writeAt(HEADER_SIZE + 4, payload.size());
    } else {
        frame.writeAt(8, FRAME_KIND_FLOW_CONTROL);
        frame.writeAt(12, 2u);
        frame.writeAt(31, static_cast<unsigned char>(0xFE));
    }
    frame.writeAt(0, HEADER_SIZE + payload.size());
    return true;
}

RawMessage::HeaderStatus RawMessage::parseFrameHeader(const RawMessage& header,
                                                      uint32_t& frameLength,
                                                      uint32_t& payloadLength, Type& type) {
    frameLength = header.getDoubleWord(0);
    if (header.size() < HEADER_SIZE) {
        return HEADER_INCOMPLETE;
    }
    if (frameLength <= HEADER_SIZE || frameLength - HEADER_SIZE > MAX_PAYLOAD_SIZE) {
        return HEADER_INVALID_LENGTH;
    }
    payloadLength = frameLength - HEADER_SIZE;
    type = typeFromFrameKind(header.getDoubleWord(8));
    return HEADER_OK;
}

}  // namespace com_nax
