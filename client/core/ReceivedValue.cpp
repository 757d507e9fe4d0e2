#include "client/core/ReceivedValue.h"

#include <cmath>
#include <limits>

namespace com_nax {

std::int32_t truncateToInt32(float value) {
    if (std::isnan(value)) {
        return 0;
    }
    // 2^31 is exactly representable as a float; INT32_MAX is not.
    if (value >= 2147483648.0f) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (value <= -2147483648.0f) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(value);
}

bool parameterOfType(const std::string& id, CSClient::ParameterType type,
                     const ReceivedValue& value, bool override, CSClient::Parameter& out) {
    if (type == CSClient::PARAM_INVALID || type == CSClient::PARAM_FLOAT) {
        out.value.floatValue = value.isInt ? static_cast<float>(value.intValue) : value.floatValue;
        out.type = CSClient::PARAM_FLOAT;
    } else if (type == CSClient::PARAM_INT) {
        out.value.intValue = value.isInt ? value.intValue : truncateToInt32(value.floatValue);
        out.type = CSClient::PARAM_INT;
    } else {
        return false;
    }
    out.id = id;
    out.override = override;
    return true;
}

}  // namespace com_nax
