#include "client/protocols/AppProtocol.h"

#include <iostream>

#include "client/protocols/AppWire.h"
#include "client/protocols/ProtocolSupport.h"

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

AppProtocol::AppProtocol(unsigned int options) : AppProtocol(options, AppClient::Timing{}) {}

AppProtocol::AppProtocol(unsigned int options, const AppClient::Timing& timing)
    : CSClientProtocol(options), timing_(timing) {}

// Both threads call this object's members: end them before the object goes.
AppProtocol::~AppProtocol() {
    stopKeepAlive();
    stopReceiveThread();
}

CSClient::Result AppProtocol::send(const std::vector<std::uint8_t>& payload) {
    return sendMessage(support::toMessage(payload));
}

std::vector<AppClient::Callback*> AppProtocol::appCallbacks() const {
    std::set<CSClient::CallbackIface*> all;
    getCallbackInterfaces(all);
    std::vector<AppClient::Callback*> out;
    for (CSClient::CallbackIface* cb : all) {
        if (auto* app = dynamic_cast<AppClient::Callback*>(cb)) {
            out.push_back(app);
        }
    }
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

void AppProtocol::handleReceivedMessage(const RawMessage& message) {
    const wire::ByteReader payload = support::readerOf(message);
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
        switch (code) {
            case appwire::kCodePatientUpdate:
                handlePatientUpdate(message);
                break;
            case appwire::kCodeLoadReply:
                handleLoadReply(message);
                break;
            case appwire::kCodeStartLoadedReply:
                handleStartLoadedReply(message);
                break;
            case appwire::kCodeInputReply:
                handleInputReply(message);
                break;
            case appwire::kCodeOutputReply:
                handleOutputReply(message);
                break;
            case appwire::kCodeRunReply:
                handleRunReply(message);
                break;
            case appwire::kCodeVersionReply:
                handleVersionReply(message);
                break;
            default:
                break;
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
    return send(appwire::versionRequest());
}

CSClient::Result AppProtocol::sendInputSubscriptionRequest(
    const std::vector<InputParameterEntry*>& entries) {
    if (entries.empty()) {
        return CSClient::RESULT_OK;
    }
    if (entries.size() > appwire::kMaxSubscriptionEntries) {
        return sendInHalves(entries, isQuiet(), "Splitting large input subscription: ",
                            [this](const std::vector<InputParameterEntry*>& half) {
                                return sendInputSubscriptionRequest(half);
                            });
    }
    const unsigned sce = sceId_.load();
    if (sce == 0) {
        return CSClient::RESULT_OK;  // waits in the registry for a scenario
    }
    std::vector<appwire::InputItem> items;
    items.reserve(entries.size());
    for (const InputParameterEntry* e : entries) {
        items.push_back({e->id, e->rate});
    }
    return support::queued(send(appwire::inputSubscription(sce, items)));
}

CSClient::Result AppProtocol::sendOutputSubscriptionRequest(
    const std::vector<OutputParameterEntry*>& entries) {
    if (entries.empty()) {
        return CSClient::RESULT_OK;
    }
    if (entries.size() > appwire::kMaxSubscriptionEntries) {
        return sendInHalves(entries, isQuiet(), "Splitting large output subscription: ",
                            [this](const std::vector<OutputParameterEntry*>& half) {
                                return sendOutputSubscriptionRequest(half);
                            });
    }
    const unsigned sce = sceId_.load();
    if (sce == 0) {
        return CSClient::RESULT_OK;
    }
    std::vector<std::string> ids;
    ids.reserve(entries.size());
    for (const OutputParameterEntry* e : entries) {
        ids.push_back(e->id);
    }
    return support::queued(send(appwire::outputRegistration(sce, ids)));
}

CSClient::Result AppProtocol::sendInputUnsubscriptionRequest(
    const std::vector<InputParameterEntry*>& entries) {
    if (entries.empty()) {
        return CSClient::RESULT_OK;
    }
    const unsigned sce = sceId_.load();
    if (sce == 0) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    if (!isQuiet()) {
        std::cout << "Unsubscribing from " << entries.size() << " inputs for SIM ID: " << sce
                  << std::endl;
    }
    const std::vector<std::uint32_t> ids = support::serverIdsOf(entries);
    return support::queued(
        send(appwire::unregistration(appwire::kCodeInputUnsubscription, sce, ids)));
}

CSClient::Result AppProtocol::sendOutputUnsubscriptionRequest(
    const std::vector<OutputParameterEntry*>& entries) {
    if (entries.empty()) {
        return CSClient::RESULT_OK;
    }
    const unsigned sce = sceId_.load();
    if (sce == 0) {
        return CSClient::RESULT_OK;
    }
    if (!isQuiet()) {
        std::cout << "Unsubscribing from " << entries.size() << " outputs for SCE ID: " << sce
                  << std::endl;
    }
    const std::vector<std::uint32_t> ids = support::serverIdsOf(entries);
    return support::queued(
        send(appwire::unregistration(appwire::kCodeOutputUnregistration, sce, ids)));
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
    return support::queued(send(appwire::publish(hasOptions(OPTION_PUBLISH_NO_LOG), sce,
                                                 static_cast<std::uint32_t>(mode), items)));
}

CSClient::Result AppProtocol::publishSignalParameter(const CSClient::Parameter& parameter,
                                                     unsigned int signalArgument) {
    std::uint32_t serverId = 0;
    float value = 0.0f;
    {
        CSMutex::Guard registry(registryLock_);
        if (parameter.type == CSClient::PARAM_INVALID) {
            std::cerr << "Subscription type of parameter id string '" << parameter.id
                      << "' is invalid!" << std::endl;
            return CSClient::RESULT_INVALID_ARGUMENT;
        }
        if (parameter.id.size() >= MAX_PARAMETER_ID_LENGTH) {
            std::cerr << "Length of parameter id string '" << parameter.id << "' exceeds maximum "
                      << MAX_PARAMETER_ID_LENGTH << std::endl;
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
    return send(appwire::signal(sce, serverId, value, signalArgument));
}

void AppProtocol::handleInputReply(const RawMessage& message) {
    const wire::ByteReader payload = support::readerOf(message);
    if (appwire::replySceId(payload) != sceId_.load()) {
        return;  // ids of another scenario mean nothing now
    }
    const auto records = appwire::decodeInputReply(payload);
    std::vector<CSClient::InputDef> confirmed;
    std::vector<CSClient::Parameter> initial;
    {
        CSMutex::Guard registry(registryLock_);
        for (const appwire::InputConfirmation& r : records) {
            InputParameterEntry* entry =
                confirmInputLocked(r.name, r.serverId, "Successful registration of APP input ");
            if (entry == nullptr) {
                continue;
            }
            confirmed.push_back({entry->id, entry->type, entry->rate});
            CSClient::Parameter p;
            if (support::parameterOfType(r.name, entry->type, support::receivedFloat(r.value),
                                         false, p)) {
                initial.push_back(p);
            }
        }
    }
    std::set<CSClient::CallbackIface*> callbacks;
    getCallbackInterfaces(callbacks);
    for (CSClient::CallbackIface* cb : callbacks) {
        cb->registrationComplete(confirmed);
        cb->parametersUpdated(initial);
    }
}

void AppProtocol::handleOutputReply(const RawMessage& message) {
    const wire::ByteReader payload = support::readerOf(message);
    if (appwire::replySceId(payload) != sceId_.load()) {
        return;
    }
    const auto records = appwire::decodeOutputReply(payload);
    std::vector<CSClient::OutputDef> confirmed;
    std::vector<std::string> republish;
    {
        CSMutex::Guard registry(registryLock_);
        for (const appwire::OutputConfirmation& r : records) {
            OutputParameterEntry* entry =
                confirmOutputLocked(r.name, r.serverId, "Successful registration of APP output ");
            if (entry == nullptr) {
                continue;
            }
            confirmed.push_back({entry->id, entry->type});
            if (entry->hasValue) {
                republish.push_back(entry->id);
            }
        }
    }
    std::set<CSClient::CallbackIface*> callbacks;
    getCallbackInterfaces(callbacks);
    for (CSClient::CallbackIface* cb : callbacks) {
        cb->registrationComplete(confirmed);
    }
    // Overridden values keep their override on this connection.
    republishOutputs(republish, true);
}

void AppProtocol::handlePatientUpdate(const RawMessage& message) {
    const appwire::PatientUpdate update = appwire::decodePatientUpdate(support::readerOf(message));
    if (update.records.empty() || update.kind == 1) {
        return;
    }
    std::vector<CSClient::Parameter> values;
    {
        CSMutex::Guard registry(registryLock_);
        for (const appwire::PublishItem& r : update.records) {
            auto id = confirmedInputs_.find(r.serverId);
            if (id == confirmedInputs_.end()) {
                continue;
            }
            auto entry = inputs_.find(id->second);
            if (entry == inputs_.end()) {
                continue;
            }
            CSClient::Parameter p;
            if (support::parameterOfType(id->second, entry->second->type,
                                         support::receivedFloat(r.value), update.kind == 2, p)) {
                values.push_back(p);
            }
        }
    }
    if (values.empty()) {
        return;
    }
    std::set<CSClient::CallbackIface*> callbacks;
    getCallbackInterfaces(callbacks);
    for (CSClient::CallbackIface* cb : callbacks) {
        cb->parametersUpdated(values);
    }
}

void AppProtocol::handleVersionReply(const RawMessage& message) {
    const appwire::VersionReply reply = appwire::decodeVersionReply(support::readerOf(message));
    if (!reply.valid) {
        return;
    }
    setServerVersion(reply.text);
    reportServerVersion(reply.text);
    setProtocolVersion(1);
}

}  // namespace com_nax
