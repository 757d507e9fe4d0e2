#pragma once

#include <cstdint>
#include <set>
#include <string>
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

// A received value as the server sent it: an integer, or a float.
struct ReceivedValue {
    bool isInt = false;
    std::int32_t intValue = 0;
    float floatValue = 0.0f;
};

inline ReceivedValue receivedFloat(float value) {
    ReceivedValue v;
    v.floatValue = value;
    return v;
}

// The SIM record's integer flag decides how its four value bytes read.
inline ReceivedValue receivedWire(bool isInt, std::uint32_t bits) {
    ReceivedValue v;
    v.isInt = isInt;
    if (isInt) {
        v.intValue = static_cast<std::int32_t>(bits);
    } else {
        v.floatValue = wire::bitsToFloat(bits);
    }
    return v;
}

// A received value as a parameter of the registered input's type, whatever type
// the server sent: the application reads the type it registered. An integer
// input takes a float truncated (saturating, NaN as 0); false for an unknown type.
inline bool parameterOfType(const std::string& id, CSClient::ParameterType type,
                            const ReceivedValue& value, bool override, CSClient::Parameter& out) {
    if (type == CSClient::PARAM_INVALID || type == CSClient::PARAM_FLOAT) {
        const float f = value.isInt ? static_cast<float>(value.intValue) : value.floatValue;
        out = floatParameter(id, f, override);
        return true;
    }
    if (type == CSClient::PARAM_INT) {
        const std::int32_t i =
            value.isInt ? value.intValue : wire::truncateToInt32(value.floatValue);
        out = intParameter(id, i, override);
        return true;
    }
    return false;
}

}  // namespace support
}  // namespace com_nax
