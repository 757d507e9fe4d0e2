#include "client/core/CSClient.h"

#include <thread>

#include "client/core/CSClientProtocol.h"
#include "client/core/CSCommsInterfaceTCP.h"

namespace com_nax {

namespace {

// The facade waits on application threads, which are not CSThread workers: a plain
// sleep, never a cancellation point.
void pause(std::chrono::milliseconds duration) {
    std::this_thread::sleep_for(duration);
}

// An empty list asks nothing of the engine and succeeds; otherwise `send(data, count)`.
template <typename Item, typename Send>
CSClient::Result unlessEmpty(const std::vector<Item>& items, Send send) {
    if (items.empty()) {
        return CSClient::RESULT_OK;
    }
    return send(items.data(), static_cast<unsigned>(items.size()));
}

// The ids of `count` definitions; none for a null pointer.
template <typename Def>
std::vector<std::string> idsOf(const Def* defs, unsigned count) {
    std::vector<std::string> ids;
    for (unsigned i = 0; defs != nullptr && i < count; ++i) {
        ids.push_back(defs[i].id);
    }
    return ids;
}

// Polls `seconds` times at most, one poll interval apart, until `waiting` (a count of
// registrations the server has not confirmed yet) is 0; false without an engine.
bool waitForNoneWaiting(const CSClientProtocol* protocol, unsigned seconds,
                        unsigned (CSClientProtocol::*waiting)() const) {
    if (protocol == nullptr) {
        return false;
    }
    const auto interval = protocol->getTimings().waitPollInterval;
    for (unsigned i = 0; i < seconds; ++i) {
        if ((protocol->*waiting)() == 0) {
            return true;
        }
        pause(interval);
    }
    return false;
}

}  // namespace

CSClient::CSClient(unsigned options) {
    (void)options;
}

CSClient::~CSClient() {
    if (protocol_ == nullptr) {
        return;
    }
    protocol_->forceCloseConnection();
    const auto interval = protocol_->getTimings().waitPollInterval;
    while (protocol_->getState() != STATE_DISCONNECTED) {
        pause(interval);
    }
    delete protocol_;
    protocol_ = nullptr;
}

void CSClient::setProtocol(CSClientProtocol* protocol) {
    if (protocol_ != nullptr && protocol_ != protocol) {
        delete protocol_;
    }
    protocol_ = protocol;
}

CSClient::Result CSClient::open(const char* address, unsigned port,
                                const ConnectionOptions* options) {
    return open(CSCommsInterfaceTCP::convertIPAddressToOctet(address), port, options);
}

CSClient::Result CSClient::open(unsigned address, unsigned port, const ConnectionOptions* options) {
    if (protocol_ == nullptr) {
        return RESULT_COMMS_ERROR;
    }
    return protocol_->openConnection(address, port, options);
}

void CSClient::close() {
    if (protocol_ == nullptr) {
        return;
    }
    protocol_->forceCloseConnection();
    const CSTimings timings = protocol_->getTimings();
    for (unsigned i = 0; i < timings.closeChecks && protocol_->getState() != STATE_DISCONNECTED;
         ++i) {
        pause(timings.closePollInterval);
    }
}

bool CSClient::waitForConnectionState(State state, unsigned seconds) const {
    if (protocol_ == nullptr) {
        return state == STATE_DISCONNECTED;
    }
    if (protocol_->getState() == state) {
        return true;
    }
    const auto interval = protocol_->getTimings().waitPollInterval;
    for (unsigned i = 0; i < seconds; ++i) {
        pause(interval);
        if (protocol_->getState() == state) {
            return true;
        }
    }
    return false;
}

CSClient::Result CSClient::sendMessage(const RawMessage& message) {
    return protocol_ != nullptr ? protocol_->sendMessage(message) : RESULT_NOT_CONNECTED;
}

CSClient::State CSClient::getConnectionState() const {
    return protocol_ != nullptr ? protocol_->getState() : STATE_DISCONNECTED;
}

unsigned CSClient::getOptions() const {
    return protocol_ != nullptr ? protocol_->getOptions() : 0u;
}

bool CSClient::hasOptions(unsigned mask) const {
    return protocol_ != nullptr ? protocol_->hasOptions(mask) : mask == 0;
}

std::string CSClient::getServerVersion() const {
    return protocol_ != nullptr ? protocol_->getServerVersion() : std::string("UNKNOWN");
}

unsigned CSClient::getProtocolVersion() const {
    return protocol_ != nullptr ? protocol_->getProtocolVersion() : 0u;
}

std::string CSClient::getServerIPAddress() const {
    return protocol_ != nullptr ? protocol_->getServerIPAddress() : std::string("0.0.0.0");
}

unsigned CSClient::getServerPort() const {
    return protocol_ != nullptr ? protocol_->getServerPort() : 0u;
}

const char* CSClient::getClientVersion() {
    return "2-1-50-0";
}

void CSClient::setTimings(const CSTimings& timings) {
    if (protocol_ != nullptr) {
        protocol_->setTimings(timings);
    }
}

CSTimings CSClient::getTimings() const {
    return protocol_ != nullptr ? protocol_->getTimings() : CSTimings();
}

// ---- registration and values

CSClient::Result CSClient::registerInputParameter(const InputDef& def) {
    return registerInputParameters(&def, 1);
}

CSClient::Result CSClient::registerInputParameters(const InputDef* defs, unsigned count) {
    return protocol_ != nullptr ? protocol_->registerInputParameters(defs, count)
                                : RESULT_NOT_CONNECTED;
}

CSClient::Result CSClient::registerInputParameters(const std::vector<InputDef>& defs) {
    return unlessEmpty(defs, [this](const InputDef* data, unsigned count) {
        return registerInputParameters(data, count);
    });
}

CSClient::Result CSClient::unregisterInputParameter(const std::string& id) {
    return unregisterInputParameters(std::vector<std::string>{id});
}

CSClient::Result CSClient::unregisterInputParameters(const std::vector<std::string>& ids) {
    return protocol_ != nullptr ? protocol_->unregisterInputParameters(ids) : RESULT_NOT_CONNECTED;
}

CSClient::Result CSClient::unregisterInputParameters(const InputDef* defs, unsigned count) {
    return unregisterInputParameters(idsOf(defs, count));
}

CSClient::Result CSClient::unregisterAllInputParameters() {
    return protocol_ != nullptr ? protocol_->unregisterAllInputParameters() : RESULT_NOT_CONNECTED;
}

CSClient::Result CSClient::registerOutputParameter(const OutputDef& def) {
    return registerOutputParameters(&def, 1);
}

CSClient::Result CSClient::registerOutputParameters(const OutputDef* defs, unsigned count) {
    return protocol_ != nullptr ? protocol_->registerOutputParameters(defs, count)
                                : RESULT_NOT_CONNECTED;
}

CSClient::Result CSClient::registerOutputParameters(const std::vector<OutputDef>& defs) {
    return unlessEmpty(defs, [this](const OutputDef* data, unsigned count) {
        return registerOutputParameters(data, count);
    });
}

CSClient::Result CSClient::unregisterOutputParameter(const std::string& id) {
    return unregisterOutputParameters(std::vector<std::string>{id});
}

CSClient::Result CSClient::unregisterOutputParameters(const std::vector<std::string>& ids) {
    return protocol_ != nullptr ? protocol_->unregisterOutputParameters(ids) : RESULT_NOT_CONNECTED;
}

CSClient::Result CSClient::unregisterOutputParameters(const OutputDef* defs, unsigned count) {
    return unregisterOutputParameters(idsOf(defs, count));
}

CSClient::Result CSClient::unregisterAllOutputParameters() {
    return protocol_ != nullptr ? protocol_->unregisterAllOutputParameters() : RESULT_NOT_CONNECTED;
}

unsigned CSClient::getNumberOfRegisteredInputParameters() const {
    return protocol_ != nullptr ? protocol_->getNumberOfInputParameters(true) : 0u;
}

unsigned CSClient::getNumberOfUnregisteredInputParameters() const {
    return protocol_ != nullptr ? protocol_->getNumberOfInputParametersWaitingForConfirmation()
                                : 0u;
}

unsigned CSClient::getNumberOfRegisteredOutputParameters() const {
    return protocol_ != nullptr ? protocol_->getNumberOfOutputParameters(true) : 0u;
}

unsigned CSClient::getNumberOfUnregisteredOutputParameters() const {
    return protocol_ != nullptr ? protocol_->getNumberOfOutputParametersWaitingForConfirmation()
                                : 0u;
}

bool CSClient::isInputParameterRegistered(const std::string& id) const {
    return protocol_ != nullptr && protocol_->hasInputParameter(id, true);
}

bool CSClient::isOutputParameterRegistered(const std::string& id) const {
    return protocol_ != nullptr && protocol_->hasOutputParameter(id, true);
}

bool CSClient::waitForInputsToBeRegistered(unsigned seconds) const {
    return waitForNoneWaiting(protocol_, seconds,
                              &CSClientProtocol::getNumberOfInputParametersWaitingForConfirmation);
}

bool CSClient::waitForOutputsToBeRegistered(unsigned seconds) const {
    return waitForNoneWaiting(protocol_, seconds,
                              &CSClientProtocol::getNumberOfOutputParametersWaitingForConfirmation);
}

CSClient::Result CSClient::publishParameter(const Parameter& parameter) {
    return publishParameters(&parameter, 1);
}

CSClient::Result CSClient::publishParameters(const Parameter* parameters, unsigned count) {
    return protocol_ != nullptr
               ? protocol_->publishParameters(parameters, count, CSClientProtocol::PUBLISH_NORMAL)
               : RESULT_NOT_CONNECTED;
}

CSClient::Result CSClient::publishParameters(const std::vector<Parameter>& parameters) {
    return unlessEmpty(parameters, [this](const Parameter* data, unsigned count) {
        return publishParameters(data, count);
    });
}

bool CSClient::findPublishedParameter(const std::string& id, Parameter& out) const {
    return protocol_ != nullptr && protocol_->findPublishedParameter(id, out);
}

void CSClient::getAllPublishedParameters(std::vector<Parameter>& out) const {
    if (protocol_ != nullptr) {
        protocol_->getAllPublishedParameters(out);
    }
}

// ---- callbacks

bool CSClient::addCallbackInterface(CallbackIface* callback) {
    return protocol_ != nullptr && protocol_->addCallbackInterface(callback);
}

void CSClient::removeCallbackInterface(CallbackIface* callback) {
    if (protocol_ != nullptr) {
        protocol_->removeCallbackInterface(callback);
    }
}

bool CSClient::hasCallbackInterface(CallbackIface* callback) const {
    return protocol_ != nullptr && protocol_->hasCallbackInterface(callback);
}

unsigned CSClient::getNumCallbackInterfaces() const {
    return protocol_ != nullptr ? protocol_->getNumCallbackInterfaces() : 0u;
}

void CSClient::getCallbackInterfaces(std::set<CallbackIface*>& out) const {
    if (protocol_ != nullptr) {
        protocol_->getCallbackInterfaces(out);
    } else {
        out.clear();
    }
}

}  // namespace com_nax
