#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "emulators/sim_server/EmulatorOptions.h"
#include "emulators/sim_server/ParameterStore.h"
#include "emulators/sim_server/Recorder.h"
#include "emulators/sim_server/TcpEndpoint.h"

namespace simemu {

// The SIM protocol port: version replies, subscriptions whose ids last for the
// connection, output registrations, publishes into the store, and an update
// (code 3) whenever a subscribed value changes.
class SimSide : private TcpEndpoint::Handler {
  public:
    // Server ids are this plus the parameter's store index.
    static constexpr std::uint32_t kIdBase = 101;

    SimSide(ParameterStore& store, Recorder& recorder, const EmulatorOptions& options);
    ~SimSide() override;

    TcpEndpoint& endpoint() { return endpoint_; }
    // -1: version replies echo the requester's simulator id; else they carry this one.
    void setVersionReplySimulatorId(int id) { forcedSimulatorId_.store(id); }
    // An unsolicited version reply carrying `simulatorId`.
    void sendVersionReply(std::uint16_t simulatorId);
    void sendUnknownCode(std::uint16_t code);
    // Values (replies and updates) go out with the float flag, integers included.
    void setFloatValues(bool on) { floatValues_.store(on); }
    bool floatValues() const { return floatValues_.load(); }

  private:
    struct Subscription {
        std::string name;
        std::uint64_t sentVersion = 0;
    };

    void onConnected() override;
    void onFrame(const Frame& frame) override;
    void onTick(std::chrono::steady_clock::time_point now) override;
    void onDisconnected() override;

    void handleSubscription(const ReceivedMessage& m);
    void handleRegistration(const ReceivedMessage& m);
    void handlePublish(const ReceivedMessage& m);
    void handleVersionRequest(const ReceivedMessage& m);
    void publishSnapshot();
    void log(const std::string& line) const;

    ParameterStore& store_;
    Recorder& recorder_;
    const EmulatorOptions& options_;
    std::atomic<int> forcedSimulatorId_{-1};
    std::atomic<bool> floatValues_{false};

    // Endpoint thread only.
    std::uint16_t simulatorId_ = 0;  // from the client's last request
    std::map<std::uint32_t, Subscription> inputs_;
    std::map<std::uint32_t, std::string> outputs_;

    TcpEndpoint endpoint_;  // last: its thread stops before the state above dies
};

}  // namespace simemu
