#include "client/core/RawMessage.h"

#include <cstdio>

namespace com_nax {

namespace {

// Frame header template: length (patched), header length 32, kind 0, reserved 0,
// sixteen bytes 0xFF.
const unsigned char sHeader[RawMessage::HEADER_SIZE] = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

constexpr uint32_t FRAME_KIND_DATA = 0;
constexpr uint32_t FRAME_KIND_FLOW_CONTROL = 3;

}  // namespace

RawMessage::RawMessage(Type type) : type_(type) {}

RawMessage::RawMessage(const char* data, unsigned size, Type type) : type_(type) {
    writer().bytes(data, size);
}

int RawMessage::getProtocol() const {
    return static_cast<int8_t>(reader().u8(0));
}

int RawMessage::getSubprotocol() const {
    return static_cast<int8_t>(reader().u8(1));
}

uint16_t RawMessage::getWord(unsigned index) const {
    return reader().u16(index);
}

uint32_t RawMessage::getDoubleWord(unsigned index) const {
    return reader().u32(index);
}

int32_t RawMessage::getInt(unsigned index) const {
    return reader().s32(index);
}

float RawMessage::getFloat(unsigned index) const {
    return reader().f32(index);
}

void RawMessage::write(const char* data, unsigned len) {
    writer().bytes(data, len);
}

void RawMessage::write(int value) {
    writer().s32(value);
}

void RawMessage::write(unsigned value) {
    writer().u32(value);
}

void RawMessage::write(float value) {
    writer().f32(value);
}

void RawMessage::write(unsigned char value) {
    writer().u8(value);
}

void RawMessage::writeAt(unsigned index, unsigned value) {
    // At least one byte must follow the four written ones.
    if (static_cast<uint64_t>(index) + 4 >= buffer_.size()) {
        return;
    }
    writer().patchU32(index, value);
}

void RawMessage::writeAt(unsigned index, unsigned char value) {
    writer().patchU8(index, value);
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
    ByteWriter w = frame.writer();
    w.bytes(sHeader, HEADER_SIZE).bytes(payload.data(), payload.size());
    if (payload.type_ == MSG_DATA) {
        // Sub-header bytes 4..7 carry the payload length.
        frame.writeAt(HEADER_SIZE + 4, payload.size());
    } else {
        w.patchU32(8, FRAME_KIND_FLOW_CONTROL);
        w.patchU32(12, 2u);
        w.patchU8(31, 0xFE);
    }
    w.patchU32(0, HEADER_SIZE + payload.size());
    return true;
}

RawMessage::HeaderStatus RawMessage::parseFrameHeader(const RawMessage& header,
                                                      uint32_t& frameLength,
                                                      uint32_t& payloadLength, Type& type) {
    return parseFrameHeader(header.data(), header.size(), frameLength, payloadLength, type);
}

RawMessage::HeaderStatus RawMessage::parseFrameHeader(const unsigned char* data, unsigned size,
                                                      uint32_t& frameLength,
                                                      uint32_t& payloadLength, Type& type) {
    const ByteReader r(data, size);
    frameLength = r.u32(0);
    if (r.size() < HEADER_SIZE) {
        return HEADER_INCOMPLETE;
    }
    if (frameLength <= HEADER_SIZE || frameLength - HEADER_SIZE > MAX_PAYLOAD_SIZE) {
        return HEADER_INVALID_LENGTH;
    }
    payloadLength = frameLength - HEADER_SIZE;
    type = typeFromFrameKind(r.u32(8));
    return HEADER_OK;
}

}  // namespace com_nax
