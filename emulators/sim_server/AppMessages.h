#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "emulators/sim_server/ByteCodec.h"
#include "emulators/sim_server/Frame.h"
#include "emulators/sim_server/ReceivedMessage.h"

namespace simemu {

// APP protocol payloads as the server sends them (protocol byte 1; subprotocol
// 1 scenario list, 2 replies and values, 3 events), and the decoder of what
// clients send. Payloads only: put them in a frame with encodeFrame.
namespace app {

constexpr std::uint8_t kProtocol = 1;
constexpr std::uint8_t kSubList = 1;
constexpr std::uint8_t kSubData = 2;
constexpr std::uint8_t kSubEvent = 3;

constexpr std::uint16_t kScenarioList = 0x0002;  // subprotocol 1
constexpr std::uint16_t kPatientUpdate = 0x0008;
constexpr std::uint16_t kLoadReply = 0x0102;
constexpr std::uint16_t kStartLoadedReply = 0x0103;
constexpr std::uint16_t kInputSubscriptionReply = 0x0106;
constexpr std::uint16_t kOutputRegistrationReply = 0x0107;
constexpr std::uint16_t kRunReply = 0x0150;
constexpr std::uint16_t kVersionReply = 0x0151;
constexpr std::uint16_t kEventLoaded = 0x0111;
constexpr std::uint16_t kEventStarted = 0x0112;
constexpr std::uint16_t kEventPaused = 0x0113;
constexpr std::uint16_t kEventStopped = 0x0114;
constexpr std::uint16_t kEventReset = 0x0115;
constexpr std::uint16_t kEventSpeed = 0x0117;

constexpr std::uint32_t kScenarioStateRunning = 5;
constexpr std::uint32_t kScenarioStateIdle = 3;  // listed but not running (loaded)

constexpr std::uint32_t kFlowStart = 0;
constexpr std::uint32_t kFlowKeepAlive = 3;

struct ReplyRecord {
    std::uint32_t serverId = 0;
    std::string name;
    float value = 0;
    std::uint32_t rate = 0;  // echoed in the bytes the client skips
};

struct ValueRecord {
    std::uint32_t serverId = 0;
    float value = 0;
};

// Flow-control answer to a start: five words 1, -1, -1, -1, 3 (no head).
Bytes flowControlAnswer();
// Subprotocol 1, 0x0002: count, scenario id, first key, state, speed.
Bytes scenarioList(std::uint32_t count, std::uint32_t sceId, std::uint32_t firstKey,
                   std::uint32_t state, float speed);
// 0x0151: 128-byte text at 12, 0 at 140, status at 144 (148 bytes).
Bytes versionReply(const std::string& text, std::uint32_t status = 1);
// 0x0106: scenario id, N, 48-byte records id, rate, 0, float value, 32-byte name.
Bytes inputSubscriptionReply(std::uint32_t sceId, const std::vector<ReplyRecord>& records);
// 0x0107: scenario id, N, 44-byte records id, 1200, 0, 32-byte name.
Bytes outputRegistrationReply(std::uint32_t sceId, const std::vector<ReplyRecord>& records);
// 0x0008: scenario id, update kind, N, 8-byte records id, float.
Bytes patientUpdate(std::uint32_t sceId, std::uint32_t updateKind,
                    const std::vector<ValueRecord>& records);
// 0x0150: first key, second key, scenario id, status.
Bytes runReply(std::uint32_t firstKey, std::uint32_t secondKey, std::uint32_t sceId,
               std::uint32_t status);
// 0x0102, 28 bytes: 0, first key, scenario id, status.
Bytes loadReply(std::uint32_t firstKey, std::uint32_t sceId, std::uint32_t status);
// 0x0103: scenario id, status (0 = refused).
Bytes startLoadedReply(std::uint32_t sceId, std::uint32_t status);
// Subprotocol 3, 0x0111: scenario id, first key, status.
Bytes loadedEvent(std::uint32_t sceId, std::uint32_t firstKey, std::uint32_t status);
// Subprotocol 3, 0x0112 to 0x0115: scenario id, status.
Bytes scenarioEvent(std::uint16_t code, std::uint32_t sceId, std::uint32_t status);
// Subprotocol 3, 0x0117: scenario id, float speed, status.
Bytes speedEvent(std::uint32_t sceId, float speed, std::uint32_t status);
// A well-formed head with `code` and one word, for fault tests.
Bytes bareMessage(std::uint8_t subprotocol, std::uint16_t code, std::uint32_t word);

ReceivedMessage decode(const Frame& frame);

}  // namespace app
}  // namespace simemu
