#pragma once

#include "support/FakeTcpPeer.h"

namespace prototest {

// The protocol tests' name for the shared fake peer: a server that records the
// client's frames and answers through a responder.
using ScriptedServer = testsupport::FakeTcpPeer;
using testsupport::codeOf;
using testsupport::subprotocolOf;
using testsupport::wordAt;

}  // namespace prototest
