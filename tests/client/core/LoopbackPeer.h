#pragma once

#include "support/FakeTcpPeer.h"

namespace coretest {

// The engine tests' name for the shared fake peer. Its send() frames a payload;
// raw bytes (bad headers, split frames) go out with sendRaw().
using LoopbackPeer = testsupport::FakeTcpPeer;
using testsupport::dataFrame;
using testsupport::frameBytes;
using testsupport::payloadsOf;
using testsupport::refusedPort;

}  // namespace coretest
