#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulators/sim_server/ByteCodec.h"
#include "emulators/sim_server/Frame.h"
#include "emulators/sim_server/ReceivedMessage.h"

namespace simemu {

// SIM protocol payloads as the server sends them (head 4, 2, 0x7FFF, length,
// 0x007F, code), and the decoder of what clients send. Payloads only: put them
// in a frame with encodeFrame.
namespace sim {

constexpr std::uint8_t kProtocol = 4;
constexpr std::uint8_t kSubprotocol = 2;
constexpr std::uint16_t kInputSubscriptionReply = 0x0101;
constexpr std::uint16_t kOutputRegistrationReply = 0x0102;
constexpr std::uint16_t kSimulatorUpdate = 0x0003;
constexpr std::uint16_t kVersionReply = 0x0106;

struct ReplyRecord {
    std::uint32_t serverId = 0;
    std::string name;
    bool isInt = false;
    double value = 0;
    std::uint32_t rate = 0;  // echoed in the bytes the client skips
};

struct ValueRecord {
    std::uint32_t serverId = 0;
    bool isInt = false;
    double value = 0;
};

// 152 bytes: simulator id in the upper half of word 12, 128-byte text,
// protocol version at 144, status at 148.
Bytes versionReply(std::uint16_t simulatorId, const std::string& text,
                   std::uint32_t protocolVersion, std::uint32_t status = 1);
// 52-byte records: id, rate, rate, integer flag, value, 32-byte name.
Bytes inputSubscriptionReply(std::uint16_t simulatorId, const std::vector<ReplyRecord>& records);
// 48-byte records: id, 1200, integer flag, 0, 32-byte name.
Bytes outputRegistrationReply(std::uint16_t simulatorId, const std::vector<ReplyRecord>& records);
// Code 3: simulator id, 0, N at 20, then 12-byte records id, flag, value.
Bytes simulatorUpdate(std::uint16_t simulatorId, const std::vector<ValueRecord>& records);
// A well-formed head with `code` and the simulator id word, for fault tests.
Bytes bareMessage(std::uint16_t code, std::uint16_t simulatorId);

// The four value bytes: a saturated signed integer or a float.
std::uint32_t valueBits(bool isInt, double value);

ReceivedMessage decode(const Frame& frame);

}  // namespace sim
}  // namespace simemu
