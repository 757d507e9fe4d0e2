#include "client/protocols/AppWire.h"

namespace com_nax {
namespace appwire {

namespace {

constexpr std::uint32_t kOutputEntryConstant = 1200;  // the server's expected value; opaque here
constexpr std::uint32_t kNoFilter = 0x7FFFFFFF;

}  // namespace

wire::Bytes commandHead(std::uint16_t code) {
    return wire::messageHead(kProtocol, kSubCommand, code);
}

wire::Bytes inputSubscription(std::uint32_t sceId, const std::vector<InputItem>& items) {
    return wire::listRequest(commandHead(kCodeInputSubscription), {sceId}, items,
                             [](wire::ByteWriter& w, const InputItem& item) {
                                 w.u32(wire::rateWord(item.rate));
                                 w.u32(0);
                                 w.fixedText(item.id);
                             });
}

wire::Bytes outputRegistration(std::uint32_t sceId, const std::vector<std::string>& ids) {
    return wire::listRequest(commandHead(kCodeOutputRegistration), {sceId}, ids,
                             [](wire::ByteWriter& w, const std::string& id) {
                                 w.u32(kOutputEntryConstant);
                                 w.fixedText(id);
                             });
}

wire::Bytes unregistration(std::uint16_t code, std::uint32_t sceId,
                           const std::vector<std::uint32_t>& serverIds) {
    return wire::listRequest(commandHead(code), {sceId}, serverIds,
                             [](wire::ByteWriter& w, std::uint32_t id) { w.u32(id); });
}

wire::Bytes publish(bool noLog, std::uint32_t sceId, std::uint32_t mode,
                    const std::vector<PublishItem>& items) {
    return wire::listRequest(commandHead(noLog ? kCodePublishNoLog : kCodePublish), {sceId, mode},
                             items, [](wire::ByteWriter& w, const PublishItem& item) {
                                 w.u32(item.serverId);
                                 w.f32(item.value);
                             });
}

wire::Bytes signal(std::uint32_t sceId, std::uint32_t serverId, float value,
                   std::uint32_t argument) {
    wire::Bytes out = commandHead(kCodeSignal);
    wire::ByteWriter w(out);
    w.u32(sceId);
    w.u32(0);
    w.u32(1);
    w.u32(serverId);
    w.f32(value);
    w.u32(argument);
    return out;
}

wire::Bytes versionRequest() {
    wire::Bytes out = commandHead(kCodeVersionRequest);
    wire::ByteWriter w(out);
    w.u32(0);
    return out;
}

wire::Bytes listRequest() {
    return wire::messageHead(kProtocol, kSubList, kCodeListRequest);
}

wire::Bytes eventSubscription(std::uint32_t mode, std::int32_t filter) {
    static const std::uint8_t sEventHeader[wire::kHeadSize] = {1, 1,    0x7F, 0xFF, 0, 0,
                                                               0, 0x1C, 0,    0x7F, 0, 0x20};
    wire::Bytes out(sEventHeader, sEventHeader + wire::kHeadSize);
    wire::ByteWriter w(out);
    w.u32(mode);
    // Three filter words: the filter stands in the one its mode names, the others
    // say "no filter"; modes this client does not know carry none.
    int slot = -1;
    switch (mode) {
        case 0:
        case 1:
        case 2:
        case 4:
            break;
        case 256:
            slot = 0;
            break;
        case 512:
            slot = 1;
            break;
        case 2048:
            slot = 2;
            break;
        default:
            return out;
    }
    for (int i = 0; i < 3; ++i) {
        w.u32(i == slot ? static_cast<std::uint32_t>(filter) : kNoFilter);
    }
    return out;
}

wire::Bytes command(std::uint16_t code, const std::vector<std::uint32_t>& words) {
    wire::Bytes out = commandHead(code);
    wire::ByteWriter w(out);
    for (std::uint32_t word : words) {
        w.u32(word);
    }
    return out;
}

wire::Bytes changeSpeed(std::uint32_t sceId, float speed) {
    wire::Bytes out = commandHead(kCodeSpeed);
    wire::ByteWriter w(out);
    w.u32(sceId);
    w.f32(speed);
    return out;
}

wire::Bytes administerDrug(std::uint32_t sceId, std::uint32_t mode, float amount,
                           const std::string& drug) {
    wire::Bytes out = commandHead(kCodeAdministerDrug);
    wire::ByteWriter w(out);
    w.u32(sceId);
    w.u32(0);
    w.u32(mode);
    w.f32(amount);
    w.bytes(drug.data(), drug.size());
    w.u8(0);
    return out;
}

wire::Bytes resetDrug(std::uint32_t sceId, const std::string& drug) {
    wire::Bytes out = commandHead(kCodeResetDrug);
    wire::ByteWriter w(out);
    w.u32(sceId);
    w.u32(0);
    w.bytes(drug.data(), drug.size());
    w.u8(0);
    return out;
}

wire::Bytes bookmark(std::uint32_t sceId, std::int32_t number) {
    const std::string text = std::to_string(number);
    wire::Bytes out = commandHead(kCodeBookmark);
    wire::ByteWriter w(out);
    w.u32(sceId);
    w.s32(static_cast<std::int32_t>(text.size()));
    w.bytes(text.data(), text.size());
    return out;
}

wire::Bytes relayCalibration(std::uint32_t first, std::uint32_t second) {
    // Protocol 4, subprotocol 4: the relay's calibration travels outside the APP codes.
    wire::Bytes out = wire::messageHead(4, 4, kCodeRelayCalibration);
    wire::ByteWriter w(out);
    w.s32(1);
    w.u32(first);
    w.u32(second);
    return out;
}

wire::Bytes flowControl(std::uint32_t type) {
    wire::Bytes out;
    wire::ByteWriter w(out);
    switch (type) {
        case 0:
            w.u32(0);
            w.u32(0xFFFFFFFF);
            w.u32(0xFFFFFFFF);
            w.u32(0xFFFFFFFF);
            w.u32(3);
            break;
        case 2:
        case 3:
            w.u32(type);
            for (int i = 0; i < 4; ++i) {
                w.u32(0xFFFFFFFF);
            }
            break;
        default:
            break;
    }
    return out;
}

ListResponse decodeListResponse(const wire::ByteReader& payload) {
    ListResponse r;
    r.count = payload.u32(12);
    r.sceId = payload.u32(16);
    r.firstKey = payload.u32(20);
    r.state = payload.u32(24);
    r.speed = payload.f32(28);
    return r;
}

RunReply decodeRunReply(const wire::ByteReader& payload) {
    return {payload.u32(12), payload.u32(16), payload.u32(20), payload.u32(24)};
}

LoadReply decodeLoadReply(const wire::ByteReader& payload) {
    LoadReply r;
    r.present = payload.size() >= 24;
    // Older servers send no status word: a reply without one counts as success.
    r.success = payload.size() != 28 || payload.u32(24) == 1;
    r.firstKey = payload.u32(16);
    r.sceId = payload.u32(20);
    return r;
}

StartLoadedReply decodeStartLoadedReply(const wire::ByteReader& payload) {
    StartLoadedReply r;
    r.present = payload.size() >= 20;
    r.sceId = payload.u32(12);
    r.status = payload.u32(16);
    return r;
}

Event decodeEvent(const wire::ByteReader& payload) {
    Event e;
    e.code = payload.u16(10);
    e.sceId = payload.u32(12);
    e.present = payload.size() >= (e.code == kEventSpeed ? 24u : 20u);
    switch (e.code) {
        case kEventLoaded:
            e.firstKey = payload.u32(16);
            e.status = payload.u32(20);
            break;
        case kEventSpeed:
            e.speed = payload.f32(16);
            e.status = payload.u32(20);
            break;
        default:
            e.status = payload.u32(16);
            break;
    }
    return e;
}

std::vector<InputConfirmation> decodeInputReply(const wire::ByteReader& payload) {
    return wire::readRecords<InputConfirmation>(payload, 16, 20, 48, [](const wire::ByteReader& r) {
        return InputConfirmation{r.u32(0), r.f32(12), r.fixedText(16)};
    });
}

std::vector<OutputConfirmation> decodeOutputReply(const wire::ByteReader& payload) {
    return wire::readRecords<OutputConfirmation>(
        payload, 16, 20, 44, [](const wire::ByteReader& r) {
            return OutputConfirmation{r.u32(0), r.fixedText(12)};
        });
}

PatientUpdate decodePatientUpdate(const wire::ByteReader& payload) {
    PatientUpdate u;
    u.kind = payload.u32(kUpdateKindAt);
    u.records.reserve(wire::recordCount(payload, kUpdateLayout));
    forEachUpdate(payload, [&](std::uint32_t serverId, float value) {
        u.records.push_back({serverId, value});
    });
    return u;
}

VersionReply decodeVersionReply(const wire::ByteReader& payload) {
    return {payload.u32(144) == 1, payload.fixedText(12, 128)};
}

}  // namespace appwire
}  // namespace com_nax
