#include "emulators/sim_server/SimSide.h"

#include <iostream>

#include "emulators/sim_server/SimMessages.h"

namespace simemu {

SimSide::SimSide(ParameterStore& store, Recorder& recorder, const EmulatorOptions& options)
    : store_(store),
      recorder_(recorder),
      options_(options),
      floatValues_(options.simFloatValues),
      endpoint_("SIM", *this, options.timing.simPoll, options.quiet) {}

SimSide::~SimSide() {
    endpoint_.stop();
}

void SimSide::log(const std::string& line) const {
    if (!options_.quiet) {
        std::cout << "SIM " << line << std::endl;
    }
}

void SimSide::sendVersionReply(std::uint16_t simulatorId) {
    endpoint_.post([this, simulatorId] {
        endpoint_.send(kFrameKindData, sim::versionReply(simulatorId, options_.versionText,
                                                         options_.protocolVersion));
    });
}

void SimSide::sendUnknownCode(std::uint16_t code) {
    endpoint_.post(
        [this, code] { endpoint_.send(kFrameKindData, sim::bareMessage(code, simulatorId_)); });
}

void SimSide::onConnected() {
    inputs_.clear();
    outputs_.clear();
    publishSnapshot();
    recorder_.connected(Protocol::Sim);
}

void SimSide::onDisconnected() {
    // SIM ids live as long as the connection.
    inputs_.clear();
    outputs_.clear();
    publishSnapshot();
    recorder_.disconnected(Protocol::Sim);
}

void SimSide::publishSnapshot() {
    Recorder::Ids ins, outs;
    for (const auto& kv : inputs_) {
        ins[kv.second.name] = kv.first;
    }
    for (const auto& kv : outputs_) {
        outs[kv.second] = kv.first;
    }
    recorder_.setSubscriptions(Protocol::Sim, std::move(ins), std::move(outs));
}

void SimSide::onFrame(const Frame& frame) {
    ReceivedMessage m = sim::decode(frame);
    if (m.malformed) {
        std::cerr << "SIM malformed " << kindName(m.kind) << " (" << frame.payload.size()
                  << " bytes) ignored" << std::endl;
    } else if (m.kind != MessageKind::SimUnknown) {
        simulatorId_ = static_cast<std::uint16_t>(m.scope);
    }
    // Recorded before the reply goes out, so a test that sees the reply also
    // finds the request.
    recorder_.record(m);
    if (m.malformed) {
        return;
    }
    switch (m.kind) {
        case MessageKind::SimVersionRequest:
            handleVersionRequest(m);
            break;
        case MessageKind::SimInputSubscription:
            handleSubscription(m);
            break;
        case MessageKind::SimInputUnsubscription:
            for (const auto& e : m.entries) {
                inputs_.erase(e.serverId);
            }
            publishSnapshot();
            break;
        case MessageKind::SimOutputRegistration:
            handleRegistration(m);
            break;
        case MessageKind::SimOutputUnregistration:
            for (const auto& e : m.entries) {
                outputs_.erase(e.serverId);
            }
            publishSnapshot();
            break;
        case MessageKind::SimPublish:
            handlePublish(m);
            break;
        default:
            log("ignored message code " + std::to_string(m.code));
            break;
    }
}

void SimSide::handleVersionRequest(const ReceivedMessage& m) {
    const int forced = forcedSimulatorId_.load();
    const auto id =
        forced >= 0 ? static_cast<std::uint16_t>(forced) : static_cast<std::uint16_t>(m.scope);
    endpoint_.send(kFrameKindData,
                   sim::versionReply(id, options_.versionText, options_.protocolVersion));
}

void SimSide::handleSubscription(const ReceivedMessage& m) {
    std::vector<sim::ReplyRecord> records;
    for (const auto& e : m.entries) {
        const auto p = store_.get(e.name);
        if (!p) {
            log("unknown input " + e.name + " left out");
            continue;
        }
        sim::ReplyRecord rec;
        rec.serverId = kIdBase + static_cast<std::uint32_t>(p->index);
        rec.name = e.name;
        rec.isInt = p->type == ParamType::Int && !floatValues_.load();
        rec.value = p->value;
        rec.rate = e.rate;
        inputs_[rec.serverId] = Subscription{e.name, p->version};
        records.push_back(rec);
        log("input " + e.name + " subscribed as ID " + std::to_string(rec.serverId));
    }
    publishSnapshot();
    endpoint_.send(kFrameKindData, sim::inputSubscriptionReply(simulatorId_, records));
}

void SimSide::handleRegistration(const ReceivedMessage& m) {
    std::vector<sim::ReplyRecord> records;
    for (const auto& e : m.entries) {
        auto p = store_.get(e.name);
        if (!p) {
            // Outputs the server does not know yet become new parameters.
            store_.define(e.name, e.intFlag != 0 ? ParamType::Int : ParamType::Float, 0);
            p = store_.get(e.name);
        }
        sim::ReplyRecord rec;
        rec.serverId = kIdBase + static_cast<std::uint32_t>(p->index);
        rec.name = e.name;
        rec.isInt = p->type == ParamType::Int;
        outputs_[rec.serverId] = e.name;
        records.push_back(rec);
        log("output " + e.name + " registered as ID " + std::to_string(rec.serverId));
    }
    publishSnapshot();
    endpoint_.send(kFrameKindData, sim::outputRegistrationReply(simulatorId_, records));
}

void SimSide::handlePublish(const ReceivedMessage& m) {
    for (const auto& e : m.entries) {
        auto it = outputs_.find(e.serverId);
        if (it == outputs_.end()) {
            log("publish for unregistered ID " + std::to_string(e.serverId) + " ignored");
            continue;
        }
        store_.set(it->second, e.value);
        log("published " + it->second + " = " + std::to_string(e.value));
    }
}

void SimSide::onTick(std::chrono::steady_clock::time_point) {
    if (!endpoint_.clientConnected() || inputs_.empty()) {
        return;
    }
    std::vector<sim::ValueRecord> changed;
    for (auto& kv : inputs_) {
        const auto p = store_.get(kv.second.name);
        if (!p || p->version == kv.second.sentVersion) {
            continue;
        }
        kv.second.sentVersion = p->version;
        const bool isInt = p->type == ParamType::Int && !floatValues_.load();
        changed.push_back(sim::ValueRecord{kv.first, isInt, p->value});
    }
    if (!changed.empty()) {
        endpoint_.send(kFrameKindData, sim::simulatorUpdate(simulatorId_, changed));
    }
}

}  // namespace simemu
