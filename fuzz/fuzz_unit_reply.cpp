// The unit's replies as the bridge reads them: the serial of a probe answer
// and the escaped text that the log prints of it.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "relay/UnitEncoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    std::string serial;
    if (unit_encoding::probeSerial(reply, serial)) {
        if (serial.empty() || reply.find(":" + serial + "@") == std::string::npos ||
            serial.find(':') != std::string::npos) {
            fuzzsupport::fail("serial [" + serial + "] is not what lies between ':' and '@'");
        }
    }
    const std::string shown = unit_encoding::printable(reply);
    bool hadControl = false;
    for (const char c : reply) {
        hadControl = hadControl || static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    }
    for (const char c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            fuzzsupport::fail("a control character survived the escaping");
        }
    }
    if (shown.size() < reply.size() || shown.size() > reply.size() * 4 ||
        (!hadControl && shown != reply)) {
        fuzzsupport::fail("escaping changed more than the control characters");
    }
    return 0;
}
