#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "app/BridgeTimings.h"
#include "app/Conversion.h"
#include "client/protocols/AppClient.h"
#include "client/protocols/SimClient.h"
#include "config/Configuration.h"
#include "relay/MonitorRelayAdaptor.h"
#include "sync/Mutex.h"

// The bridge: owns both simulation-server clients and the unit link, stores
// the server's parameter updates and forwards them to the unit in blocks,
// supervises the unit and runs the SpO2/CO2 calibration.
class SimulatorSample {
  public:
    // Hands one connection's callbacks to the bridge and logs its state.
    template <typename Interface>
    class ClientCallback : public Interface {
      public:
        ClientCallback(SimulatorSample* owner, const char* connectedLine,
                       const char* disconnectedLine)
            : owner_(owner), connectedLine_(connectedLine), disconnectedLine_(disconnectedLine) {}
        ~ClientCallback() override = default;
        void connectionStateChanged(com_nax::CSClient::State oldState,
                                    com_nax::CSClient::State newState) override;
        void parametersUpdated(
            const std::vector<com_nax::CSClient::Parameter>& parameters) override;

      private:
        SimulatorSample* owner_;
        const char* connectedLine_;
        const char* disconnectedLine_;
    };
    using SimClientCallback = ClientCallback<com_nax::SimClient::Callback>;
    using AppClientCallback = ClientCallback<com_nax::AppClient::Callback>;

    // `timings`: the settings its owner built, the configuration read first.
    explicit SimulatorSample(Configuration* configuration,
                             const BridgeTimings& timings = BridgeTimings());
    virtual ~SimulatorSample();
    SimulatorSample(const SimulatorSample&) = delete;
    SimulatorSample& operator=(const SimulatorSample&) = delete;

    // Reads the configuration file into `configuration` and tells the service
    // manager; on failure says so on a line of its own and returns false.
    static bool readConfiguration(Configuration& configuration);
    // Finds the unit, connects to the server and subscribes the inputs; the
    // configuration has been read.
    bool start(bool debug);
    // For a bridge built alone (benchmarks, tests): readConfiguration, then start.
    bool initialize(bool debug);
    bool initializeInputs();
    void parametersUpdated(const std::vector<com_nax::CSClient::Parameter>& parameters)
        EXCLUDES(mutex);

    // Supervises the unit; returns true once it has been given up.
    bool run() EXCLUDES(mutex);
    bool IsSpO2ProbeConnected() REQUIRES(mutex);

    void performCalibration(int action, int argument) REQUIRES(mutex);
    // Body of the calibration worker thread, which a Start action runs when
    // no worker is alive; ends when it finds no calibration in progress, and
    // starts its test signal afresh when a newer one (a newer generation)
    // began meanwhile. Counted in `runningWorkers`, which the starter has
    // already incremented.
    void calibrationData(unsigned generation) EXCLUDES(mutex);
    int calibrateSPO2Value(float value) const REQUIRES(mutex);
    float calibrateCO2Value(float value) const REQUIRES(mutex);

    // Each waveform list keeps at most this many samples (about 2.4 s): a
    // waveform that arrives without any ARTLINE must not pile up for ever.
    static constexpr size_t kMaxListSamples = 200;

    // The parameters the bridge subscribes to, in the order they are
    // registered; both lists come from the one table of signals.
    static const std::vector<com_nax::CSClient::InputDef>& simInputs();
    static const std::vector<com_nax::CSClient::InputDef>& appInputs();
    // The unit's commands the bridge forwards the signals with (the waveforms'
    // or the numerics'), as the unit spells them.
    static std::vector<std::string> unitCommands(bool waveforms);
    // Gives the figures the numerics' names from the table, before the first
    // scrape or count; the constructor does it too.
    static void nameFigures();

