#include "client/protocols/AppProtocol.h"

#include <iostream>

#include "client/protocols/AppWire.h"
#include "client/protocols/ProtocolWire.h"

namespace com_nax {

namespace {

// Values travel as floats on this connection whatever their type.
float wireValue(CSClient::ParameterType type, const CSClient::ParameterValue& value) {
    switch (type) {
        case CSClient::PARAM_FLOAT:
            return value.floatValue;
        case CSClient::PARAM_INT:
            return static_cast<float>(value.intValue);
        default:
            return 0.0f;
    }
}

// A subscription too large for one request goes out as two halves, the first
// failure ending it; `send` splits each half again as needed. `splitText` begins
// the progress line, which goes on with the count.
template <typename Entry, typename Send>
CSClient::Result sendInHalves(const std::vector<Entry*>& entries, bool quiet, const char* splitText,
                              Send send) {
    if (!quiet) {
        std::cout << splitText << entries.size() << " parameters requested" << std::endl;
    }
    const auto middle = entries.begin() + static_cast<std::ptrdiff_t>(entries.size() / 2);
    const CSClient::Result first = send(std::vector<Entry*>(entries.begin(), middle));
    if (first != CSClient::RESULT_OK) {
        return first;
    }
    return send(std::vector<Entry*>(middle, entries.end()));
}

}  // namespace

AppProtocol::AppProtocol(unsigned int options) : CSClientProtocol(options) {}

// Both threads call this object's members: end them before the object goes.
AppProtocol::~AppProtocol() {
    stopKeepAlive();
    stopReceiveThread();
}

std::vector<AppClient::Callback*> AppProtocol::appCallbacks() const {
    std::vector<AppClient::Callback*> out;
    forEachCallback([&out](CSClient::CallbackIface* cb) {
        if (auto* app = dynamic_cast<AppClient::Callback*>(cb)) {
            out.push_back(app);
        }
    });
    return out;
}

bool AppProtocol::registrationsWaiting() const {
    return getNumberOfInputParametersWaitingForConfirmation() > 0 ||
           getNumberOfOutputParametersWaitingForConfirmation() > 0;
}

void AppProtocol::becomeReady() {
    // Under the state lock, so that a close requested meanwhile is not undone.
    CSMutex::Guard state(stateLock_);
    if (getState() == CSClient::STATE_CONNECTED) {
        setState(CSClient::STATE_READY);
    }
}

void AppProtocol::registerAllParameters() {
    if (sceId_.load() == 0) {
        return;
    }
    if (!isQuiet()) {
        std::cout << "Registering input parameters ("
                  << getNumberOfInputParametersWaitingForConfirmation() << ")..." << std::endl;
    }
    reregisterAllInputParameters();
    if (!isQuiet()) {
        std::cout << "Registering output parameters ("
                  << getNumberOfOutputParametersWaitingForConfirmation() << ")..." << std::endl;
    }
    reregisterAllOutputParameters();
}

CSClient::Result AppProtocol::requestSimulatorVersion() {
    if (!isQuiet()) {
        std::cout << "Sending server version request..." << std::endl;
    }
    return sendPayload(appwire::versionRequest());
}

template <typename Entry, typename Build>
CSClient::Result AppProtocol::sendSubscription(const std::vector<Entry*>& entries,
                                               const char* splitText, Build build) {
    if (entries.empty()) {
        return CSClient::RESULT_OK;
    }
    if (entries.size() > appwire::kMaxSubscriptionEntries) {
        return sendInHalves(entries, isQuiet(), splitText,
                            [this, splitText, &build](const std::vector<Entry*>& half) {
                                // Called within this hook (registry lock held);
                                // clang analyses a lambda apart.
                                registryLock_.assumeHeld();
                                return sendSubscription(half, splitText, build);
                            });
    }
    const unsigned sce = sceId_.load();
    if (sce == 0) {
        return CSClient::RESULT_OK;  // waits in the registry for a scenario
    }
    return sendQueued(build(sce, entries));
}

CSClient::Result AppProtocol::sendInputSubscriptionRequest(
    const std::vector<InputParameterEntry*>& entries) {
    return sendSubscription(entries, "Splitting large input subscription: ",
                            [](unsigned sce, const std::vector<InputParameterEntry*>& all) {
                                return appwire::inputSubscription(
                                    sce, wire::itemsOf(all, [](const InputParameterEntry& e) {
                                        return appwire::InputItem{e.id, e.rate};
                                    }));
                            });
}

CSClient::Result AppProtocol::sendOutputSubscriptionRequest(
    const std::vector<OutputParameterEntry*>& entries) {
    return sendSubscription(
        entries, "Splitting large output subscription: ",
        [](unsigned sce, const std::vector<OutputParameterEntry*>& all) {
            return appwire::outputRegistration(
                sce, wire::itemsOf(all, [](const OutputParameterEntry& e) { return e.id; }));
        });
}

CSClient::Result AppProtocol::sendUnregistration(std::uint16_t code,
                                                 const std::vector<std::uint32_t>& serverIds,
                                                 CSClient::Result withoutSce, const char* what) {
    if (serverIds.empty()) {
        return CSClient::RESULT_OK;
    }
    const unsigned sce = sceId_.load();
    if (sce == 0) {
        return withoutSce;
    }
    if (!isQuiet()) {
        std::cout << "Unsubscribing from " << serverIds.size() << what << sce << std::endl;
    }
    return sendQueued(appwire::unregistration(code, sce, serverIds));
}

CSClient::Result AppProtocol::sendInputUnsubscriptionRequest(
    const std::vector<InputParameterEntry*>& entries) {
    return sendUnregistration(appwire::kCodeInputUnsubscription, wire::serverIdsOf(entries),
                              CSClient::RESULT_NO_ACTIVE_SCE, " inputs for SIM ID: ");
}

CSClient::Result AppProtocol::sendOutputUnsubscriptionRequest(
    const std::vector<OutputParameterEntry*>& entries) {
    return sendUnregistration(appwire::kCodeOutputUnregistration, wire::serverIdsOf(entries),
                              CSClient::RESULT_OK, " outputs for SCE ID: ");
}

CSClient::Result AppProtocol::sendParameterPublishRequest(
    const std::vector<OutputParameterEntry*>& entries, PublishMode mode) {
    if (entries.empty()) {
        return CSClient::RESULT_OK;
    }
    const unsigned sce = sceId_.load();
    if (sce == 0) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    std::vector<appwire::PublishItem> items;
    items.reserve(entries.size());
    for (const OutputParameterEntry* e : entries) {
        items.push_back({e->serverId, wireValue(e->type, e->value)});
    }
    return sendQueued(appwire::publish(hasOptions(OPTION_PUBLISH_NO_LOG), sce,
                                       static_cast<std::uint32_t>(mode), items));
}

CSClient::Result AppProtocol::publishSignalParameter(const CSClient::Parameter& parameter,
                                                     unsigned int signalArgument) {
    std::uint32_t serverId = 0;
    float value = 0.0f;
    {
        CSMutex::Guard registry(registryLock_);
        if (!acceptableParameter(parameter)) {
            return CSClient::RESULT_INVALID_ARGUMENT;
        }
        auto it = outputs_.find(parameter.id);
        if (it == outputs_.end()) {
            std::cerr << "Unknown parameter: " << parameter.id << std::endl;
            return CSClient::RESULT_INVALID_ARGUMENT;
        }
        if (it->second->serverId == UNASSIGNED_ID) {
            std::cerr << "No subscription for: " << parameter.id << std::endl;
            return CSClient::RESULT_REJECTED;
        }
        serverId = it->second->serverId;
        // The output's registered type decides the conversion, as for publishing.
        value = wireValue(it->second->type, parameter.value);
    }
    const unsigned sce = sceId_.load();
    if (sce == 0) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return sendPayload(appwire::signal(sce, serverId, value, signalArgument));
}

}  // namespace com_nax
