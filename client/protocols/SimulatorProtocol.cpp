#include "client/protocols/SimulatorProtocol.h"

#include <iostream>

#include "client/protocols/SimWire.h"

namespace com_nax {

namespace {

simwire::InputItem inputItem(const InputParameterEntry& e) {
    return {e.id, e.rate, e.type == CSClient::PARAM_INT};
}

simwire::OutputItem outputItem(const OutputParameterEntry& e) {
    return {e.id, e.type == CSClient::PARAM_INT};
}

}  // namespace

SimulatorProtocol::SimulatorProtocol(unsigned int simulatorId, unsigned int options)
    : CSClientProtocol(options), simulatorId_(simulatorId) {}

// The receive thread calls this object's handlers: end it before the object goes.
SimulatorProtocol::~SimulatorProtocol() {
    stopReceiveThread();
}

CSClient::Result SimulatorProtocol::setSimulatorId(unsigned int id) {
    if (id > simwire::kMaxSimulatorId) {
        return CSClient::RESULT_INVALID_ARGUMENT;
    }
    simulatorId_.store(id);
    return CSClient::RESULT_OK;
}

CSClient::Result SimulatorProtocol::requestSimulatorVersion() {
    return sendPayload(simwire::versionRequest(getSimulatorId()));
}

template <typename Entry, typename Item>
CSClient::Result SimulatorProtocol::sendRegistration(const std::vector<Entry*>& entries,
                                                     BuildFor<Item> build,
                                                     Item (*make)(const Entry&)) {
    if (entries.empty()) {
        return CSClient::RESULT_OK;
    }
    return sendQueued(build(getSimulatorId(), wire::itemsOf(entries, make)));
}

CSClient::Result SimulatorProtocol::sendUnregistration(
    std::uint16_t code, const std::vector<std::uint32_t>& serverIds) {
    if (serverIds.empty()) {
        return CSClient::RESULT_OK;
    }
    return sendQueued(simwire::unregistration(code, getSimulatorId(), serverIds));
}

CSClient::Result SimulatorProtocol::sendInputSubscriptionRequest(
    const std::vector<InputParameterEntry*>& entries) {
    return sendRegistration(entries, &simwire::inputSubscription, &inputItem);
}

CSClient::Result SimulatorProtocol::sendInputUnsubscriptionRequest(
    const std::vector<InputParameterEntry*>& entries) {
    return sendUnregistration(simwire::kCodeInputUnsubscription, wire::serverIdsOf(entries));
}

CSClient::Result SimulatorProtocol::sendOutputSubscriptionRequest(
    const std::vector<OutputParameterEntry*>& entries) {
    return sendRegistration(entries, &simwire::outputRegistration, &outputItem);
}

CSClient::Result SimulatorProtocol::sendOutputUnsubscriptionRequest(
    const std::vector<OutputParameterEntry*>& entries) {
    return sendUnregistration(simwire::kCodeOutputUnregistration, wire::serverIdsOf(entries));
}

CSClient::Result SimulatorProtocol::sendParameterPublishRequest(
    const std::vector<OutputParameterEntry*>& entries, PublishMode mode) {
    if (entries.empty()) {
        return CSClient::RESULT_OK;
    }
    std::vector<simwire::PublishItem> items;
    items.reserve(entries.size());
    for (const OutputParameterEntry* e : entries) {
        simwire::PublishItem item;
        item.serverId = e->serverId;
        if (e->type == CSClient::PARAM_INT) {
            item.isInt = true;
            item.valueBits = static_cast<std::uint32_t>(e->value.intValue);
            if (!isQuiet()) {
                std::cout << "Publish int parameter " << e->id << "=" << e->value.intValue
                          << std::endl;
            }
        } else if (e->type == CSClient::PARAM_FLOAT) {
            item.valueBits = wire::floatBits(e->value.floatValue);
            if (!isQuiet()) {
                std::cout << "Publish float parameter " << e->id << "=" << e->value.floatValue
                          << std::endl;
            }
        } else {
            std::cerr << "Unable to publish output " << e->id << ", type is INVALID!" << std::endl;
        }
        items.push_back(item);
    }
    return sendQueued(simwire::publish(getSimulatorId(), static_cast<std::uint32_t>(mode), items));
}

void SimulatorProtocol::handleReceivedMessage(const RawMessage& message) {
    switch (simwire::classify(message.reader())) {
        case simwire::Kind::kOutputReply:
            handleOutputReply(message);
            break;
        case simwire::Kind::kInputReply:
            handleInputReply(message);
            break;
        case simwire::Kind::kUpdate:
            handleUpdate(message);
            break;
        case simwire::Kind::kVersionReply:
            handleVersionReply(message);
            break;
        case simwire::Kind::kOther:
            break;
    }
}

void SimulatorProtocol::handleInputReply(const RawMessage& message) {
    confirmInputs(simwire::decodeInputReply(message.reader()),
                  "Successful registration of SE input ", [](const simwire::InputConfirmation& r) {
                      return ReceivedValue::ofBits(r.isInt, r.valueBits);
                  });
}

void SimulatorProtocol::handleOutputReply(const RawMessage& message) {
    // Every value goes out again as a normal one, an overridden one too.
    confirmOutputs(simwire::decodeOutputReply(message.reader()),
                   "Successful registration of SE output ", false);
}

void SimulatorProtocol::handleUpdate(const RawMessage& message) {
    const ByteReader payload = message.reader();
    // The registered type rules: an integer input sent with the float flag (a
    // speed of 1.0) must still read as 1, not as its bit pattern.
    deliverValues(wire::recordCount(payload, simwire::kUpdateLayout), false,
                  [&payload](auto deliver) {
                      simwire::forEachUpdate(
                          payload, [&](std::uint32_t serverId, bool isInt, std::uint32_t bits) {
                              // Id 0 is never assigned: such a record carries nothing.
                              if (serverId != 0) {
                                  deliver(serverId, ReceivedValue::ofBits(isInt, bits));
                              }
                          });
                  });
}

void SimulatorProtocol::handleVersionReply(const RawMessage& message) {
    const simwire::VersionReply reply = simwire::decodeVersionReply(message.reader());
    if (!reply.valid) {
        return;
    }
    setServerVersion(reply.text);
    const unsigned int id = reply.idWord >> 16;
    if (id != getSimulatorId()) {
        if (!isQuiet()) {
            std::cout << "Simulator ID is now " << id << " -> reconnecting under the new id"
                      << std::endl;
        }
        if ((reply.idWord & 0x80000000u) == 0) {
            simulatorId_.store(id);
        }
        reregisterAllInputParameters();
        reregisterAllOutputParameters();
    }
    setProtocolVersion(reply.protocolVersion);
    if (!isQuiet()) {
        reportServerVersion(reply.text);
        std::cout << "Found simulator id: " << id << std::endl;
        std::cout << "Found protocol version: " << reply.protocolVersion << std::endl;
    }
}

}  // namespace com_nax