  private:
    // One input's value, already in the input's type.
    struct InputValue {
        int32_t i = 0;
        float f = 0.0f;
    };
    // Where the bridge keeps a signal's value.
    enum class Keep : uint8_t {
        Elsewhere,  // `store` puts it into the bridge's state (controls, sensors)
        Changed,    // in its slot; a change brings its repeat group forward
        Latest,     // in its slot; goes out at its repetition only
        Pace,       // samples; each whole ten of them make a block
        Paced,      // samples; aligned on the pace's and cut with them
        OwnGroups,  // samples; a block takes its own whole groups
    };
    // What the patient must have for a signal to reach the unit.
    enum class Gate : uint8_t {
        None,
        Probe,
        NibpSensor,
        BodyTempSensor,
        BloodTempSensor,
        Capnograph,
        ArterialCatheter,
        CvpCatheter,
        PaCatheter,
    };
    // Sensors, probe and catheters of the simulated patient.
    struct Sensors {
        bool arterialCatheterPlaced = false;
        bool cvpCatheterPlaced = false;
        bool paCatheterPlaced = false;
        int32_t pulseSensor = 0;
        bool spo2ProbeConnected = true;
        bool simulatorCrossConnected = false;
        bool capnographConnected = false;
        bool bodyTempSensorConnected = false;
        bool bloodTempSensorConnected = false;
        bool nibpSensorConnected = false;
    };
    using Relay = MonitorRelayAdaptor;
    // One signal, from the server's name to the unit's command (app/SignalTable.cpp).
    // The fields every sample reads come first: they share a cache line.
    struct Signal {
        std::string_view name;  // the server's
        size_t index = 0;       // its position in the table, its slots' too
        // Applied on arrival, before the value is kept (the calibration tables).
        InputValue (*adjust)(const SimulatorSample& bridge, InputValue value) = nullptr;
        void (Relay::*sendSamples)(std::vector<float>& samples) = nullptr;  // a waveform's
        const char* unit = nullptr;                                         // the unit's command
        com_nax::CSClient::ParameterType type = com_nax::CSClient::PARAM_INT;
        bool sim = false;  // subscribed on the SIM connection, else on the APP one
        Keep keep = Keep::Elsewhere;
        bool steersCalibration = false;  // a calibration control: the calibration acts on it
        uint8_t step = 0;                // its place in a block (app/SignalTable.cpp); 0: not sent
        uint8_t group = 0;               // repeat group: index of its countdown
        Gate gate = Gate::None;          // closed: `sendClosed`, or nothing
        int32_t rate = 0;
        const char* debugText = nullptr;  // printed with the integer value in debug mode
        void (*store)(SimulatorSample& bridge, const InputValue& value) = nullptr;  // Elsewhere
        // A numeric's command; `values` starts at its own slot.
        void (*send)(Relay& relay, const InputValue* values) = nullptr;
        void (*sendClosed)(Relay& relay) = nullptr;
    };
    // The signals in the order of their subscription.
    static const std::vector<Signal>& signals();
    // The signals that reach the unit, in the order a block sends them.
    static const std::vector<const Signal*>& unitOrder();
    static std::vector<const char*> unitNames(bool waveforms);
    static size_t repeatGroups();
    // The signal whose samples make the blocks.
    static size_t paceSignal();
    // A sensor's store: its state from the value (not 0: present); a change
    // brings `group` forward.
    template <bool Sensors::*state, uint8_t group>
    static void storeSensor(SimulatorSample& bridge, const InputValue& value)
        REQUIRES(bridge.mutex);
    static const Signal* findInput(const std::string& name);
    static std::vector<com_nax::CSClient::InputDef> definitions(bool sim);
    bool gateOpen(Gate gate) REQUIRES(mutex);

    // parametersUpdated's storing and forwarding; `mutex` held.
    void storeAndForward(const std::vector<com_nax::CSClient::Parameter>& parameters)
        REQUIRES(mutex);
    // Keeps a numeric's value where its row says; `mutex` held.
    void keepValue(const Signal& signal, size_t index, const InputValue& value) REQUIRES(mutex);
    // Tail of parametersUpdated; `mutex` held.
    void forwardBlock(bool calibrationInput) REQUIRES(mutex);
    // Enables the unit if it is not, waiting for its replies without `mutex`
    // (which must not be held by the caller).
    void enableOutsideLock() EXCLUDES(mutex);
    // Brings the unit to what the flags ask for (enabled while the simulation
    // runs or a calibration is in progress), talking to it without `mutex`,
    // which the caller must not hold. `enableTried`: the caller has just tried
    // to enable it. True when it enabled the unit.
    bool settleUnit(bool enableTried) EXCLUDES(mutex);
    // HW_PATSPEED: 1 runs the simulation; the unit follows once `mutex` is
    // released (see unitSettleDue).
    void setSimulationSpeed(int32_t speed) REQUIRES(mutex);
    // Action 100: the recorded points into the configuration, then the file.
    void saveCalibration() REQUIRES(mutex);

