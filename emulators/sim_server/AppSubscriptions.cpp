#include "emulators/sim_server/AppSide.h"

#include <vector>

#include "emulators/sim_server/AppMessages.h"

// The ids a scenario hands out: input subscriptions, output registrations, the
// publishes that write through them into the store, and the recorder's copy.

namespace simemu {

namespace {

constexpr std::uint32_t kPublishNormal = 0;
constexpr std::uint32_t kPublishOverride = 2;
constexpr std::uint32_t kPublishResetOverride = 3;
constexpr std::uint32_t kPublishDelta = 0x10000;

}  // namespace

std::uint32_t AppSide::idFor(std::size_t index) const {
    return sce_.sceId * kIdStride + static_cast<std::uint32_t>(index) + 1;
}

void AppSide::subscribeLocked(const ReceivedMessage& m) {
    if (sce_.sceId == 0 || m.scope != sce_.sceId) {
        log("input subscription for scenario " + std::to_string(m.scope) + " ignored (active " +
            std::to_string(sce_.sceId) + ")");
        return;
    }
    std::vector<app::ReplyRecord> records;
    for (const auto& e : m.entries) {
        const auto p = store_.get(e.name);
        if (!p) {
            log("unknown input " + e.name + " left out");
            continue;
        }
        app::ReplyRecord r;
        r.serverId = idFor(p->index);
        r.name = e.name;
        r.value = static_cast<float>(p->value);
        r.rate = e.rate;
        inputs_[r.serverId] = Subscription{e.name, p->version};
        records.push_back(r);
    }
    log("scenario " + std::to_string(sce_.sceId) + ": " + std::to_string(records.size()) + " of " +
        std::to_string(m.entries.size()) + " inputs subscribed");
    snapshotLocked();
    endpoint_.send(kFrameKindData, app::inputSubscriptionReply(sce_.sceId, records));
}

void AppSide::registerLocked(const ReceivedMessage& m) {
    if (sce_.sceId == 0 || m.scope != sce_.sceId) {
        log("output registration for scenario " + std::to_string(m.scope) + " ignored");
        return;
    }
    std::vector<app::ReplyRecord> records;
    for (const auto& e : m.entries) {
        auto p = store_.get(e.name);
        if (!p) {
            store_.define(e.name, ParamType::Float, 0);
            p = store_.get(e.name);
        }
        app::ReplyRecord r;
        r.serverId = idFor(p->index);
        r.name = e.name;
        outputs_[r.serverId] = e.name;
        records.push_back(r);
    }
    snapshotLocked();
    endpoint_.send(kFrameKindData, app::outputRegistrationReply(sce_.sceId, records));
}

void AppSide::publishLocked(const ReceivedMessage& m) {
    if (sce_.sceId == 0 || m.scope != sce_.sceId) {
        log("publish for scenario " + std::to_string(m.scope) + " ignored");
        return;
    }
    for (const auto& e : m.entries) {
        auto it = outputs_.find(e.serverId);
        if (it == outputs_.end()) {
            log("publish for unregistered ID " + std::to_string(e.serverId) + " ignored");
            continue;
        }
        const std::string& name = it->second;
        switch (m.mode) {
            case kPublishDelta:
                store_.add(name, e.value);
                break;
            case kPublishOverride:
                if (beforeOverride_.count(name) == 0) {
                    beforeOverride_[name] = store_.valueOr(name, 0);
                }
                store_.set(name, e.value);
                break;
            case kPublishResetOverride:
                if (beforeOverride_.count(name) != 0) {
                    store_.set(name, beforeOverride_[name]);
                    beforeOverride_.erase(name);
                }
                break;
            case kPublishNormal:
            default:
                store_.set(name, e.value);
                break;
        }
    }
}

void AppSide::snapshotLocked() {
    Recorder::Ids ins, outs;
    for (const auto& kv : inputs_) {
        ins[kv.second.name] = kv.first;
    }
    for (const auto& kv : outputs_) {
        outs[kv.second] = kv.first;
    }
    recorder_.setSubscriptions(Protocol::App, std::move(ins), std::move(outs));
}

}  // namespace simemu
