#pragma once

// The engine's member templates that confirm registrations and deliver the
// server's updates, kept apart from the class declaration; included by
// client/core/CSClientProtocol.h only.
#include <algorithm>

#include "client/core/CSClientProtocol.h"

namespace com_nax {

template <typename Records, typename ValueOf>
void CSClientProtocol::confirmInputs(const Records& records, const char* successText,
                                     ValueOf valueOf) {
    InputConfirmations done;
    done.reserve(records.size());
    {
        CSMutex::Guard registry(registryLock_);
        for (const auto& r : records) {
            confirmInputLocked(r.name, r.serverId, valueOf(r), successText, done);
        }
    }
    forEachCallback([&done](CSClient::CallbackIface* callback) {
        callback->registrationComplete(done.inputs);
        callback->parametersUpdated(done.initial);
    });
}

template <typename Records>
void CSClientProtocol::confirmOutputs(const Records& records, const char* successText,
                                      bool splitOverride) {
    OutputConfirmations done;
    done.reserve(records.size());
    {
        CSMutex::Guard registry(registryLock_);
        for (const auto& r : records) {
            confirmOutputLocked(r.name, r.serverId, successText, done);
        }
    }
    forEachCallback([&done](CSClient::CallbackIface* callback) {
        callback->registrationComplete(done.outputs);
    });
    republishOutputs(done.republish, splitOverride);
}

template <typename ForEachRecord>
void CSClientProtocol::deliverValues(std::size_t expected, bool override,
                                     ForEachRecord forEachRecord) {
    UpdateScratch& update = update_;
    // Not more than is kept: a wild count must not reserve for records of
    // unknown ids that are dropped anyway.
    update.values.reserve(std::min(expected, UpdateScratch::kKeptUpdateRecords));
    std::size_t count = 0;
    {
        CSMutex::Guard registry(registryLock_);
        update.forgetIfChanged(confirmedInputs_.changes());
        std::size_t record = 0;
        // Inline: this runs for every sample. The usual record is the one
        // of last time, for the entry of last time at the same place: it
        // is read through a view of the lists, taken again after any
        // other record (which may change them).
        UpdateScratch::View view = update.view();
        forEachRecord([&](std::uint32_t serverId, const ReceivedValue& value) {
            // Runs inside the guard above; clang analyses a lambda apart.
            registryLock_.assumeHeld();
            const std::size_t r = record++;
            const InputParameterEntry* const entry =
                r < view.records && view.byRecord[r].first == serverId ? view.byRecord[r].second
                                                                       : nullptr;
            if (entry != nullptr && count < view.values && view.named[count] == entry) {
                count += valueOfType(entry->type, value, override, view.value[count]) ? 1 : 0;
            } else {
                count = deliverRecordLocked(r, serverId, value, override, count);
                view = update.view();
            }
        });
        update.keepFirst(count);
    }
    if (count > 0) {
        // The set seldom changes: its copy is kept until it does, so an
        // update takes no lock for it.
        const unsigned version = callbacksVersion_.load(std::memory_order_acquire);
        if (version != updateCallbacksVersion_) {
            updateCallbacks_ = CallbackSnapshot();
            snapshotCallbacks(updateCallbacks_);
            updateCallbacksVersion_ = version;
        }
        for (std::size_t i = 0; i < updateCallbacks_.count; ++i) {
            updateCallbacks_.at(i)->parametersUpdated(update.values);
        }
    }
    update.releaseIfLarge();
}

}  // namespace com_nax
