#include "client/protocols/SimulatorProtocol.h"

#include <iostream>

#include "client/protocols/ProtocolSupport.h"
#include "client/protocols/SimWire.h"

namespace com_nax {

namespace {

std::set<CSClient::CallbackIface*> copyOf(const CSClientProtocol& engine) {
    std::set<CSClient::CallbackIface*> callbacks;
    engine.getCallbackInterfaces(callbacks);
    return callbacks;
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
    return sendMessage(support::toMessage(simwire::versionRequest(getSimulatorId())));
}

CSClient::Result SimulatorProtocol::sendInputSubscriptionRequest(
    const std::vector<InputParameterEntry*>& entries) {
    if (entries.empty()) {
        return CSClient::RESULT_OK;
    }
    std::vector<simwire::InputItem> items;
    items.reserve(entries.size());
    for (const InputParameterEntry* e : entries) {
        items.push_back({e->id, e->rate, e->type == CSClient::PARAM_INT});
    }
    return support::queued(
        sendMessage(support::toMessage(simwire::inputSubscription(getSimulatorId(), items))));
}

CSClient::Result SimulatorProtocol::sendInputUnsubscriptionRequest(
    const std::vector<InputParameterEntry*>& entries) {
    if (entries.empty()) {
        return CSClient::RESULT_OK;
    }
    const std::vector<std::uint32_t> ids = support::serverIdsOf(entries);
    return support::queued(sendMessage(support::toMessage(
        simwire::unregistration(simwire::kCodeInputUnsubscription, getSimulatorId(), ids))));
}

CSClient::Result SimulatorProtocol::sendOutputSubscriptionRequest(
    const std::vector<OutputParameterEntry*>& entries) {
    if (entries.empty()) {
        return CSClient::RESULT_OK;
    }
    std::vector<simwire::OutputItem> items;
    for (const OutputParameterEntry* e : entries) {
        items.push_back({e->id, e->type == CSClient::PARAM_INT});
    }
    return support::queued(
        sendMessage(support::toMessage(simwire::outputRegistration(getSimulatorId(), items))));
}

CSClient::Result SimulatorProtocol::sendOutputUnsubscriptionRequest(
    const std::vector<OutputParameterEntry*>& entries) {
    if (entries.empty()) {
        return CSClient::RESULT_OK;
    }
    const std::vector<std::uint32_t> ids = support::serverIdsOf(entries);
    return support::queued(sendMessage(support::toMessage(
        simwire::unregistration(simwire::kCodeOutputUnregistration, getSimulatorId(), ids))));
}

CSClient::Result SimulatorProtocol::sendParameterPublishRequest(
    const std::vector<OutputParameterEntry*>& entries, PublishMode mode) {
    if (entries.empty()) {
        return CSClient::RESULT_OK;
    }
    std::vector<simwire::PublishItem> items;
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
    return support::queued(sendMessage(support::toMessage(
        simwire::publish(getSimulatorId(), static_cast<std::uint32_t>(mode), items))));
}

void SimulatorProtocol::handleReceivedMessage(const RawMessage& message) {
    switch (simwire::classify(support::readerOf(message))) {
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
    const auto records = simwire::decodeInputReply(support::readerOf(message));
    std::vector<CSClient::InputDef> confirmed;
    std::vector<CSClient::Parameter> initial;
    {
        CSMutex::Guard registry(registryLock_);
        for (const simwire::InputConfirmation& r : records) {
            InputParameterEntry* entry =
                confirmInputLocked(r.name, r.serverId, "Successful registration of SE input ");
            if (entry == nullptr) {
                continue;
            }
            confirmed.push_back({entry->id, entry->type, entry->rate});
            CSClient::Parameter p;
            if (support::parameterOfType(r.name, entry->type,
                                         support::receivedWire(r.isInt, r.valueBits), false, p)) {
                initial.push_back(p);
            }
        }
    }
    for (CSClient::CallbackIface* cb : copyOf(*this)) {
        cb->registrationComplete(confirmed);
        cb->parametersUpdated(initial);
    }
}

void SimulatorProtocol::handleOutputReply(const RawMessage& message) {
    const auto records = simwire::decodeOutputReply(support::readerOf(message));
    std::vector<CSClient::OutputDef> confirmed;
    std::vector<std::string> republish;
    {
        CSMutex::Guard registry(registryLock_);
        for (const simwire::OutputConfirmation& r : records) {
            OutputParameterEntry* entry =
                confirmOutputLocked(r.name, r.serverId, "Successful registration of SE output ");
            if (entry == nullptr) {
                continue;
            }
            confirmed.push_back({entry->id, entry->type});
            if (entry->hasValue) {
                republish.push_back(entry->id);
            }
        }
    }
    for (CSClient::CallbackIface* cb : copyOf(*this)) {
        cb->registrationComplete(confirmed);
    }
    // Every value goes out again as a normal one, an overridden one too.
    republishOutputs(republish, false);
}

void SimulatorProtocol::handleUpdate(const RawMessage& message) {
    const auto records = simwire::decodeUpdate(support::readerOf(message));
    if (records.empty()) {
        return;
    }
    std::vector<CSClient::Parameter> values;
    {
        CSMutex::Guard registry(registryLock_);
        for (const simwire::UpdateRecord& r : records) {
            if (r.serverId == 0) {
                continue;
            }
            auto it = confirmedInputs_.find(r.serverId);
            if (it == confirmedInputs_.end()) {
                continue;
            }
            auto entry = inputs_.find(it->second);
            if (entry == inputs_.end()) {
                continue;
            }
            // The registered type rules: an integer input sent with the float flag
            // (a speed of 1.0) must still read as 1, not as its bit pattern.
            CSClient::Parameter p;
            if (support::parameterOfType(it->second, entry->second->type,
                                         support::receivedWire(r.isInt, r.valueBits), false, p)) {
                values.push_back(p);
            }
        }
    }
    if (values.empty()) {
        return;
    }
    for (CSClient::CallbackIface* cb : copyOf(*this)) {
        cb->parametersUpdated(values);
    }
}

void SimulatorProtocol::handleVersionReply(const RawMessage& message) {
    const simwire::VersionReply reply = simwire::decodeVersionReply(support::readerOf(message));
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
