#include "emulators/sim_server/Frame.h"

namespace simemu {

Bytes encodeFrame(std::uint32_t kind, Bytes payload) {
    const bool flow = kind == kFrameKindFlowControl;
    ByteWriter w;
    w.u32(static_cast<std::uint32_t>(kFrameHeaderSize + payload.size()));
    w.u32(static_cast<std::uint32_t>(kFrameHeaderSize));
    w.u32(kind);
    w.u32(flow ? 2 : 0);
    for (int i = 0; i < 15; ++i) {
        w.u8(0xFF);
    }
    w.u8(flow ? 0xFE : 0xFF);
    if (kind == kFrameKindData && payload.size() >= kMessageHeadSize) {
        ByteWriter body(std::move(payload));
        body.patchU32(4, static_cast<std::uint32_t>(body.size()));
        payload = body.take();
    }
    w.raw(payload);
    return w.take();
}

ByteWriter messageHead(std::uint8_t protocol, std::uint8_t subprotocol, std::uint16_t code) {
    ByteWriter w;
    w.u8(protocol).u8(subprotocol).u16(0x7FFF).u32(0).u16(0x007F).u16(code);
    return w;
}

void FrameAssembler::feed(const std::uint8_t* data, std::size_t size) {
    // Compact lazily so that feeding stays linear in the bytes received.
    if (start_ > 0 && start_ >= buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + size);
}

FrameAssembler::Status FrameAssembler::next(Frame& out) {
    ByteReader r(buffer_.data() + start_, buffered());
    std::uint32_t length = 0;
    std::uint32_t kind = 0;
    if (!r.u32(0, length) || !r.u32(8, kind)) {
        return Status::NeedMore;
    }
    if (length <= kFrameHeaderSize || length - kFrameHeaderSize > kMaxPayloadSize) {
        return Status::Invalid;
    }
    if (buffered() < length) {
        return Status::NeedMore;
    }
    const auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(start_ + kFrameHeaderSize);
    out.kind = kind;
    out.payload.assign(first, first + static_cast<std::ptrdiff_t>(length - kFrameHeaderSize));
    start_ += length;
    return Status::Frame;
}

void FrameAssembler::clear() {
    buffer_.clear();
    start_ = 0;
}

}  // namespace simemu
