#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emulators/sim_server/AppSide.h"
#include "emulators/sim_server/EmulatorOptions.h"
#include "emulators/sim_server/ParameterStore.h"
#include "emulators/sim_server/ReceivedMessage.h"
#include "emulators/sim_server/Recorder.h"

namespace simemu {

class SimSide;
class TcpEndpoint;

// The simulation-server stand-in: a SIM port and an APP port on one address,
// one client per port at a time, a parameter store playing a patient, and a
// record of everything received. Tests use it in-process:
//
//     EmulatorOptions o;  o.simPort = 0;  o.appPort = 0;  o.quiet = true;
//     SimServerEmulator emu(o);
//     emu.start();
//     ... connect a client to emu.simPort() ...
//     auto id = emu.waitForSubscription(Protocol::Sim, "HW_PATSPEED", 2s);
//     emu.set("HW_PATSPEED", 1);            // the client gets an update (code 3)
//     emu.dropConnection(Protocol::Sim);    // fault: expect a reconnection
//     emu.waitForConnections(Protocol::Sim, 2, 5s);
//
// start, stop and the destructor belong to the owning thread; every other
// method may be called from any thread. Fault switches and sends are queued to
// the port's thread and take effect in call order. The APP side:
//
//     emu.runScenario();                       // a started event to the client
//     auto hr = emu.waitForSubscription(Protocol::App, "HRPM", 2s);
//     emu.set("HRPM", 95);                     // a patient update (code 8)
//     emu.stopScenario();                      // ids die with the scenario
class SimServerEmulator {
  public:
    explicit SimServerEmulator(EmulatorOptions options = EmulatorOptions());
    // Stops and joins both port threads.
    ~SimServerEmulator();
    SimServerEmulator(const SimServerEmulator&) = delete;
    SimServerEmulator& operator=(const SimServerEmulator&) = delete;

    // Binds both ports and starts their threads. Idempotent; false (nothing
    // left running) when a port cannot be bound.
    bool start();
    // Idempotent; connected clients see the connection close.
    void stop();
    std::uint16_t simPort() const;  // the bound ports (useful with port 0)
    std::uint16_t appPort() const;

    // --- patient: the parameter store ---------------------------------------
    // Sets a parameter (unknown names become floats); subscribed clients get
    // the change with the next update.
    void set(const std::string& name, double value);
    std::optional<ParamValue> value(const std::string& name) const;
    ParameterStore& store() { return store_; }
    // The `calib ACTION ARG` command: HW_PATMON_CALIB_ACTION and _ARG1.
    void calibration(int action, int argument);

    // --- scenario (APP side); events reach a client that subscribed to them ----
    // Runs a new scenario (the `run` command); its id, or 0 when one is active.
    std::uint32_t runScenario(std::uint32_t firstKey = 1, std::uint32_t secondKey = 1);
    std::uint32_t loadScenario(std::uint32_t firstKey = 1);  // 0 when one is active
    bool startLoaded(bool running = true);
    bool stopScenario();  // the `stop` command; subscriptions and ids die with it
    bool pauseScenario(bool pause);
    bool changeSpeed(float speed);
    bool resetScenario();  // replays the timeline from 0; a reset event
    ScenarioInfo scenario() const;
    // Sample instants streamed so far (each carries one sample per subscribed waveform).
    std::uint64_t waveformSamplesSent() const;

    // --- faults ---------------------------------------------------------------
    void dropConnection(Protocol p);
    void closeMidFrame(Protocol p);
    void sendFrameLength32(Protocol p);
    // Half a frame, then silence until the client goes away.
    void stallMidFrame(Protocol p);
    void refuseConnections(Protocol p, std::chrono::milliseconds period);
    // A data frame with a correct head but an unknown code.
    void sendUnknownCode(Protocol p, std::uint16_t code = 0x0777);
    // A frame of another kind than 0 or 3, carrying a well-formed head.
    void sendUnknownFrameKind(Protocol p, std::uint32_t frameKind = 7);
    // Any payload in a frame of `frameKind`, for replies a test builds itself.
    void sendRaw(Protocol p, std::uint32_t frameKind, Bytes payload);
    // -1: SIM version replies echo the client's simulator id; else carry `id`.
    void setVersionReplySimulatorId(int id);
    // An unsolicited SIM version reply with `simulatorId`.
    void sendVersionReply(std::uint16_t simulatorId);
    // The APP port keeps accepting and reading but answers nothing: no start-up
    // answer, replies, events or patient updates, until switched off.
    void muteApp(bool mute);
    bool appMuted() const;
    // SIM values (subscription replies and updates) carry the float flag, the
    // integer parameters too, from the next message on.
    void sendSimValuesAsFloats(bool on);
    bool simValuesAsFloats() const;

    // --- what was received ----------------------------------------------------
    std::vector<ReceivedMessage> messages() const;
    std::vector<ReceivedMessage> messages(MessageKind k) const;
    std::size_t count(MessageKind k) const;
    void clearMessages();
    // The n-th (1-based) message of kind `k`, or nullopt at the deadline.
    std::optional<ReceivedMessage> waitForMessage(MessageKind k, std::size_t n,
                                                  std::chrono::milliseconds timeout) const;
    unsigned connectionCount(Protocol p) const;  // accepted connections so far
    bool clientConnected(Protocol p) const;
    bool waitForConnections(Protocol p, unsigned n, std::chrono::milliseconds timeout) const;
    bool waitForDisconnections(Protocol p, unsigned n, std::chrono::milliseconds timeout) const;
    // The server id of input `name` once subscribed, or nullopt at the deadline.
    std::optional<std::uint32_t> waitForSubscription(Protocol p, const std::string& name,
                                                     std::chrono::milliseconds timeout) const;
    // Current input subscriptions and output registrations: name -> server id.
    std::map<std::string, std::uint32_t> subscriptions(Protocol p) const;
    std::map<std::string, std::uint32_t> outputs(Protocol p) const;

  private:
    TcpEndpoint& endpoint(Protocol p);
    Bytes sampleFrame(Protocol p) const;

    const EmulatorOptions options_;
    ParameterStore store_;
    Recorder recorder_;
    std::unique_ptr<SimSide> sim_;
    std::unique_ptr<AppSide> app_;
    bool running_ = false;
};

}  // namespace simemu
