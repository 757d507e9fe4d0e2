// The server's side of the registry: confirmations, value updates and the
// publishing again of confirmed outputs, shared by every protocol.
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "client/core/CSClientProtocol.h"
#include "client/core/Printable.h"

namespace com_nax {

namespace {

// A server confirmation of the registered `name`; the registry lock is held.
// Returns nullptr for a name not registered.
template <typename Entry>
Entry* confirmEntry(std::map<std::string, Entry*>& entries,
                    CSClientProtocol::ConfirmedIds<Entry>& confirmedIds, const std::string& name,
                    uint32_t serverId, bool quiet, const char* successText) {
    auto it = entries.find(name);
    if (it == entries.end()) {
        return nullptr;
    }
    Entry* entry = it->second;
    if (!quiet) {
        std::cout << successText << printable(name) << " as ID " << serverId << std::endl;
    }
    // A second confirmation under a new id must not leave the old id behind,
    // or the confirmed count would exceed the registered one.
    if (entry->serverId != CSClientProtocol::UNASSIGNED_ID && entry->serverId != serverId) {
        auto old = confirmedIds.find(entry->serverId);
        if (old != confirmedIds.end() && old->second == entry) {
            confirmedIds.erase(old);
        }
    }
    entry->serverId = serverId;
    confirmedIds.set(serverId, entry);
    return entry;
}

}  // namespace

CSClient::Parameter CSClientProtocol::parameterFromEntry(const OutputParameterEntry& entry) {
    CSClient::Parameter parameter;
    parameter.id = entry.id;
    parameter.value = entry.value;
    parameter.type =
        entry.type == CSClient::PARAM_INT ? CSClient::PARAM_INT : CSClient::PARAM_FLOAT;
    parameter.override = entry.override;
    return parameter;
}

void CSClientProtocol::snapshotCallbacks(CallbackSnapshot& out) const {
    CSMutex::Guard guard(callbackLock_);
    for (CSClient::CallbackIface* callback : callbacks_) {
        if (out.count < CallbackSnapshot::kInline) {
            out.inline_[out.count] = callback;
        } else {
            out.more.push_back(callback);
        }
        ++out.count;
    }
}

CSClient::Result CSClientProtocol::sendPayload(Bytes payload, RawMessage::Type type) {
    return sendMessage(RawMessage(std::move(payload), type));
}

CSClient::Result CSClientProtocol::sendQueued(Bytes payload) {
    const CSClient::Result result = sendPayload(std::move(payload));
    return result == CSClient::RESULT_NOT_CONNECTED ? CSClient::RESULT_OK : result;
}

void CSClientProtocol::confirmInputLocked(const std::string& name, uint32_t serverId,
                                          const ReceivedValue& value, const char* successText,
                                          InputConfirmations& done) {
    InputParameterEntry* entry =
        confirmEntry(inputs_, confirmedInputs_, name, serverId, isQuiet(), successText);
    if (entry == nullptr) {
        return;
    }
    done.inputs.push_back({entry->id, entry->type, entry->rate});
    CSClient::Parameter initial;
    if (parameterOfType(entry->id, entry->type, value, false, initial)) {
        done.initial.push_back(std::move(initial));
    }
}

void CSClientProtocol::confirmOutputLocked(const std::string& name, uint32_t serverId,
                                           const char* successText, OutputConfirmations& done) {
    OutputParameterEntry* entry =
        confirmEntry(outputs_, confirmedOutputs_, name, serverId, isQuiet(), successText);
    if (entry == nullptr) {
        std::cerr << "Parameter not found: " << printable(name) << "(" << serverId << ")"
                  << std::endl;
        return;
    }
    done.outputs.push_back({entry->id, entry->type});
    if (entry->hasValue) {
        done.republish.push_back(entry->id);
    }
}

const CSClientProtocol::InputParameterEntry* CSClientProtocol::lookUpLocked(std::size_t record,
                                                                            uint32_t serverId) {
    const auto it = confirmedInputs_.find(serverId);
    const InputParameterEntry* entry = it == confirmedInputs_.end() ? nullptr : it->second;
    auto& byRecord = update_.byRecord;
    if (record < byRecord.size()) {
        byRecord[record] = {serverId, entry};
    } else {
        byRecord.emplace_back(serverId, entry);  // records come in order
    }
    return entry;
}

std::size_t CSClientProtocol::deliverRecordLocked(std::size_t record, uint32_t serverId,
                                                  const ReceivedValue& value, bool override,
                                                  std::size_t count) {
    const auto& byRecord = update_.byRecord;
    const InputParameterEntry* entry =
        record < byRecord.size() && byRecord[record].first == serverId
            ? byRecord[record].second
            : lookUpLocked(record, serverId);
    if (entry != nullptr && update_.set(count, *entry, value, override)) {
        ++count;
    }
    return count;
}

void CSClientProtocol::republishOutputs(const std::vector<std::string>& ids, bool splitOverride) {
    if (ids.empty()) {
        return;
    }
    // Looked up again under the lock the publish hook expects: an application
    // thread may have unregistered an output meanwhile.
    CSMutex::Guard guard(registryLock_);
    std::vector<OutputParameterEntry*> normal;
    std::vector<OutputParameterEntry*> overridden;
    for (const std::string& id : ids) {
        auto it = outputs_.find(id);
        if (it == outputs_.end() || !it->second->hasValue) {
            continue;
        }
        (splitOverride && it->second->override ? overridden : normal).push_back(it->second);
    }
    if (!splitOverride) {
        sendParameterPublishRequest(normal, PUBLISH_NORMAL);
        return;
    }
    if (!normal.empty()) {
        sendParameterPublishRequest(normal, PUBLISH_NORMAL);
    }
    if (!overridden.empty()) {
        sendParameterPublishRequest(overridden, PUBLISH_OVERRIDE);
    }
}

}  // namespace com_nax
