#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/protocols/ProtocolWire.h"

namespace com_nax {
namespace appwire {

// Payload layouts of the APP connection. Builders return whole payloads with
// the length word left for the engine to fill in (the event subscription's
// template carries its length already, as the server has always seen it).

constexpr std::uint8_t kProtocol = 1;
constexpr std::uint8_t kSubList = 1;     // scenario list and event subscription
constexpr std::uint8_t kSubCommand = 2;  // commands, replies, value updates
constexpr std::uint8_t kSubEvent = 3;    // scenario events

constexpr std::size_t kMaxSubscriptionEntries = 120;

// Requests, subprotocol 2 unless noted.
constexpr std::uint16_t kCodeInputSubscription = 0x0006;
constexpr std::uint16_t kCodeInputUnsubscription = 0x0014;
constexpr std::uint16_t kCodeOutputRegistration = 0x0007;
constexpr std::uint16_t kCodeOutputUnregistration = 0x0015;
constexpr std::uint16_t kCodePublish = 0x0008;
constexpr std::uint16_t kCodePublishNoLog = 0x0038;
constexpr std::uint16_t kCodeSignal = 0x0012;
constexpr std::uint16_t kCodeVersionRequest = 0x0051;
constexpr std::uint16_t kCodeListRequest = 0x0001;        // subprotocol 1
constexpr std::uint16_t kCodeEventSubscription = 0x0020;  // subprotocol 1
constexpr std::uint16_t kCodeRun = 0x0050;
constexpr std::uint16_t kCodeLoad = 0x0002;
constexpr std::uint16_t kCodeStartLoaded = 0x0003;
constexpr std::uint16_t kCodeStop = 0x000E;
constexpr std::uint16_t kCodePause = 0x0005;
constexpr std::uint16_t kCodeSpeed = 0x0004;
constexpr std::uint16_t kCodeDelivery = 0x0030;
constexpr std::uint16_t kCodeAdministerDrug = 0x0013;
constexpr std::uint16_t kCodeResetDrug = 0x0019;
constexpr std::uint16_t kCodeBookmark = 0x000F;
constexpr std::uint16_t kCodeRewind = 0x0010;
constexpr std::uint16_t kCodeSave = 0x000A;
constexpr std::uint16_t kCodeRelayCalibration = 0x0008;  // protocol 4, subprotocol 4

// Received codes.
constexpr std::uint16_t kCodeListResponse = 0x0002;  // subprotocol 1
constexpr std::uint16_t kCodePatientUpdate = 0x0008;
constexpr std::uint16_t kCodeLoadReply = 0x0102;
constexpr std::uint16_t kCodeStartLoadedReply = 0x0103;
constexpr std::uint16_t kCodeInputReply = 0x0106;
constexpr std::uint16_t kCodeOutputReply = 0x0107;
constexpr std::uint16_t kCodeRunReply = 0x0150;
constexpr std::uint16_t kCodeVersionReply = 0x0151;
constexpr std::uint16_t kEventLoaded = 0x0111;
constexpr std::uint16_t kEventStarted = 0x0112;
constexpr std::uint16_t kEventPaused = 0x0113;
constexpr std::uint16_t kEventStopped = 0x0114;
constexpr std::uint16_t kEventReset = 0x0115;
constexpr std::uint16_t kEventSpeed = 0x0117;

struct InputItem {
    std::string id;
    std::int32_t rate = 0;
};

struct PublishItem {
    std::uint32_t serverId = 0;
    float value = 0.0f;
};

// Head of subprotocol 2 requests with the given code.
wire::Bytes commandHead(std::uint16_t code);

wire::Bytes inputSubscription(std::uint32_t sceId, const std::vector<InputItem>& items);
wire::Bytes outputRegistration(std::uint32_t sceId, const std::vector<std::string>& ids);
wire::Bytes unregistration(std::uint16_t code, std::uint32_t sceId,
                           const std::vector<std::uint32_t>& serverIds);
wire::Bytes publish(bool noLog, std::uint32_t sceId, std::uint32_t mode,
                    const std::vector<PublishItem>& items);
wire::Bytes signal(std::uint32_t sceId, std::uint32_t serverId, float value,
                   std::uint32_t argument);
wire::Bytes versionRequest();
wire::Bytes listRequest();
wire::Bytes eventSubscription(std::uint32_t mode, std::int32_t filter);
// Head, then each word in order (the many scenario commands of one or more u32 words).
wire::Bytes command(std::uint16_t code, const std::vector<std::uint32_t>& words);
wire::Bytes changeSpeed(std::uint32_t sceId, float speed);
wire::Bytes administerDrug(std::uint32_t sceId, std::uint32_t mode, float amount,
                           const std::string& drug);
wire::Bytes resetDrug(std::uint32_t sceId, const std::string& drug);
wire::Bytes bookmark(std::uint32_t sceId, std::int32_t number);
wire::Bytes relayCalibration(std::uint32_t first, std::uint32_t second);
// Flow-control payload (no head): five words, or none for an unknown type.
wire::Bytes flowControl(std::uint32_t type);

// Decoded replies. Every decoder reads missing fields as zero.
struct ListResponse {
    std::uint32_t count = 0;
    std::uint32_t sceId = 0;
    std::uint32_t firstKey = 0;
    std::uint32_t state = 0;  // 5 = running
    float speed = 0.0f;
};

struct RunReply {
    std::uint32_t firstKey = 0;
    std::uint32_t secondKey = 0;
    std::uint32_t sceId = 0;
    std::uint32_t status = 0;
};

struct LoadReply {
    bool present = false;  // long enough to act on
    bool success = false;
    std::uint32_t firstKey = 0;
    std::uint32_t sceId = 0;
};

struct StartLoadedReply {
    bool present = false;
    std::uint32_t sceId = 0;
    std::uint32_t status = 0;
};

struct Event {
    bool present = false;  // long enough for its kind
    std::uint16_t code = 0;
    std::uint32_t sceId = 0;
    std::uint32_t firstKey = 0;  // loaded event only
    float speed = 0.0f;          // speed event only
    std::uint32_t status = 0;
};

struct InputConfirmation {
    std::uint32_t serverId = 0;
    float value = 0.0f;
    std::string name;
};

struct OutputConfirmation {
    std::uint32_t serverId = 0;
    std::string name;
};

struct PatientUpdate {
    std::uint32_t kind = 0;
    std::vector<PublishItem> records;  // server id and value
};

struct VersionReply {
    bool valid = false;
    std::string text;
};

// Patient update: the kind word, then records of server id and float value.
constexpr std::size_t kUpdateKindAt = 16;
constexpr wire::RecordLayout kUpdateLayout{20, 24, 8};

// Visits the patient update records in order: visit(serverId, value).
template <typename Visit>
void forEachUpdate(const wire::ByteReader& payload, Visit visit) {
    wire::forEachRecord(payload, kUpdateLayout,
                        [&](const wire::ByteReader& r) { visit(r.u32(0), r.f32(4)); });
}

ListResponse decodeListResponse(const wire::ByteReader& payload);
RunReply decodeRunReply(const wire::ByteReader& payload);
LoadReply decodeLoadReply(const wire::ByteReader& payload);
StartLoadedReply decodeStartLoadedReply(const wire::ByteReader& payload);
Event decodeEvent(const wire::ByteReader& payload);
// Scenario id of a subscription or registration reply.
inline std::uint32_t replySceId(const wire::ByteReader& payload) {
    return payload.u32(12);
}
std::vector<InputConfirmation> decodeInputReply(const wire::ByteReader& payload);
std::vector<OutputConfirmation> decodeOutputReply(const wire::ByteReader& payload);
PatientUpdate decodePatientUpdate(const wire::ByteReader& payload);
VersionReply decodeVersionReply(const wire::ByteReader& payload);

}  // namespace appwire
}  // namespace com_nax
