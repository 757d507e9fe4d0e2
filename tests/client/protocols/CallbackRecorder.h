#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "client/core/CSClient.h"

namespace prototest {

// Records every generic callback under a mutex; tests wait on what it saw.
template <typename Base>
class CallbackRecorder : public Base {
  public:
    using State = com_nax::CSClient::State;
    using Parameter = com_nax::CSClient::Parameter;
    using InputDef = com_nax::CSClient::InputDef;
    using OutputDef = com_nax::CSClient::OutputDef;

    void connectionStateChanged(State previous, State current) override {
        record([&] { states.emplace_back(previous, current); });
    }
    void parametersUpdated(const std::vector<Parameter>& parameters) override {
        record([&] { updates.push_back(parameters); });
    }
    void registrationComplete(const std::vector<OutputDef>& outputs) override {
        record([&] { outputConfirmations.push_back(outputs); });
    }
    void registrationComplete(const std::vector<InputDef>& inputs) override {
        record([&] { inputConfirmations.push_back(inputs); });
    }

    // Waits until `predicate()` holds, evaluated under the recorder's lock.
    template <typename Predicate>
    bool waitFor(Predicate predicate,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, predicate);
    }

    template <typename Reader>
    auto read(Reader reader) {
        std::lock_guard<std::mutex> lock(mutex);
        return reader();
    }

    // Guarded by `mutex`; tests read them through read() or waitFor().
    std::vector<std::pair<State, State>> states;
    std::vector<std::vector<Parameter>> updates;
    std::vector<std::vector<OutputDef>> outputConfirmations;
    std::vector<std::vector<InputDef>> inputConfirmations;

  protected:
    template <typename Change>
    void record(Change change) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            change();
        }
        changed.notify_all();
    }

    // Guards the recorded vectors; taken on the client's threads with engine locks held.
    std::mutex mutex;
    std::condition_variable changed;
};

}  // namespace prototest
