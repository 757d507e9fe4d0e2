#pragma once

#include <chrono>

#include "client/core/CSTimings.h"
#include "relay/RelayTimings.h"

// How the bridge watches the unit while the simulation runs or a calibration
// is in progress. The defaults are the rules the operators' logs are read by.
struct SupervisionRules {
    std::chrono::milliseconds checkPeriod{2000};  // one health check per period
    // Unanswered checks in a row that give the unit up (the bridge loop then
    // builds a new bridge): about 22 s of silence with the real period.
    int failuresToGiveUp = 11;
    // On every so many unanswered checks in a row the unit is disabled and
    // enabled again: a unit that lost its state comes back without a rebuild.
    // 0: never.
    int reviveEvery = 2;
    // An answer after at least this many unanswered checks is announced; a
    // single lost reply is not worth a line.
    int failuresToAnnounceRecovery = 2;
};

// Everything the bridge is built with, known before it is built: the bridge
// loop reads the configuration first and hands this record to the bridge's
// constructor. The defaults are the real values; tests shorten them so that
// "eleven failed checks" need not last 22 seconds.
struct BridgeTimings {
    SupervisionRules supervision;
    std::chrono::milliseconds calibrationCycle{120};  // test-signal period of the worker
    RelayTimings relay;
    com_nax::CSTimings client;
};
