// The APP engine's receiving side: the dispatch of received messages, the
// start-up handshake, and the replies and values of parameter registration.
#include <iostream>

#include "client/protocols/AppProtocol.h"
#include "client/protocols/AppWire.h"
#include "client/protocols/ProtocolWire.h"

namespace com_nax {

void AppProtocol::handleReceivedMessage(const RawMessage& message) {
    const ByteReader payload = message.reader();
    const int sub = message.getSubprotocol();
    const std::uint16_t code = payload.u16(10);
    if (payload.size() >= wire::kHeadSize && sub == appwire::kSubList) {
        if (code != appwire::kCodeListResponse) {
            return;
        }
        handleListResponse(message);
        const bool firstListOfConnection = !listSinceConnect_.exchange(true);
        if (getState() == CSClient::STATE_CONNECTED) {
            registerAllParameters();
            becomeReady();
        } else if (getState() == CSClient::STATE_READY && sceId_.load() != 0 &&
                   (registrationsWaiting() || firstListOfConnection)) {
            // A scenario already running when the client started: the inputs
            // registered at start-up would otherwise wait for its next restart.
            // After a reconnection the server may have restarted and forgotten
            // every subscription, so the first list of a connection renews them
            // (a server that kept them answers with the same ids).
            registerAllParameters();
        }
        return;
    }
    if (payload.size() >= wire::kHeadSize && sub == appwire::kSubCommand) {
        // Replies and values by their code; the patient update, which comes with
        // every sample, is looked at first. Other codes are not for this client.
        static const struct {
            std::uint16_t code;
            void (AppProtocol::*handle)(const RawMessage&);
        } kHandlers[] = {
            {appwire::kCodePatientUpdate, &AppProtocol::handlePatientUpdate},
            {appwire::kCodeLoadReply, &AppProtocol::handleLoadReply},
            {appwire::kCodeStartLoadedReply, &AppProtocol::handleStartLoadedReply},
            {appwire::kCodeInputReply, &AppProtocol::handleInputReply},
            {appwire::kCodeOutputReply, &AppProtocol::handleOutputReply},
            {appwire::kCodeRunReply, &AppProtocol::handleRunReply},
            {appwire::kCodeVersionReply, &AppProtocol::handleVersionReply},
        };
        for (const auto& handler : kHandlers) {
            if (handler.code == code) {
                (this->*handler.handle)(message);
                break;
            }
        }
        return;
    }
    if (payload.size() >= wire::kHeadSize && sub == appwire::kSubEvent) {
        handleEvent(message);
        return;
    }
    handleFlowControl(message);
}

void AppProtocol::handleFlowControl(const RawMessage& message) {
    if (message.getType() != RawMessage::MSG_FLOW_CONTROL || message.getDoubleWord(0) != 1 ||
        getState() != CSClient::STATE_CONNECTED) {
        return;
    }
    if (!isQuiet()) {
        std::cout << "Sending subscribe to all events..." << std::endl;
    }
    eventsSubscribe(EVENTS_ALL, 0);
    if (refreshActiveSces() != CSClient::RESULT_OK) {
        std::cerr << "Error refreshing active SCE's. Continuing..." << std::endl;
    }
    becomeReady();
}

void AppProtocol::handleConnectionStateChange(CSClient::State previous, CSClient::State current) {
    (void)previous;
    switch (current) {
        case CSClient::STATE_DISCONNECTED:
            unregisterAllLocalParameters();
            break;
        case CSClient::STATE_READY:
            requestSimulatorVersion();
            break;
        case CSClient::STATE_CONNECTED:
            listSinceConnect_ = false;
            if (!isQuiet()) {
                std::cout << "Sending flow control request..." << std::endl;
            }
            sendFlowControlMessage(FLOW_START);
            break;
        default:
            break;
    }
}

bool AppProtocol::ofActiveSce(const ByteReader& reply) const {
    // Ids of another scenario mean nothing now.
    return appwire::replySceId(reply) == sceId_.load();
}

void AppProtocol::handleInputReply(const RawMessage& message) {
    const ByteReader payload = message.reader();
    if (ofActiveSce(payload)) {
        confirmInputs(
            appwire::decodeInputReply(payload), "Successful registration of APP input ",
            [](const appwire::InputConfirmation& r) { return ReceivedValue::ofFloat(r.value); });
    }
}

void AppProtocol::handleOutputReply(const RawMessage& message) {
    const ByteReader payload = message.reader();
    if (ofActiveSce(payload)) {
        // Overridden values keep their override on this connection.
        confirmOutputs(appwire::decodeOutputReply(payload),
                       "Successful registration of APP output ", true);
    }
}

void AppProtocol::handlePatientUpdate(const RawMessage& message) {
    const ByteReader payload = message.reader();
    const std::uint32_t kind = payload.u32(appwire::kUpdateKindAt);
    if (kind == 1) {
        return;
    }
    deliverValues(wire::recordCount(payload, appwire::kUpdateLayout), kind == 2,
                  [&payload](auto deliver) {
                      appwire::forEachUpdate(payload, [&](std::uint32_t serverId, float value) {
                          deliver(serverId, ReceivedValue::ofFloat(value));
                      });
                  });
}

void AppProtocol::handleVersionReply(const RawMessage& message) {
    const appwire::VersionReply reply = appwire::decodeVersionReply(message.reader());
    if (!reply.valid) {
        return;
    }
    setServerVersion(reply.text);
    reportServerVersion(reply.text);
    setProtocolVersion(1);
}

}  // namespace com_nax
