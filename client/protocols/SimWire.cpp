#include "client/protocols/SimWire.h"

namespace com_nax {
namespace simwire {

namespace {

constexpr std::uint32_t kOutputEntryConstant = 1200;  // the server's expected value; opaque here

std::uint32_t idWord(std::uint32_t simulatorId) {
    return simulatorId << 16;
}

wire::Bytes head(std::uint16_t code) {
    return wire::messageHead(kProtocol, kSubprotocol, code);
}

}  // namespace

wire::Bytes inputSubscription(std::uint32_t simulatorId, const std::vector<InputItem>& items) {
    return wire::listRequest(head(kCodeInputSubscription), {idWord(simulatorId)}, items,
                             [](wire::ByteWriter& w, const InputItem& item) {
                                 const std::uint32_t rate = wire::rateWord(item.rate);
                                 w.u32(rate);
                                 w.u32(rate);
                                 w.u32(item.isInt ? 1 : 0);
                                 w.fixedText(item.id);
                             });
}

wire::Bytes outputRegistration(std::uint32_t simulatorId, const std::vector<OutputItem>& items) {
    return wire::listRequest(head(kCodeOutputRegistration), {idWord(simulatorId)}, items,
                             [](wire::ByteWriter& w, const OutputItem& item) {
                                 w.u32(kOutputEntryConstant);
                                 w.u32(item.isInt ? 1 : 0);
                                 w.fixedText(item.id);
                             });
}

wire::Bytes unregistration(std::uint16_t code, std::uint32_t simulatorId,
                           const std::vector<std::uint32_t>& serverIds) {
    return wire::listRequest(head(code), {idWord(simulatorId)}, serverIds,
                             [](wire::ByteWriter& w, std::uint32_t id) { w.u32(id); });
}

wire::Bytes publish(std::uint32_t simulatorId, std::uint32_t mode,
                    const std::vector<PublishItem>& items) {
    return wire::listRequest(head(kCodePublish), {idWord(simulatorId), mode}, items,
                             [](wire::ByteWriter& w, const PublishItem& item) {
                                 w.u32(item.serverId);
                                 w.u32(item.isInt ? 1 : 0);
                                 w.u32(item.valueBits);
                             });
}

wire::Bytes versionRequest(std::uint32_t simulatorId) {
    wire::Bytes out = head(kCodeVersionRequest);
    wire::ByteWriter w(out);
    w.u32(idWord(simulatorId));
    w.u32(0);
    return out;
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
    return wire::readRecords<InputConfirmation>(payload, 16, 20, 52, [](const wire::ByteReader& r) {
        InputConfirmation c;
        c.serverId = r.u32(0);
        c.isInt = r.u32(12) != 0;
        c.valueBits = r.u32(16);
        c.name = r.fixedText(20);
        return c;
    });
}

std::vector<OutputConfirmation> decodeOutputReply(const wire::ByteReader& payload) {
    return wire::readRecords<OutputConfirmation>(
        payload, 16, 20, 48, [](const wire::ByteReader& r) {
            return OutputConfirmation{r.u32(0), r.fixedText(16)};
        });
}

std::vector<UpdateRecord> decodeUpdate(const wire::ByteReader& payload) {
    std::vector<UpdateRecord> out;
    out.reserve(wire::recordCount(payload, kUpdateLayout));
    forEachUpdate(payload, [&](std::uint32_t serverId, bool isInt, std::uint32_t bits) {
        out.push_back({serverId, isInt, bits});
    });
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
