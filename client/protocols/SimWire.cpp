#include "client/protocols/SimWire.h"

namespace com_nax {
namespace simwire {

namespace {

constexpr std::uint32_t kOutputEntryConstant = 1200;  // the server's expected value; opaque here

std::uint32_t idWord(std::uint32_t simulatorId) {
    return simulatorId << 16;
}

wire::ByteWriter fromTemplate(const std::uint8_t (&head)[wire::kHeadSize], std::uint16_t code) {
    wire::ByteWriter w(head, wire::kHeadSize);
    w.patchU16(10, code);
    return w;
}

}  // namespace

wire::Bytes inputSubscription(std::uint32_t simulatorId, const std::vector<InputItem>& items) {
    static const std::uint8_t sSubHeader[wire::kHeadSize] = {4, 2, 0x7F, 0xFF, 0, 0,
                                                             0, 0, 0,    0x7F, 0, 1};
    wire::ByteWriter w = fromTemplate(sSubHeader, kCodeInputSubscription);
    w.u32(idWord(simulatorId));
    w.u32(static_cast<std::uint32_t>(items.size()));
    for (const InputItem& item : items) {
        const std::uint32_t rate = wire::rateWord(item.rate);
        w.u32(rate);
        w.u32(rate);
        w.u32(item.isInt ? 1 : 0);
        w.fixedText(item.id);
    }
    return w.data();
}

wire::Bytes outputRegistration(std::uint32_t simulatorId, const std::vector<OutputItem>& items) {
    static const std::uint8_t sPubHeader[wire::kHeadSize] = {4, 2, 0x7F, 0xFF, 0, 0,
                                                             0, 0, 0,    0x7F, 0, 2};
    wire::ByteWriter w = fromTemplate(sPubHeader, kCodeOutputRegistration);
    w.u32(idWord(simulatorId));
    w.u32(static_cast<std::uint32_t>(items.size()));
    for (const OutputItem& item : items) {
        w.u32(kOutputEntryConstant);
        w.u32(item.isInt ? 1 : 0);
        w.fixedText(item.id);
    }
    return w.data();
}

wire::Bytes unregistration(std::uint16_t code, std::uint32_t simulatorId,
                           const std::vector<std::uint32_t>& serverIds) {
    static const std::uint8_t sUnregisterHeader[wire::kHeadSize] = {4, 2, 0x7F, 0xFF, 0, 0,
                                                                    0, 0, 0,    0x7F, 0, 4};
    wire::ByteWriter w = fromTemplate(sUnregisterHeader, code);
    w.u32(idWord(simulatorId));
    w.u32(static_cast<std::uint32_t>(serverIds.size()));
    for (std::uint32_t id : serverIds) {
        w.u32(id);
    }
    return w.data();
}

wire::Bytes publish(std::uint32_t simulatorId, std::uint32_t mode,
                    const std::vector<PublishItem>& items) {
    static const std::uint8_t sUpdateHeader[wire::kHeadSize] = {4, 2, 0x7F, 0xFF, 0, 0,
                                                                0, 0, 0,    0x7F, 0, 3};
    wire::ByteWriter w = fromTemplate(sUpdateHeader, kCodePublish);
    w.u32(idWord(simulatorId));
    w.u32(mode);
    w.u32(static_cast<std::uint32_t>(items.size()));
    for (const PublishItem& item : items) {
        w.u32(item.serverId);
        w.u32(item.isInt ? 1 : 0);
        w.u32(item.valueBits);
    }
    return w.data();
}

wire::Bytes versionRequest(std::uint32_t simulatorId) {
    static const std::uint8_t sPubHeader[wire::kHeadSize] = {4, 2, 0x7F, 0xFF, 0, 0,
                                                             0, 0, 0,    0x7F, 0, 2};
    wire::ByteWriter w = fromTemplate(sPubHeader, kCodeVersionRequest);
    w.u32(idWord(simulatorId));
    w.u32(0);
    return w.data();
}

Kind classify(const wire::ByteReader& payload) {
    if (payload.size() < wire::kHeadSize || payload.u8(0) != kProtocol ||
        payload.u8(1) != kSubprotocol) {
        return Kind::kOther;
    }
    switch (payload.u16(10)) {
        case kCodeOutputReply:
            return Kind::kOutputReply;
        case kCodeInputReply:
            return Kind::kInputReply;
        case kCodeUpdate:
            return Kind::kUpdate;
        case kCodeVersionReply:
            return Kind::kVersionReply;
        default:
            return Kind::kOther;
    }
}

std::vector<InputConfirmation> decodeInputReply(const wire::ByteReader& payload) {
    constexpr std::size_t kFirst = 20;
    constexpr std::size_t kRecord = 52;
    std::vector<InputConfirmation> out;
    const std::size_t n = wire::recordsPresent(payload.size(), kFirst, kRecord, payload.u32(16));
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = kFirst + kRecord * i;
        InputConfirmation c;
        c.serverId = payload.u32(at);
        c.isInt = payload.u32(at + 12) != 0;
        c.valueBits = payload.u32(at + 16);
        c.name = payload.fixedText(at + 20);
        out.push_back(std::move(c));
    }
    return out;
}

std::vector<OutputConfirmation> decodeOutputReply(const wire::ByteReader& payload) {
    constexpr std::size_t kFirst = 20;
    constexpr std::size_t kRecord = 48;
    std::vector<OutputConfirmation> out;
    const std::size_t n = wire::recordsPresent(payload.size(), kFirst, kRecord, payload.u32(16));
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = kFirst + kRecord * i;
        out.push_back({payload.u32(at), payload.fixedText(at + 16)});
    }
    return out;
}

std::vector<UpdateRecord> decodeUpdate(const wire::ByteReader& payload) {
    constexpr std::size_t kFirst = 24;
    constexpr std::size_t kRecord = 12;
    std::vector<UpdateRecord> out;
    const std::size_t n = wire::recordsPresent(payload.size(), kFirst, kRecord, payload.u32(20));
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = kFirst + kRecord * i;
        out.push_back({payload.u32(at), payload.u32(at + 4) != 0, payload.u32(at + 8)});
    }
    return out;
}

VersionReply decodeVersionReply(const wire::ByteReader& payload) {
    VersionReply r;
    r.valid = payload.u32(148) == 1;
    r.idWord = payload.u32(12);
    r.text = payload.fixedText(16, 128);
    r.protocolVersion = payload.u32(144);
    return r;
}

}  // namespace simwire
}  // namespace com_nax
