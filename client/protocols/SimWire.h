#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/protocols/ProtocolWire.h"

namespace com_nax {
namespace simwire {

// Payload layouts of the SIM connection (everything after the 32-byte frame
// header). Builders return whole payloads with the length word left at zero:
// the engine fills it in when it frames the message.

constexpr std::uint8_t kProtocol = 4;
constexpr std::uint8_t kSubprotocol = 2;
constexpr std::uint32_t kMaxSimulatorId = 0x7FFF;

// Request codes.
constexpr std::uint16_t kCodeInputSubscription = 0x0001;
constexpr std::uint16_t kCodeOutputRegistration = 0x0002;
constexpr std::uint16_t kCodePublish = 0x0003;
constexpr std::uint16_t kCodeInputUnsubscription = 0x0004;
constexpr std::uint16_t kCodeOutputUnregistration = 0x0005;
constexpr std::uint16_t kCodeVersionRequest = 0x0006;
// Reply and notice codes.
constexpr std::uint16_t kCodeInputReply = 0x0101;
constexpr std::uint16_t kCodeOutputReply = 0x0102;
constexpr std::uint16_t kCodeUpdate = 0x0003;
constexpr std::uint16_t kCodeVersionReply = 0x0106;

struct InputItem {
    std::string id;
    std::int32_t rate = 0;  // selector 0..3
    bool isInt = false;
};

struct OutputItem {
    std::string id;
    bool isInt = false;
};

struct PublishItem {
    std::uint32_t serverId = 0;
    bool isInt = false;
    std::uint32_t valueBits = 0;  // signed integer or float bit pattern
};

wire::Bytes inputSubscription(std::uint32_t simulatorId, const std::vector<InputItem>& items);
wire::Bytes outputRegistration(std::uint32_t simulatorId, const std::vector<OutputItem>& items);
// `code` is kCodeInputUnsubscription or kCodeOutputUnregistration.
wire::Bytes unregistration(std::uint16_t code, std::uint32_t simulatorId,
                           const std::vector<std::uint32_t>& serverIds);
wire::Bytes publish(std::uint32_t simulatorId, std::uint32_t mode,
                    const std::vector<PublishItem>& items);
wire::Bytes versionRequest(std::uint32_t simulatorId);

// What a received payload is, after the dispatch checks; kOther covers wrong
// protocol bytes, short payloads and codes this client does not handle.
enum class Kind { kOther, kInputReply, kOutputReply, kUpdate, kVersionReply };
Kind classify(const wire::ByteReader& payload);

struct InputConfirmation {
    std::uint32_t serverId = 0;
    bool isInt = false;
    std::uint32_t valueBits = 0;
    std::string name;
};

struct OutputConfirmation {
    std::uint32_t serverId = 0;
    std::string name;
};

struct UpdateRecord {
    std::uint32_t serverId = 0;
    bool isInt = false;
    std::uint32_t valueBits = 0;
};

struct VersionReply {
    bool valid = false;  // status word 1
    std::uint32_t idWord = 0;
    std::string text;
    std::uint32_t protocolVersion = 0;
};

// Update records: server id, integer flag, value.
constexpr wire::RecordLayout kUpdateLayout{20, 24, 12};

// Visits the update records in order: visit(serverId, isInt, valueBits).
template <typename Visit>
void forEachUpdate(const wire::ByteReader& payload, Visit visit) {
    wire::forEachRecord(payload, kUpdateLayout, [&](const wire::ByteReader& r) {
        visit(r.u32(0), r.u32(4) != 0, r.u32(8));
    });
}

std::vector<InputConfirmation> decodeInputReply(const wire::ByteReader& payload);
std::vector<OutputConfirmation> decodeOutputReply(const wire::ByteReader& payload);
std::vector<UpdateRecord> decodeUpdate(const wire::ByteReader& payload);
VersionReply decodeVersionReply(const wire::ByteReader& payload);

}  // namespace simwire
}  // namespace com_nax
