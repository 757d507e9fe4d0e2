#include "emulators/sim_server/SimMessages.h"

#include <cmath>
#include <limits>

namespace simemu {
namespace sim {

namespace {

constexpr std::uint32_t kOutputRegistrationConstant = 1200;

std::uint32_t simIdWord(std::uint16_t simulatorId) {
    return static_cast<std::uint32_t>(simulatorId) << 16;
}

}  // namespace

std::uint32_t valueBits(bool isInt, double value) {
    if (!isInt) {
        return bitsFromFloat(static_cast<float>(value));
    }
    if (std::isnan(value)) {
        return 0;
    }
    constexpr double lo = std::numeric_limits<std::int32_t>::min();
    constexpr double hi = std::numeric_limits<std::int32_t>::max();
    const double clamped = value < lo ? lo : (value > hi ? hi : value);
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(clamped));
}

Bytes versionReply(std::uint16_t simulatorId, const std::string& text,
                   std::uint32_t protocolVersion, std::uint32_t status) {
    ByteWriter w = messageHead(kProtocol, kSubprotocol, kVersionReply);
    w.u32(simIdWord(simulatorId)).fixedText(text, 128).u32(protocolVersion).u32(status);
    return w.take();
}

Bytes inputSubscriptionReply(std::uint16_t simulatorId, const std::vector<ReplyRecord>& records) {
    ByteWriter w = messageHead(kProtocol, kSubprotocol, kInputSubscriptionReply);
    w.u32(simIdWord(simulatorId)).u32(static_cast<std::uint32_t>(records.size()));
    for (const auto& rec : records) {
        w.u32(rec.serverId).u32(rec.rate).u32(rec.rate).u32(rec.isInt ? 1 : 0);
        w.u32(valueBits(rec.isInt, rec.value)).fixedText(rec.name, 32);
    }
    return w.take();
}

Bytes outputRegistrationReply(std::uint16_t simulatorId, const std::vector<ReplyRecord>& records) {
    ByteWriter w = messageHead(kProtocol, kSubprotocol, kOutputRegistrationReply);
    w.u32(simIdWord(simulatorId)).u32(static_cast<std::uint32_t>(records.size()));
    for (const auto& rec : records) {
        w.u32(rec.serverId).u32(kOutputRegistrationConstant).u32(rec.isInt ? 1 : 0).u32(0);
        w.fixedText(rec.name, 32);
    }
    return w.take();
}

Bytes simulatorUpdate(std::uint16_t simulatorId, const std::vector<ValueRecord>& records) {
    ByteWriter w = messageHead(kProtocol, kSubprotocol, kSimulatorUpdate);
    w.u32(simIdWord(simulatorId)).u32(0).u32(static_cast<std::uint32_t>(records.size()));
    for (const auto& rec : records) {
        w.u32(rec.serverId).u32(rec.isInt ? 1 : 0).u32(valueBits(rec.isInt, rec.value));
    }
    return w.take();
}

Bytes bareMessage(std::uint16_t code, std::uint16_t simulatorId) {
    ByteWriter w = messageHead(kProtocol, kSubprotocol, code);
    w.u32(simIdWord(simulatorId));
    return w.take();
}

ReceivedMessage decode(const Frame& frame) {
    ReceivedMessage m;
    m.protocol = Protocol::Sim;
    m.kind = MessageKind::SimUnknown;
    m.frameKind = frame.kind;
    m.payload = frame.payload;
    const ByteReader r(frame.payload);
    r.u8(0, m.protocolByte);
    r.u8(1, m.subprotocol);
    if (frame.kind != kFrameKindData || !r.u16(10, m.code) || m.protocolByte != kProtocol ||
        m.subprotocol != kSubprotocol) {
        m.malformed = r.size() < kMessageHeadSize;
        return m;
    }
    m.words = wordsFrom(r, 12);
    std::uint32_t idWord = 0;
    const bool hasId = r.u32(12, idWord);
    m.scope = idWord >> 16;

    bool ok = hasId;
    switch (m.code) {
        case 1:
            m.kind = MessageKind::SimInputSubscription;
            ok = ok && forEachRecord(r, 16, 44, [&](std::size_t at) {
                     RecordedEntry e;
                     r.u32(at, e.rate);
                     r.u32(at + 8, e.intFlag);
                     r.fixedText(at + 12, 32, e.name);
                     m.entries.push_back(e);
                 });
            break;
        case 2:
            m.kind = MessageKind::SimOutputRegistration;
            ok = ok && forEachRecord(r, 16, 40, [&](std::size_t at) {
                     RecordedEntry e;
                     r.u32(at + 4, e.intFlag);
                     r.fixedText(at + 8, 32, e.name);
                     m.entries.push_back(e);
                 });
            break;
        case 4:
        case 5:
            m.kind = m.code == 4 ? MessageKind::SimInputUnsubscription
                                 : MessageKind::SimOutputUnregistration;
            ok = ok && forEachRecord(r, 16, 4, [&](std::size_t at) {
                     RecordedEntry e;
                     r.u32(at, e.serverId);
                     m.entries.push_back(e);
                 });
            break;
        case 3:
            m.kind = MessageKind::SimPublish;
            ok = ok && r.u32(16, m.mode) && forEachRecord(r, 20, 12, [&](std::size_t at) {
                     RecordedEntry e;
                     std::uint32_t bits = 0;
                     r.u32(at, e.serverId);
                     r.u32(at + 4, e.intFlag);
                     r.u32(at + 8, bits);
                     e.value = e.intFlag != 0 ? static_cast<double>(static_cast<std::int32_t>(bits))
                                              : static_cast<double>(floatFromBits(bits));
                     m.entries.push_back(e);
                 });
            break;
        case 6:
            m.kind = MessageKind::SimVersionRequest;
            break;
        default:
            break;
    }
    m.malformed = !ok && m.kind != MessageKind::SimUnknown;
    return m;
}

}  // namespace sim
}  // namespace simemu
