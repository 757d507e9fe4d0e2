#include "emulators/sim_server/AppMessages.h"

namespace simemu {
namespace app {

namespace {

constexpr std::uint32_t kOutputRegistrationConstant = 1200;

// Text from `offset` up to a zero byte; false when the buffer ends first.
bool terminatedText(const ByteReader& r, std::size_t offset, std::string& out) {
    out.clear();
    std::uint8_t c = 0;
    for (std::size_t at = offset; r.u8(at, c); ++at) {
        if (c == 0) {
            return true;
        }
        out.push_back(static_cast<char>(c));
    }
    return false;
}

MessageKind dataKind(std::uint16_t code) {
    switch (code) {
        case 0x0006:
            return MessageKind::AppInputSubscription;
        case 0x0014:
            return MessageKind::AppInputUnsubscription;
        case 0x0007:
            return MessageKind::AppOutputRegistration;
        case 0x0015:
            return MessageKind::AppOutputUnregistration;
        case 0x0008:
        case 0x0038:
            return MessageKind::AppPublish;
        case 0x0012:
            return MessageKind::AppSignal;
        case 0x0051:
            return MessageKind::AppVersionRequest;
        case 0x0050:
            return MessageKind::AppRunScenario;
        case 0x0002:
            return MessageKind::AppLoadScenario;
        case 0x0003:
            return MessageKind::AppStartLoaded;
        case 0x000E:
            return MessageKind::AppStopScenario;
        case 0x0005:
            return MessageKind::AppPause;
        case 0x0004:
            return MessageKind::AppChangeSpeed;
        case 0x0030:
            return MessageKind::AppDelivery;
        case 0x0013:
            return MessageKind::AppAdministerDrug;
        case 0x0019:
            return MessageKind::AppResetDrug;
        case 0x000F:
            return MessageKind::AppBookmark;
        case 0x0010:
            return MessageKind::AppRewind;
        case 0x000A:
            return MessageKind::AppSave;
        default:
            return MessageKind::AppUnknown;
    }
}

// Payload bytes each fixed-layout request needs.
std::size_t minimumSize(MessageKind k) {
    switch (k) {
        case MessageKind::AppEventSubscription:
            return 16;
        case MessageKind::AppScenarioListRequest:
            return 12;
        case MessageKind::AppVersionRequest:
            return 16;
        case MessageKind::AppRunScenario:
        case MessageKind::AppLoadScenario:
        case MessageKind::AppStartLoaded:
        case MessageKind::AppPause:
        case MessageKind::AppChangeSpeed:
        case MessageKind::AppRewind:
        case MessageKind::AppSave:
            return 20;
        case MessageKind::AppStopScenario:
            return 16;
        case MessageKind::AppDelivery:
            return 24;
        case MessageKind::AppSignal:
            return 36;
        case MessageKind::AppRelayCalibration:
            return 24;
        default:
            return 12;
    }
}

}  // namespace

Bytes flowControlAnswer() {
    ByteWriter w;
    w.u32(1).u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(3);
    return w.take();
}

Bytes scenarioList(std::uint32_t count, std::uint32_t sceId, std::uint32_t firstKey,
                   std::uint32_t state, float speed) {
    ByteWriter w = messageHead(kProtocol, kSubList, kScenarioList);
    w.u32(count).u32(sceId).u32(firstKey).u32(state).f32(speed);
    return w.take();
}

Bytes versionReply(const std::string& text, std::uint32_t status) {
    ByteWriter w = messageHead(kProtocol, kSubData, kVersionReply);
    w.fixedText(text, 128).u32(0).u32(status);  // 140..143 unused by the client
    return w.take();
}

Bytes inputSubscriptionReply(std::uint32_t sceId, const std::vector<ReplyRecord>& records) {
    ByteWriter w = messageHead(kProtocol, kSubData, kInputSubscriptionReply);
    w.u32(sceId).u32(static_cast<std::uint32_t>(records.size()));
    for (const auto& r : records) {
        w.u32(r.serverId).u32(r.rate).u32(0).f32(r.value).fixedText(r.name, 32);
    }
    return w.take();
}

Bytes outputRegistrationReply(std::uint32_t sceId, const std::vector<ReplyRecord>& records) {
    ByteWriter w = messageHead(kProtocol, kSubData, kOutputRegistrationReply);
    w.u32(sceId).u32(static_cast<std::uint32_t>(records.size()));
    for (const auto& r : records) {
        w.u32(r.serverId).u32(kOutputRegistrationConstant).u32(0).fixedText(r.name, 32);
    }
    return w.take();
}

Bytes patientUpdate(std::uint32_t sceId, std::uint32_t updateKind,
                    const std::vector<ValueRecord>& records) {
    ByteWriter w = messageHead(kProtocol, kSubData, kPatientUpdate);
    w.u32(sceId).u32(updateKind).u32(static_cast<std::uint32_t>(records.size()));
    for (const auto& r : records) {
        w.u32(r.serverId).f32(r.value);
    }
    return w.take();
}

Bytes runReply(std::uint32_t firstKey, std::uint32_t secondKey, std::uint32_t sceId,
               std::uint32_t status) {
    ByteWriter w = messageHead(kProtocol, kSubData, kRunReply);
    w.u32(firstKey).u32(secondKey).u32(sceId).u32(status);
    return w.take();
}

Bytes loadReply(std::uint32_t firstKey, std::uint32_t sceId, std::uint32_t status) {
    ByteWriter w = messageHead(kProtocol, kSubData, kLoadReply);
    w.u32(0).u32(firstKey).u32(sceId).u32(status);
    return w.take();
}

Bytes startLoadedReply(std::uint32_t sceId, std::uint32_t status) {
    ByteWriter w = messageHead(kProtocol, kSubData, kStartLoadedReply);
    w.u32(sceId).u32(status);
    return w.take();
}

Bytes loadedEvent(std::uint32_t sceId, std::uint32_t firstKey, std::uint32_t status) {
    ByteWriter w = messageHead(kProtocol, kSubEvent, kEventLoaded);
    w.u32(sceId).u32(firstKey).u32(status);
    return w.take();
}

Bytes scenarioEvent(std::uint16_t code, std::uint32_t sceId, std::uint32_t status) {
    ByteWriter w = messageHead(kProtocol, kSubEvent, code);
    w.u32(sceId).u32(status);
    return w.take();
}

Bytes speedEvent(std::uint32_t sceId, float speed, std::uint32_t status) {
    ByteWriter w = messageHead(kProtocol, kSubEvent, kEventSpeed);
    w.u32(sceId).f32(speed).u32(status);
    return w.take();
}

Bytes bareMessage(std::uint8_t subprotocol, std::uint16_t code, std::uint32_t word) {
    ByteWriter w = messageHead(kProtocol, subprotocol, code);
    w.u32(word);
    return w.take();
}

ReceivedMessage decode(const Frame& frame) {
    ReceivedMessage m;
    m.protocol = Protocol::App;
    m.kind = MessageKind::AppUnknown;
    m.frameKind = frame.kind;
    m.payload = frame.payload;
    const ByteReader r(frame.payload);
    if (frame.kind == kFrameKindFlowControl) {
        m.kind = MessageKind::AppFlowControl;
        m.words = wordsFrom(r, 0);
        m.malformed = !r.u32(0, m.mode);
        return m;
    }
    r.u8(0, m.protocolByte);
    r.u8(1, m.subprotocol);
    if (frame.kind != kFrameKindData || !r.u16(10, m.code)) {
        m.malformed = frame.kind == kFrameKindData;
        return m;
    }
    m.words = wordsFrom(r, 12);
    r.u32(12, m.scope);
    // The client library does not look at the protocol byte of APP messages,
    // except for the relay calibration command, which borrows the SIM numbers.
    if (m.protocolByte == 4 && m.subprotocol == 4 && m.code == 0x0008) {
        m.kind = MessageKind::AppRelayCalibration;
    } else if (m.subprotocol == kSubList) {
        m.kind = m.code == 0x0001   ? MessageKind::AppScenarioListRequest
                 : m.code == 0x0020 ? MessageKind::AppEventSubscription
                                    : MessageKind::AppUnknown;
        if (m.kind == MessageKind::AppEventSubscription) {
            m.mode = m.scope;
        }
    } else if (m.subprotocol == kSubData) {
        m.kind = dataKind(m.code);
    }
    bool ok = r.size() >= minimumSize(m.kind);
    switch (m.kind) {
        case MessageKind::AppInputSubscription:
            ok = ok && forEachRecord(r, 16, 40, [&](std::size_t at) {
                     RecordedEntry e;
                     r.u32(at, e.rate);
                     r.fixedText(at + 8, 32, e.name);
                     m.entries.push_back(e);
                 });
            break;
        case MessageKind::AppOutputRegistration:
            ok = ok && forEachRecord(r, 16, 36, [&](std::size_t at) {
                     RecordedEntry e;
                     r.fixedText(at + 4, 32, e.name);
                     m.entries.push_back(e);
                 });
            break;
        case MessageKind::AppInputUnsubscription:
        case MessageKind::AppOutputUnregistration:
            ok = ok && forEachRecord(r, 16, 4, [&](std::size_t at) {
                     RecordedEntry e;
                     r.u32(at, e.serverId);
                     m.entries.push_back(e);
                 });
            break;
        case MessageKind::AppPublish:
            ok = ok && r.u32(16, m.mode) && forEachRecord(r, 20, 8, [&](std::size_t at) {
                     RecordedEntry e;
                     float v = 0;
                     r.u32(at, e.serverId);
                     r.f32(at + 4, v);
                     e.value = v;
                     m.entries.push_back(e);
                 });
            break;
        case MessageKind::AppSignal:
            if (ok) {
                RecordedEntry e;
                float v = 0;
                r.u32(24, e.serverId);
                r.f32(28, v);
                e.value = v;
                r.u32(32, m.mode);
                m.entries.push_back(e);
            }
            break;
        case MessageKind::AppAdministerDrug:
            ok = ok && r.u32(20, m.mode) && terminatedText(r, 28, m.text);
            break;
        case MessageKind::AppResetDrug:
            ok = ok && terminatedText(r, 20, m.text);
            break;
        case MessageKind::AppBookmark: {
            std::int32_t len = -1;
            ok = ok && r.i32(16, len) && len >= 0 && r.has(20, static_cast<std::size_t>(len)) &&
                 r.fixedText(20, static_cast<std::size_t>(len), m.text);
            break;
        }
        default:
            break;
    }
    m.malformed = !ok;
    return m;
}

}  // namespace app
}  // namespace simemu
