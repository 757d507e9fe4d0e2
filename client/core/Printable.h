#pragma once

#include <string>
#include <string_view>

namespace com_nax {

// Text that came from a peer, made safe to print: control characters (below 0x20,
// and 0x7f) become "\xHH" with two lower-case hex digits, so that a peer cannot
// end a log line or forge the next one. Every other byte is kept as it is.
std::string printable(std::string_view text);

}  // namespace com_nax
