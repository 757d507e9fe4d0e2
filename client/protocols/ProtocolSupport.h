#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "client/core/CSClient.h"
#include "client/core/RawMessage.h"
#include "client/protocols/ProtocolWire.h"

namespace com_nax {
namespace support {

// Glue between the socket-free codecs and the engine's message type.

inline RawMessage toMessage(const wire::Bytes& payload,
                            RawMessage::Type type = RawMessage::MSG_DATA) {
    return RawMessage(reinterpret_cast<const char*>(payload.data()),
                      static_cast<unsigned>(payload.size()), type);
}

inline wire::ByteReader readerOf(const RawMessage& message) {
    return wire::ByteReader(message.data(), message.size());
}

// Registrations and values made while disconnected go out again when the
// protocol becomes ready, so "not connected" counts as accepted for them.
inline CSClient::Result queued(CSClient::Result result) {
    return result == CSClient::RESULT_NOT_CONNECTED ? CSClient::RESULT_OK : result;
}

// Server ids of registry entries, in their order (the unsubscription requests).
template <typename Entry>
std::vector<std::uint32_t> serverIdsOf(const std::vector<Entry*>& entries) {
    std::vector<std::uint32_t> ids;
    for (const Entry* e : entries) {
        ids.push_back(e->serverId);
    }
    return ids;
}

inline CSClient::Parameter intParameter(const std::string& id, std::int32_t value,
                                        bool override = false) {
    return CSClient::Parameter::makeInt(id, value, override);
}

inline CSClient::Parameter floatParameter(const std::string& id, float value,
                                          bool override = false) {
    return CSClient::Parameter::makeFloat(id, value, override);
}

}  // namespace support
}  // namespace com_nax
