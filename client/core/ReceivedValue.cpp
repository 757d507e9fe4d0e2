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

}  // namespace com_nax
