#pragma once

namespace com_nax {

// Bits of a client's options word, fixed at construction. Other bits are kept and
// reported but have no effect.
constexpr unsigned OPTION_AUTO_RECONNECT = 1;  // retry a lost or failed connection
constexpr unsigned OPTION_QUIET = 2;           // silence most progress and error lines
constexpr unsigned OPTION_PUBLISH_NO_LOG = 8;  // read by the APP protocol only

}  // namespace com_nax
