#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "emulators/sim_server/ByteCodec.h"

namespace simemu {

enum class Protocol { Sim, App };

const char* protocolName(Protocol p);

// What a received message was decoded as. The SIM and APP codes overlap (and
// the relay calibration command shares code 8 with the APP publish), so tests
// wait on this rather than on raw codes.
enum class MessageKind {
    SimVersionRequest,        // code 6
    SimInputSubscription,     // code 1
    SimInputUnsubscription,   // code 4
    SimOutputRegistration,    // code 2
    SimOutputUnregistration,  // code 5
    SimPublish,               // code 3
    SimUnknown,
    AppFlowControl,           // frame kind 3; words[0] is the flow-control type
    AppEventSubscription,     // subprotocol 1, 0x0020
    AppScenarioListRequest,   // subprotocol 1, 0x0001
    AppVersionRequest,        // 0x0051
    AppInputSubscription,     // 0x0006
    AppInputUnsubscription,   // 0x0014
    AppOutputRegistration,    // 0x0007
    AppOutputUnregistration,  // 0x0015
    AppPublish,               // 0x0008 or 0x0038
    AppSignal,                // 0x0012
    AppRunScenario,           // 0x0050
    AppLoadScenario,          // 0x0002
    AppStartLoaded,           // 0x0003
    AppStopScenario,          // 0x000E
    AppPause,                 // 0x0005
    AppChangeSpeed,           // 0x0004
    AppDelivery,              // 0x0030
    AppAdministerDrug,        // 0x0013
    AppResetDrug,             // 0x0019
    AppBookmark,              // 0x000F
    AppRewind,                // 0x0010
    AppSave,                  // 0x000A
    AppRelayCalibration,      // protocol 4, subprotocol 4, 0x0008
    AppUnknown,
};

const char* kindName(MessageKind k);

// One entry of a subscription, registration, unregistration or publish.
struct RecordedEntry {
    std::string name;            // subscriptions and registrations
    std::uint32_t serverId = 0;  // unregistrations, publishes, signals
    std::uint32_t rate = 0;      // input subscriptions: the rate word
    std::uint32_t intFlag = 0;   // SIM: the integer flag
    double value = 0;            // publishes and signals (int or float on the wire)
};

struct ReceivedMessage {
    Protocol protocol = Protocol::Sim;
    MessageKind kind = MessageKind::SimUnknown;
    std::uint32_t frameKind = 0;
    std::uint8_t protocolByte = 0;
    std::uint8_t subprotocol = 0;
    std::uint16_t code = 0;            // 0 for flow control
    std::uint32_t scope = 0;           // SIM: simulator id (upper half of word 12); APP: word 12
    std::uint32_t mode = 0;            // publish mode; flow-control type; event mode
    std::vector<std::uint32_t> words;  // every whole u32 from offset 12 (flow control: from 0)
    std::vector<RecordedEntry> entries;
    std::string text;        // drug name, bookmark text
    bool malformed = false;  // shorter than its fields or its count announce
    Bytes payload;           // as received, head included

    // words[i] reinterpreted as a float (speeds, amounts); 0 when absent.
    float wordAsFloat(std::size_t i) const {
        return i < words.size() ? floatFromBits(words[i]) : 0.0f;
    }
};

}  // namespace simemu
