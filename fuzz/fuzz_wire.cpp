// The wire decoders directly: the frame header check and every SIM and APP
// reply decoder on the same payload bytes.
#include <cstdint>
#include <string>

#include "client/core/RawMessage.h"
#include "client/protocols/AppWire.h"
#include "client/protocols/ProtocolWire.h"
#include "client/protocols/SimWire.h"
#include "fuzz/FuzzSupport.h"

using namespace com_nax;

namespace {

// Names come from fixed 32-byte fields and never reach past the payload.
template <typename Records>
void checkNames(const Records& records, std::size_t size) {
    for (const auto& r : records) {
        if (r.name.size() > wire::kNameFieldSize || r.name.size() > size) {
            fuzzsupport::fail("a decoded name is longer than its field");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RawMessage header(
        reinterpret_cast<const char*>(data),
        static_cast<unsigned>(size < RawMessage::HEADER_SIZE ? size : RawMessage::HEADER_SIZE),
        RawMessage::MSG_INVALID);
    std::uint32_t frameLength = 0;
    std::uint32_t payloadLength = 0;
    RawMessage::Type type = RawMessage::MSG_INVALID;
    if (RawMessage::parseFrameHeader(header, frameLength, payloadLength, type) ==
            RawMessage::HEADER_OK &&
        (payloadLength == 0 || payloadLength > RawMessage::MAX_PAYLOAD_SIZE ||
         payloadLength + RawMessage::HEADER_SIZE != frameLength)) {
        fuzzsupport::fail("a header with an impossible length was accepted");
    }

    const wire::ByteReader payload(data, size);
    const std::size_t records = size / 4 + 1;
    simwire::classify(payload);
    const auto simInputs = simwire::decodeInputReply(payload);
    const auto simOutputs = simwire::decodeOutputReply(payload);
    const auto simUpdates = simwire::decodeUpdate(payload);
    const auto simVersion = simwire::decodeVersionReply(payload);
    checkNames(simInputs, size);
    checkNames(simOutputs, size);
    if (simUpdates.size() > records || simVersion.text.size() > size) {
        fuzzsupport::fail("a SIM decoder read more records than the payload holds");
    }

    appwire::decodeListResponse(payload);
    appwire::decodeRunReply(payload);
    appwire::decodeLoadReply(payload);
    appwire::decodeStartLoadedReply(payload);
    appwire::decodeEvent(payload);
    appwire::replySceId(payload);
    const auto appInputs = appwire::decodeInputReply(payload);
    const auto appOutputs = appwire::decodeOutputReply(payload);
    const auto update = appwire::decodePatientUpdate(payload);
    const auto appVersion = appwire::decodeVersionReply(payload);
    checkNames(appInputs, size);
    checkNames(appOutputs, size);
    if (update.records.size() > records || appVersion.text.size() > size) {
        fuzzsupport::fail("an APP decoder read more records than the payload holds");
    }

    const RawMessage message(reinterpret_cast<const char*>(data), static_cast<unsigned>(size),
                             RawMessage::MSG_DATA);
    for (unsigned i = 0; i < 8; ++i) {
        message.getWord(static_cast<unsigned>(size) - i);
        message.getDoubleWord(static_cast<unsigned>(size) - i);
        message.getFloat(static_cast<unsigned>(size) - i);
    }
    return 0;
}
