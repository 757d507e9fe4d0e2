#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/core/CSClient.h"
#include "client/core/CSClientProtocol.h"

namespace coretest {

// Request codes of the test protocol: byte 10..11 of the 12-byte sub-header.
enum TestCode : uint16_t {
    CODE_INPUT_SUB = 1,
    CODE_OUTPUT_SUB = 2,
    CODE_PUBLISH = 3,
    CODE_INPUT_UNSUB = 4,
    CODE_OUTPUT_UNSUB = 5,
    CODE_VERSION = 6,
};

// A minimal protocol: every hook sends one data message (code, then the ids) and
// is recorded; received messages are recorded.
class TestProtocol : public com_nax::CSClientProtocol {
  public:
    using Result = com_nax::CSClient::Result;

    explicit TestProtocol(unsigned options) : CSClientProtocol(options) {}
    ~TestProtocol() override { stopReceiveThread(); }

    void handleReceivedMessage(const com_nax::RawMessage& message) override {
        std::unique_lock<std::mutex> lock(mutex_);
        received_.push_back(message);
        const bool block = blockHandler_;
        lock.unlock();
        while (block && blockHandler_) {
            std::this_thread::yield();
        }
    }
    Result requestSimulatorVersion() override { return send(CODE_VERSION, {}); }
    Result sendInputSubscriptionRequest(const std::vector<InputParameterEntry*>& e) override {
        return send(CODE_INPUT_SUB, ids(e));
    }
    Result sendInputUnsubscriptionRequest(const std::vector<InputParameterEntry*>& e) override {
        return send(CODE_INPUT_UNSUB, ids(e));
    }
    Result sendOutputSubscriptionRequest(const std::vector<OutputParameterEntry*>& e) override {
        return send(CODE_OUTPUT_SUB, ids(e));
    }
    Result sendOutputUnsubscriptionRequest(const std::vector<OutputParameterEntry*>& e) override {
        return send(CODE_OUTPUT_UNSUB, ids(e));
    }
    Result sendParameterPublishRequest(const std::vector<OutputParameterEntry*>& e,
                                       PublishMode mode) override {
        lastPublishMode = mode;
        return send(CODE_PUBLISH, ids(e));
    }

    // What a protocol does on the server's confirmation.
    void confirmInput(const std::string& id, uint32_t serverId) {
        com_nax::CSMutex::Guard guard(registryLock_);
        auto it = inputs_.find(id);
        if (it != inputs_.end()) {
            it->second->serverId = serverId;
            confirmedInputs_.set(serverId, it->second);
        }
    }
    void confirmOutput(const std::string& id, uint32_t serverId) {
        com_nax::CSMutex::Guard guard(registryLock_);
        auto it = outputs_.find(id);
        if (it != outputs_.end()) {
            it->second->serverId = serverId;
            confirmedOutputs_.set(serverId, it->second);
        }
    }
    // What a protocol does with an update's records (server id, float value).
    void deliver(const std::vector<std::pair<uint32_t, float>>& records, bool override = false) {
        deliverValues(records.size(), override, [&records](auto visit) {
            for (const auto& record : records) {
                visit(record.first, com_nax::ReceivedValue::ofFloat(record.second));
            }
        });
    }
    uint32_t outputServerId(const std::string& id) const {
        com_nax::CSMutex::Guard guard(registryLock_);
        auto it = outputs_.find(id);
        return it == outputs_.end() ? 0 : it->second->serverId;
    }

    std::vector<std::pair<TestCode, std::vector<std::string>>> hooks() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return hooks_;
    }
    std::vector<com_nax::RawMessage> received() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return received_;
    }
    void setBlockHandler(bool block) { blockHandler_ = block; }

    std::atomic<unsigned> lastPublishMode{0xFFFFFFFFu};

  private:
    template <typename Entry>
    static std::vector<std::string> ids(const std::vector<Entry*>& entries) {
        std::vector<std::string> out;
        for (const Entry* entry : entries) {
            out.push_back(entry->id);
        }
        return out;
    }

    Result send(TestCode code, const std::vector<std::string>& names) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            hooks_.emplace_back(code, names);
        }
        com_nax::RawMessage message(com_nax::RawMessage::MSG_DATA);
        const char head[12] = {4, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<char>(code)};
        message.write(head, sizeof head);
        for (const std::string& name : names) {
            message.write(name.c_str(), static_cast<unsigned>(name.size() + 1));
        }
        const Result result = sendMessage(message);
        return result == com_nax::CSClient::RESULT_NOT_CONNECTED ? com_nax::CSClient::RESULT_OK
                                                                 : result;
    }

    // Guards hooks_ and received_; taken inside the registry hooks (registry lock
    // held) and on the receive thread; nothing is locked while holding it.
    mutable std::mutex mutex_;
    std::vector<std::pair<TestCode, std::vector<std::string>>> hooks_;
    std::vector<com_nax::RawMessage> received_;
    std::atomic<bool> blockHandler_{false};
};

class TestClient : public com_nax::CSClient {
  public:
    explicit TestClient(unsigned options) : CSClient(options) {
        engine = new TestProtocol(options);
        setProtocol(engine);
    }
    TestProtocol* engine;
};

// Records every state change and can run an action inside one.
class StateRecorder : public com_nax::CSClient::CallbackIface {
  public:
    using State = com_nax::CSClient::State;
    void connectionStateChanged(State previous, State current) override {
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            changes_.emplace_back(previous, current);
            if (hasAction_ && current == actionOn_) {
                action = action_;
            }
        }
        if (action) {
            action();
        }
    }
    void parametersUpdated(const std::vector<com_nax::CSClient::Parameter>&) override {}

    std::vector<std::pair<State, State>> changes() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return changes_;
    }
    bool saw(State previous, State current) const {
        for (const auto& change : changes()) {
            if (change.first == previous && change.second == current) {
                return true;
            }
        }
        return false;
    }
    void onState(State state, std::function<void()> action) {
        std::lock_guard<std::mutex> guard(mutex_);
        hasAction_ = true;
        actionOn_ = state;
        action_ = std::move(action);
    }

  private:
    // Guards the record and the action; taken on the threads that change the state,
    // possibly with the engine's state lock held.
    mutable std::mutex mutex_;
    std::vector<std::pair<State, State>> changes_;
    bool hasAction_ = false;
    State actionOn_ = com_nax::CSClient::STATE_DISCONNECTED;
    std::function<void()> action_;
};

// Timings short enough for tests.
inline com_nax::CSTimings fastTimings() {
    com_nax::CSTimings t;
    t.reconnectPause = std::chrono::milliseconds(50);
    t.closePollInterval = std::chrono::milliseconds(100);
    t.closeChecks = 2;
    t.waitPollInterval = std::chrono::milliseconds(20);
    t.receiveTimeout = std::chrono::milliseconds(100);
    t.sendTimeout = std::chrono::milliseconds(1000);
    t.payloadStallLimit = std::chrono::milliseconds(300);
    return t;
}

}  // namespace coretest
