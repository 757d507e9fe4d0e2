#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "emulators/sim_server/EmulatorOptions.h"
#include "emulators/sim_server/ParameterStore.h"
#include "emulators/sim_server/PatientModel.h"
#include "emulators/sim_server/Recorder.h"
#include "emulators/sim_server/ScenarioScript.h"
#include "emulators/sim_server/TcpEndpoint.h"

namespace simemu {

enum class ScenarioPhase { None, Loaded, Running, Paused };

struct ScenarioInfo {
    std::uint32_t sceId = 0;  // 0: no active scenario
    std::uint32_t firstKey = 0;
    std::uint32_t secondKey = 0;
    ScenarioPhase phase = ScenarioPhase::None;
    float speed = 1;
    double time = 0;  // scenario seconds played
};

// The APP protocol port: flow-control start-up, the scenario and its events,
// subscriptions that belong to the scenario (they outlive a reconnection and
// die with a stop), publishes into the store, and the patient stream.
class AppSide : private TcpEndpoint::Handler {
  public:
    // Server ids are scenario id * kIdStride + store index + 1, so that ids of
    // one scenario are never valid in the next.
    static constexpr std::uint32_t kIdStride = 10000;

    AppSide(ParameterStore& store, Recorder& recorder, const EmulatorOptions& options);
    ~AppSide() override;

    TcpEndpoint& endpoint() { return endpoint_; }

    // Scenario control as if the server's operator did it; events go to a
    // connected client that subscribed to them. Any thread.
    std::uint32_t runScenario(std::uint32_t firstKey, std::uint32_t secondKey);  // 0: busy
    std::uint32_t loadScenario(std::uint32_t firstKey);                          // 0: busy
    bool startLoaded(bool running);
    bool stopScenario();
    bool pauseScenario(bool pause);
    bool changeSpeed(float speed);
    bool resetScenario();
    ScenarioInfo scenario() const;

    void sendUnknownCode(std::uint16_t code);
    // Mute: frames are read and recorded, nothing is answered or streamed.
    void setMute(bool mute) { mute_.store(mute); }
    bool muted() const { return mute_.load(); }
    std::uint64_t waveformSamplesSent() const { return samplesSent_.load(); }

  private:
    struct Subscription {
        std::string name;
        std::uint64_t sentVersion = 0;
    };

    void onConnected() override;
    void onFrame(const Frame& frame) override;
    void onTick(std::chrono::steady_clock::time_point now) override;
    void onDisconnected() override;

    // All *Locked functions run with mutex_ held.
    void handleLocked(const ReceivedMessage& m);
    void subscribeLocked(const ReceivedMessage& m);
    void registerLocked(const ReceivedMessage& m);
    void publishLocked(const ReceivedMessage& m);
    void calibrationLocked(const ReceivedMessage& m);
    std::uint32_t newScenarioLocked(std::uint32_t firstKey, std::uint32_t secondKey,
                                    ScenarioPhase phase);
    bool stopLocked();
    void setPhaseLocked(ScenarioPhase phase);
    void eventLocked(Bytes payload);
    void sendListLocked();
    void snapshotLocked();
    void streamLocked(std::chrono::steady_clock::time_point now);
    PatientVitals vitals() const;
    std::uint32_t idFor(std::size_t index) const;
    void log(const std::string& line) const;

    ParameterStore& store_;
    Recorder& recorder_;
    const EmulatorOptions& options_;
    std::atomic<std::uint64_t> samplesSent_{0};
    std::atomic<bool> mute_{false};

    // Guards every field below; the store, recorder and endpoint task locks
    // may be taken while holding it, never the other way round.
    mutable std::mutex mutex_;
    ScenarioInfo sce_;
    std::uint32_t nextSceId_ = 1;
    ScenarioPlayer player_;
    std::map<std::uint32_t, Subscription> inputs_;  // of the active scenario
    std::map<std::uint32_t, std::string> outputs_;
    std::map<std::string, double> beforeOverride_;  // value to restore on a reset
    bool flowAnswered_ = false;                     // this connection completed the start-up
    bool eventsSubscribed_ = false;                 // this connection asked for events
    std::chrono::steady_clock::time_point lastTick_{};
    bool streaming_ = false;
    std::chrono::steady_clock::time_point streamStart_{};
    std::uint64_t streamSamples_ = 0;
    PatientModel patient_;

    TcpEndpoint endpoint_;  // last: its thread stops before the state above dies
};

}  // namespace simemu
