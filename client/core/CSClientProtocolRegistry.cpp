// The parameter registry part of CSClientProtocol.
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "client/core/CSClientProtocol.h"

namespace com_nax {

namespace {

bool idTooLong(const std::string& id) {
    return id.size() >= CSClientProtocol::MAX_PARAMETER_ID_LENGTH;
}

void logTooLong(const std::string& id) {
    std::cerr << "Length of parameter id string '" << id << "' exceeds maximum "
              << CSClientProtocol::MAX_PARAMETER_ID_LENGTH << std::endl;
}

void logInvalidSubscriptionType(const std::string& id) {
    std::cerr << "Subscription type of parameter id string '" << id << "' is invalid!" << std::endl;
}

void logAlreadyRegistered(const std::string& id) {
    std::cerr << "Parameter '" << id << "' already registered." << std::endl;
}

void logRequestedTwice(const std::string& id) {
    std::cerr << "Parameter '" << id
              << "' is requested more than once in the same subscription call." << std::endl;
}

// The checks of `defs[i]`'s id shared by both registrations: its length, an id
// registered already, the same id later in the call. False (after the message)
// refuses the call; `logLength` says whether a refused length is logged.
template <typename Def, typename Entry>
bool acceptableId(const Def* defs, unsigned i, unsigned count,
                  const std::map<std::string, Entry*>& registered, bool logLength) {
    const std::string& id = defs[i].id;
    if (idTooLong(id)) {
        if (logLength) {
            logTooLong(id);
        }
        return false;
    }
    if (registered.count(id) != 0) {
        logAlreadyRegistered(id);
        return false;
    }
    for (unsigned j = i + 1; j < count; ++j) {
        if (defs[j].id == id) {
            logRequestedTwice(id);
            return false;
        }
    }
    return true;
}

void logInvalidOutputType(const std::string& id) {
    std::cerr << "Invalid parameter type for output id string '" << id << "'!" << std::endl;
}

CSClientProtocol::InputParameterEntry* newEntry(const CSClient::InputDef& def) {
    auto* entry = new CSClientProtocol::InputParameterEntry;
    entry->id = def.id;
    entry->type = def.type;
    entry->rate = def.rate;
    entry->tag = def.tag;
    return entry;
}

CSClientProtocol::OutputParameterEntry* newEntry(const CSClient::OutputDef& def) {
    auto* entry = new CSClientProtocol::OutputParameterEntry;
    entry->id = def.id;
    entry->type = def.type;
    return entry;
}

// Checks and enters the definitions of one registration call in order, the
// registry lock held; `added` gets the new entries. False at the first refused
// definition (after its message): the ones before it stay entered, waiting for
// the next re-registration. `logLength` says whether a refused length is logged.
template <typename Def, typename Entry, typename LogType>
bool enterDefinitions(const Def* defs, unsigned count, std::map<std::string, Entry*>& entries,
                      bool logLength, LogType logInvalidType, std::vector<Entry*>& added) {
    if (defs == nullptr) {
        return false;
    }
    for (unsigned i = 0; i < count; ++i) {
        const Def& def = defs[i];
        if (def.type == CSClient::PARAM_INVALID) {
            logInvalidType(def.id);
            return false;
        }
        if (!acceptableId(defs, i, count, entries, logLength)) {
            return false;
        }
        Entry* entry = newEntry(def);
        entries[def.id] = entry;
        added.push_back(entry);
    }
    return true;
}

template <typename Entry>
std::vector<std::string> idsOf(const std::map<std::string, Entry*>& entries) {
    std::vector<std::string> ids;
    for (const auto& item : entries) {
        ids.push_back(item.first);
    }
    return ids;
}

// Unregistration of inputs or outputs; `lock` is registryLock_, not held by the caller,
// and taken here around every use of `entries` and `confirmedIds`.
template <typename Entry, typename Hook>
CSClient::Result unregisterEntries(CSMutex& lock, std::map<std::string, Entry*>& entries,
                                   CSClientProtocol::ConfirmedIds<Entry>& confirmedIds,
                                   const std::vector<std::string>& ids, Hook sendUnsubscription) {
    if (ids.empty()) {
        return CSClient::RESULT_OK;
    }
    // The hook runs without the lock, so it gets copies: the receive thread may
    // confirm or another caller remove the entries meanwhile.
    std::vector<Entry> confirmed;
    std::set<std::string> found;
    {
        CSMutex::Guard guard(lock);
        for (const std::string& id : ids) {
            auto it = entries.find(id);
            if (it != entries.end() && found.insert(id).second &&
                it->second->serverId != CSClientProtocol::UNASSIGNED_ID) {
                confirmed.push_back(*it->second);
            }
        }
    }
    if (!confirmed.empty()) {
        std::vector<Entry*> copies;
        for (Entry& entry : confirmed) {
            copies.push_back(&entry);
        }
        sendUnsubscription(copies);
    }
    CSMutex::Guard guard(lock);
    for (const std::string& id : found) {
        auto it = entries.find(id);
        if (it == entries.end()) {
            continue;
        }
        auto confirmedIt = confirmedIds.find(it->second->serverId);
        if (confirmedIt != confirmedIds.end() && confirmedIt->second == it->second) {
            confirmedIds.erase(confirmedIt);
        }
        delete it->second;
        entries.erase(it);
    }
    return CSClient::RESULT_OK;
}

}  // namespace

bool CSClientProtocol::acceptableParameter(const CSClient::Parameter& parameter) {
    if (parameter.type == CSClient::PARAM_INVALID) {
        logInvalidSubscriptionType(parameter.id);
        return false;
    }
    if (idTooLong(parameter.id)) {
        logTooLong(parameter.id);
        return false;
    }
    return true;
}

CSClient::Result CSClientProtocol::registerInputParameters(const CSClient::InputDef* defs,
                                                           unsigned count) {
    if (count == 0) {
        return CSClient::RESULT_OK;
    }
    CSMutex::Guard guard(registryLock_);
    std::vector<InputParameterEntry*> added;
    if (!enterDefinitions(defs, count, inputs_, true, logInvalidSubscriptionType, added)) {
        return CSClient::RESULT_INVALID_ARGUMENT;
    }
    return sendInputSubscriptionRequest(added);
}

CSClient::Result CSClientProtocol::registerOutputParameters(const CSClient::OutputDef* defs,
                                                            unsigned count) {
    if (count == 0) {
        return CSClient::RESULT_OK;
    }
    CSMutex::Guard guard(registryLock_);
    std::vector<OutputParameterEntry*> added;
    if (!enterDefinitions(defs, count, outputs_, !isQuiet(), logInvalidOutputType, added)) {
        return CSClient::RESULT_INVALID_ARGUMENT;
    }
    return sendOutputSubscriptionRequest(added);
}

// Not analysed: unregisterEntries takes registryLock_ itself around each use of
// the maps it is handed, which clang cannot relate to the lock passed beside them.
CSClient::Result CSClientProtocol::unregisterInputParameters(const std::vector<std::string>& ids)
    NO_THREAD_SAFETY_ANALYSIS {
    return unregisterEntries(registryLock_, inputs_, confirmedInputs_, ids,
                             [this](const std::vector<InputParameterEntry*>& entries) {
                                 sendInputUnsubscriptionRequest(entries);
                             });
}

// Not analysed, as unregisterInputParameters.
CSClient::Result CSClientProtocol::unregisterOutputParameters(const std::vector<std::string>& ids)
    NO_THREAD_SAFETY_ANALYSIS {
    return unregisterEntries(registryLock_, outputs_, confirmedOutputs_, ids,
                             [this](const std::vector<OutputParameterEntry*>& entries) {
                                 sendOutputUnsubscriptionRequest(entries);
                             });
}

CSClient::Result CSClientProtocol::unregisterAllInputParameters() {
    std::vector<std::string> ids;
    {
        CSMutex::Guard guard(registryLock_);
        ids = idsOf(inputs_);
    }
    return unregisterInputParameters(ids);
}

CSClient::Result CSClientProtocol::unregisterAllOutputParameters() {
    std::vector<std::string> ids;
    {
        CSMutex::Guard guard(registryLock_);
        ids = idsOf(outputs_);
    }
    return unregisterOutputParameters(ids);
}

void CSClientProtocol::unregisterAllLocalParameters() {
    CSMutex::Guard guard(registryLock_);
    for (auto& item : inputs_) {
        delete item.second;
    }
    for (auto& item : outputs_) {
        delete item.second;
    }
    inputs_.clear();
    confirmedInputs_.clear();
    outputs_.clear();
    confirmedOutputs_.clear();
}

void CSClientProtocol::reregisterAllInputParameters() {
    std::vector<CSClient::InputDef> defs;
    {
        CSMutex::Guard guard(registryLock_);
        if (inputs_.empty()) {
            return;
        }
        if (!isQuiet()) {
            std::cout << "Registering " << inputs_.size() << " input parameters with server..."
                      << std::endl;
        }
        for (auto& item : inputs_) {
            CSClient::InputDef def;
            def.id = item.second->id;
            def.type = item.second->type;
            def.rate = item.second->rate;
            def.tag = item.second->tag;
            defs.push_back(def);
            delete item.second;
        }
        inputs_.clear();
        confirmedInputs_.clear();
    }
    registerInputParameters(defs.data(), static_cast<unsigned>(defs.size()));
}

void CSClientProtocol::reregisterAllOutputParameters() {
    CSMutex::Guard guard(registryLock_);
    if (outputs_.empty()) {
        return;
    }
    if (!isQuiet()) {
        std::cout << "Registering " << outputs_.size() << " output parameters with server..."
                  << std::endl;
    }
    std::vector<OutputParameterEntry*> entries;
    for (auto& item : outputs_) {
        entries.push_back(item.second);
    }
    sendOutputSubscriptionRequest(entries);
}

CSClient::Result CSClientProtocol::publishParameters(const CSClient::Parameter* params,
                                                     unsigned count, PublishMode mode) {
    if (count == 0) {
        return CSClient::RESULT_OK;
    }
    if (params == nullptr) {
        return CSClient::RESULT_INVALID_ARGUMENT;
    }
    CSMutex::Guard guard(registryLock_);
    // All checks first: a refused call stores nothing.
    for (unsigned i = 0; i < count; ++i) {
        const CSClient::Parameter& parameter = params[i];
        if (!acceptableParameter(parameter)) {
            return CSClient::RESULT_INVALID_ARGUMENT;
        }
        if (outputs_.count(parameter.id) == 0) {
            std::cerr << "Unknown parameter ID: " << parameter.id << std::endl;
            return CSClient::RESULT_INVALID_ARGUMENT;
        }
    }
    std::vector<OutputParameterEntry*> entries;
    for (unsigned i = 0; i < count; ++i) {
        OutputParameterEntry* entry = outputs_[params[i].id];
        entry->value = params[i].value;
        entry->hasValue = true;
        entry->override = params[i].override;
        entries.push_back(entry);
    }
    return sendParameterPublishRequest(entries, mode);
}

bool CSClientProtocol::hasInputParameter(const std::string& id, bool confirmedOnly) const {
    CSMutex::Guard guard(registryLock_);
    auto it = inputs_.find(id);
    return it != inputs_.end() && (!confirmedOnly || it->second->serverId != UNASSIGNED_ID);
}

bool CSClientProtocol::hasOutputParameter(const std::string& id, bool confirmedOnly) const {
    CSMutex::Guard guard(registryLock_);
    auto it = outputs_.find(id);
    return it != outputs_.end() && (!confirmedOnly || it->second->serverId != UNASSIGNED_ID);
}

unsigned CSClientProtocol::getNumberOfInputParameters(bool confirmedOnly) const {
    CSMutex::Guard guard(registryLock_);
    return static_cast<unsigned>(confirmedOnly ? confirmedInputs_.size() : inputs_.size());
}

unsigned CSClientProtocol::getNumberOfOutputParameters(bool confirmedOnly) const {
    CSMutex::Guard guard(registryLock_);
    return static_cast<unsigned>(confirmedOnly ? confirmedOutputs_.size() : outputs_.size());
}

unsigned CSClientProtocol::getNumberOfInputParametersWaitingForConfirmation() const {
    CSMutex::Guard guard(registryLock_);
    return inputs_.size() > confirmedInputs_.size()
               ? static_cast<unsigned>(inputs_.size() - confirmedInputs_.size())
               : 0u;
}

unsigned CSClientProtocol::getNumberOfOutputParametersWaitingForConfirmation() const {
    CSMutex::Guard guard(registryLock_);
    return outputs_.size() > confirmedOutputs_.size()
               ? static_cast<unsigned>(outputs_.size() - confirmedOutputs_.size())
               : 0u;
}

bool CSClientProtocol::findPublishedParameter(const std::string& id,
                                              CSClient::Parameter& out) const {
    CSMutex::Guard guard(registryLock_);
    auto it = outputs_.find(id);
    if (it == outputs_.end()) {
        return false;
    }
    out = parameterFromEntry(*it->second);
    return true;
}

void CSClientProtocol::getAllPublishedParameters(std::vector<CSClient::Parameter>& out) const {
    CSMutex::Guard guard(registryLock_);
    for (const auto& item : outputs_) {
        out.push_back(parameterFromEntry(*item.second));
    }
}

}  // namespace com_nax