    // Declared before the clients so that they outlive them: a client's
    // receive thread calls them until the client itself is destroyed.
    std::unique_ptr<SimClientCallback> simCallback;
    std::unique_ptr<AppClientCallback> appCallback;

    com_nax::SimClient simClient;
    com_nax::AppClient appClient;
    bool debug = false;
    Configuration* configuration PT_GUARDED_BY(mutex);
    // Guards every field below, the Configuration after start-up, and every
    // command session sent to `relay` (receive threads, calibration worker).
    // Taken with no other lock of this object held; the client library's
    // locks are never held by the threads that take it. The unit's health
    // requests (run(), the worker's enabling) go out without it: the adaptor
    // serialises them itself.
    psmr_sync::Mutex mutex;
    MonitorRelayAdaptor relay;
    // The tables, fetched once: the forwarding path consults them for every sample.
    const std::vector<const Signal*>& blockOrder = unitOrder();
    const size_t pace = paceSignal();
    // The signal that came after each signal (by table position + 1; 0 before
    // the first) the last time: the guess the look-up tries first.
    std::vector<const Signal*> followers GUARDED_BY(mutex) =
        std::vector<const Signal*>(signals().size() + 1);
    size_t lastInput GUARDED_BY(mutex) = 0;
    bool simulationRunning GUARDED_BY(mutex) = false;
    // HW_PATSPEED changed: the thread that stored it enables or disables the
    // unit after releasing `mutex`, so that the other connection's blocks do
    // not wait for the unit's replies.
    bool unitSettleDue GUARDED_BY(mutex) = false;
    // The configuration's CO2 table laid out for the samples: made again when
    // the bridge starts (the configuration read) and when a calibration is saved.
    ConversionTable co2Conversion GUARDED_BY(mutex) = co2Table(configuration->co2Calibration);

    // Sensors, probe and catheters of the simulated patient.
    Sensors sensors GUARDED_BY(mutex);

    // Each signal's slot: the numerics' last values as the unit is given
    // them, the waveforms' samples gathered for the next block.
    std::vector<InputValue> values GUARDED_BY(mutex) = std::vector<InputValue>(signals().size());
    std::vector<std::vector<float>> sampleLists GUARDED_BY(mutex) =
        std::vector<std::vector<float>>(signals().size());
    std::vector<float> block GUARDED_BY(mutex);  // one waveform's share of a block, reused

    // Blocks until each repeat group goes out again; 0 sends it with the next block.
    struct Countdowns {
        std::vector<int32_t> of = std::vector<int32_t>(repeatGroups());
        void resetAll() { std::fill(of.begin(), of.end(), 0); }
    } countdowns GUARDED_BY(mutex);

    // The calibration the server steers while the simulation is stopped.
    struct CalibrationState {
        int32_t calibrationAction = 0;
        int32_t calibrationArgument = 0;
        bool calibrating = false;
        int32_t co2Counter = 0;
        int32_t spo2Counter = 45;
        int32_t spo2Scale = 4;
        std::map<int32_t, int32_t> co2Points;
        std::map<int32_t, int32_t> spo2Points;
        // At most one worker is alive: a Start while one is still running
        // hands it the new calibration (a newer generation) instead of
        // starting another. The destructor waits until none is left.
        unsigned calibrationGeneration = 0;
        unsigned runningWorkers = 0;
    } calibration GUARDED_BY(mutex);
    std::condition_variable workersFinished;
    // The worker thread; joined by the next Start once it has left, or by the
    // destructor. Started and joined with `mutex` held.
    std::thread calibrationWorker GUARDED_BY(mutex);

    BridgeTimings timings;
};
