// The unit's replies as the bridge reads them: datagrams gathered into
// replies, the serial of a probe answer, the battery answer, and the escaped
// text that the log prints of them.
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
    unit_encoding::BatteryReading battery;
    unit_encoding::parseBattery(reply, battery);

    // The bytes as datagrams, cut at every 0xff byte.
    unit_encoding::ReplyAccumulator accumulator;
    std::string whole;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != 0xff) {
            continue;
        }
        if (accumulator.add(reinterpret_cast<const char*>(data) + start, i - start, whole) &&
            (whole.empty() || whole.back() != '@' || whole.find('@') != whole.size() - 1 ||
             whole.find('\0') != std::string::npos)) {
            fuzzsupport::fail("a gathered reply is not text up to its first '@'");
        }
        start = i + 1;
    }
    return 0;
}
