#include "client/protocols/ProtocolWire.h"

namespace com_nax {
namespace wire {

std::uint32_t rateWord(std::int32_t selector) {
    switch (selector) {
        case 1:
            return 12000;
        case 3:
            return 120000;
        default:
            return 0;
    }
}

std::size_t recordsPresent(std::size_t payloadSize, std::size_t first, std::size_t recordSize,
                           std::uint32_t announced) {
    if (recordSize == 0 || payloadSize <= first) {
        return 0;
    }
    const std::size_t fit = (payloadSize - first + recordSize - 1) / recordSize;
    return announced < fit ? announced : fit;
}

Bytes messageHead(std::uint8_t protocol, std::uint8_t subprotocol, std::uint16_t code) {
    return Bytes{protocol,
                 subprotocol,
                 0x7F,
                 0xFF,
                 0,
                 0,
                 0,
                 0,
                 0,
                 0x7F,
                 static_cast<std::uint8_t>(code >> 8),
                 static_cast<std::uint8_t>(code)};
}

}  // namespace wire
}  // namespace com_nax
