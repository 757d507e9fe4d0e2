#pragma once

#include <cstdint>
#include <string>

#include "client/core/ByteCodec.h"
#include "client/core/CSClient.h"

namespace com_nax {

// A value as the server sent it: an integer, or a float.
struct ReceivedValue {
    bool isInt = false;
    std::int32_t intValue = 0;
    float floatValue = 0.0f;

    static ReceivedValue ofFloat(float value) {
        ReceivedValue v;
        v.floatValue = value;
        return v;
    }
    // Four value bytes whose meaning a separate integer flag gives.
    static ReceivedValue ofBits(bool isInt, std::uint32_t bits) {
        ReceivedValue v;
        v.isInt = isInt;
        if (isInt) {
            v.intValue = static_cast<std::int32_t>(bits);
        } else {
            v.floatValue = bitsToFloat(bits);
        }
        return v;
    }
};

// Float to 32-bit integer, truncated toward zero. Values beyond the range
// saturate and NaN gives 0, since the plain conversion is undefined there.
std::int32_t truncateToInt32(float value);

// A received value as the registered input's type, whatever type the server
// sent: the application reads the type it registered. An integer input takes
// a float truncated; false (and `out` untouched) for an unknown type. Inline:
// it runs for every sample. Sets the value, its type and the override flag.
inline bool valueOfType(CSClient::ParameterType type, const ReceivedValue& value, bool override,
                        CSClient::Parameter& out) {
    if (type == CSClient::PARAM_INVALID || type == CSClient::PARAM_FLOAT) {
        out.value.floatValue = value.isInt ? static_cast<float>(value.intValue) : value.floatValue;
        out.type = CSClient::PARAM_FLOAT;
    } else if (type == CSClient::PARAM_INT) {
        out.value.intValue = value.isInt ? value.intValue : truncateToInt32(value.floatValue);
        out.type = CSClient::PARAM_INT;
    } else {
        return false;
    }
    out.override = override;
    return true;
}

// The same, named `id`.
inline bool parameterOfType(const std::string& id, CSClient::ParameterType type,
                            const ReceivedValue& value, bool override, CSClient::Parameter& out) {
    if (!valueOfType(type, value, override, out)) {
        return false;
    }
    out.id = id;
    return true;
}

}  // namespace com_nax
