#include "app/SimulatorSample.h"

#include <array>
#include <iostream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <type_traits>

#include "app/ServiceStatus.h"
#include "client/protocols/ProtocolWire.h"
#include "metrics/Metrics.h"

using com_nax::CSClient;

namespace {

const char* kServerAddress = "127.0.0.1";
constexpr unsigned kSimPort = 55580;
constexpr unsigned kAppPort = 55557;
// Automatic reconnection plus a bit the library stores without acting on it.
constexpr unsigned kClientOptions = 5;
constexpr unsigned kSimulatorId = 1;

// A changed value is stored and its numeric goes out with the next block.
template <typename T>
void storeChanged(T& field, T value, int32_t& countdown) {
    if (value != field) {
        field = value;
        countdown = 0;
    }
}

// Appends a sample; the oldest makes room once the list is full.
void pushBounded(std::vector<float>& list, float sample, const char* waveform) {
    if (list.size() >= SimulatorSample::kMaxListSamples) {
        psmr_metrics::metrics().countWaveformDropped(waveform);
        list.erase(list.begin());
    }
    list.push_back(sample);
}

// The connection a callback serves, for its figures.
template <typename Interface>
constexpr psmr_metrics::Protocol kProtocol =
    std::is_same<Interface, com_nax::SimClient::Callback>::value ? psmr_metrics::Protocol::Sim
                                                                 : psmr_metrics::Protocol::App;

}  // namespace

// Every input of the bridge, in the order of its registration on each
// connection. Integer inputs are read as integers, waveforms and other
// floats as floats.
const std::vector<SimulatorSample::Input>& SimulatorSample::inputs() {
    using S = SimulatorSample;
    using V = InputValue;
    constexpr auto INT = CSClient::PARAM_INT;
    constexpr auto FLOAT = CSClient::PARAM_FLOAT;
    static const std::vector<Input> table = {
        // SIM: the simulation speed and the calibration controls.
        {"HW_PATSPEED", true, INT, 0,
         "MR>HW_PATSPEED_PARAM: ", [](S& b, const V& v) { b.setSimulationSpeed(v.i); }},
        {"HW_PATMON_CALIB_ACTION", true, INT, 0, "MR>CALIBRATION_ACTION: ",
         [](S& b, const V& v) { b.calibration.calibrationAction = v.i; }, true},
        {"HW_PATMON_CALIB_ARG1", true, INT, 0, "MR>CALIBRATION_ARG1: ",
         [](S& b, const V& v) { b.calibration.calibrationArgument = v.i; }, true},
        // APP: sensors, probe and catheters.
        {"ARTERIAL_CATHETER_DEPTH", false, INT, 0, "MR>ARTERIAL_CATHETER_DEPTH: ",
         [](S& b, const V& v) { b.sensors.arterialCatheterPlaced = (v.i >= 0); }},
        {"CVP_CATHETER_DEPTH", false, INT, 0, "MR>CVP_CATHETER_DEPTH: ",
         [](S& b, const V& v) { b.sensors.cvpCatheterPlaced = (v.i >= 0); }},
        {"PA_CATHETER_DEPTH", false, INT, 0, "MR>PA_CATHETER_DEPTH: ",
         [](S& b, const V& v) { b.sensors.paCatheterPlaced = (v.i >= 0); }},
        {"PULSE_SENSOR", false, INT, 0, "MR>PULSE_SENSOR: ",
         [](S& b, const V& v) {
             storeChanged(b.sensors.pulseSensor, v.i, b.countdowns.spo2Countdown);
         }},
        {"SPO2_PROBE", false, INT, 0, nullptr,
         [](S& b, const V& v) {
             storeChanged(b.sensors.spo2ProbeConnected, v.i != 0, b.countdowns.spo2Countdown);
         }},
        {"CAPNOGRAPH_SENSOR", false, INT, 0, "MR>CAPNOGRAPH_SENSOR: ",
         [](S& b, const V& v) {
             storeChanged(b.sensors.capnographConnected, v.i != 0, b.countdowns.co2Countdown);
         }},
        {"TEMP_BODY_SENSOR", false, INT, 0, "MR>TEMP_BODY_SENSOR: ",
         [](S& b, const V& v) { b.sensors.bodyTempSensorConnected = (v.i != 0); }},
        {"TEMP_BLOOD_SENSOR", false, INT, 0, "MR>TEMP_BLOOD_SENSOR: ",
         [](S& b, const V& v) { b.sensors.bloodTempSensorConnected = (v.i != 0); }},
        {"NIBP_SENSOR", false, INT, 0, "MR>NIBP_SENSOR: ",
         [](S& b, const V& v) {
             storeChanged(b.sensors.nibpSensorConnected, v.i != 0, b.countdowns.nibpCountdown);
         }},
        {"SIMULATOR_XCONNECTED", false, INT, 0, "MR>SIMULATOR_XCONNECTED: ",
         [](S& b, const V& v) {
             storeChanged(b.sensors.simulatorCrossConnected, v.i != 0, b.countdowns.spo2Countdown);
         }},
        // APP: waveforms, one sample per value.
        {"ARTLINE", false, FLOAT, 1, nullptr,
         [](S& b, const V& v) { pushBounded(b.samples.abpSamples, v.f, "ABP"); }},
        {"PLINE", false, FLOAT, 1, nullptr,
         [](S& b, const V& v) { pushBounded(b.samples.papSamples, v.f, "PAP"); }},
        {"CVPLINE", false, FLOAT, 1, nullptr,
         [](S& b, const V& v) { pushBounded(b.samples.cvpSamples, v.f, "CVP"); }},
        {"CAPNOGRAM", false, FLOAT, 1, nullptr,
         [](S& b, const V& v) {
             pushBounded(b.samples.co2Samples, b.calibrateCO2Value(v.f), "CO2");
         }},
        {"PLETH", false, FLOAT, 1, nullptr,
         [](S& b, const V& v) { pushBounded(b.samples.plethSamples, v.f, "PLETH"); }},
        // APP: numerics.
        {"SAO2", false, FLOAT, 0, nullptr,
         [](S& b, const V& v) {
             storeChanged(b.vitals.spo2Value, b.calibrateSPO2Value(v.f),
                          b.countdowns.spo2Countdown);
         }},
        {"EXT_DABP", false, INT, 0, nullptr,
         [](S& b, const V& v) {
             storeChanged(b.vitals.diastolicPressure, v.i, b.countdowns.nibpCountdown);
         }},
        {"EXT_MAP", false, INT, 0, nullptr,
         [](S& b, const V& v) {
             storeChanged(b.vitals.meanPressure, v.i, b.countdowns.nibpCountdown);
         }},
        {"EXT_SABP", false, INT, 0, nullptr,
         [](S& b, const V& v) {
             storeChanged(b.vitals.systolicPressure, v.i, b.countdowns.nibpCountdown);
         }},
        {"HRPM", false, INT, 0, nullptr,
         [](S& b, const V& v) { storeChanged(b.vitals.heartRate, v.i, b.countdowns.hrCountdown); }},
        {"RRPM", false, INT, 0, nullptr,
         [](S& b, const V& v) {
             storeChanged(b.vitals.respirationRate, v.i, b.countdowns.rrCountdown);
         }},
        // Temperatures go out at their repetition, changed or not.
        {"BODY_TEMP", false, FLOAT, 0, nullptr,
         [](S& b, const V& v) { b.vitals.bodyTemperature = v.f; }},
        {"bloodTemp", false, FLOAT, 0, nullptr,
         [](S& b, const V& v) { b.vitals.bloodTemperature = v.f; }},
    };
    return table;
}

namespace {

// Every sample's name is looked up, so the look-up is a small open-addressed
// table on a cheap hash of the name and then one comparison.
constexpr size_t kInputSlots = 128;  // a power of two, well above the 26 inputs

size_t inputSlot(std::string_view name) {
    const auto at = [&](size_t i) { return static_cast<unsigned char>(name[i]); };
    return (name.size() * 31 + at(0) * 7 + at(name.size() - 1) * 3 + at(name.size() / 2)) &
           (kInputSlots - 1);
}

}  // namespace

const SimulatorSample::Input* SimulatorSample::findInput(const std::string& name) {
    using Slot = std::pair<std::string_view, const Input*>;
    static const std::array<Slot, kInputSlots> slots = [] {
        std::array<Slot, kInputSlots> table{};
        for (const Input& input : inputs()) {
            size_t i = inputSlot(input.name);
            while (table[i].second) {
                i = (i + 1) & (kInputSlots - 1);
            }
            table[i] = {input.name, &input};
        }
        return table;
    }();
    if (name.empty()) {
        return nullptr;
    }
    for (size_t i = inputSlot(name);; i = (i + 1) & (kInputSlots - 1)) {
        if (!slots[i].second || slots[i].first == name) {
            return slots[i].second;
        }
    }
}

std::vector<CSClient::InputDef> SimulatorSample::definitions(bool sim) {
    std::vector<CSClient::InputDef> defs;
    for (const Input& input : inputs()) {
        if (input.sim == sim) {
            CSClient::InputDef def;
            def.id = std::string(input.name);
            def.type = input.type;
            def.rate = input.rate;
            defs.push_back(def);
        }
    }
    return defs;
}

const std::vector<CSClient::InputDef>& SimulatorSample::simInputs() {
    static const std::vector<CSClient::InputDef> defs = definitions(true);
    return defs;
}

const std::vector<CSClient::InputDef>& SimulatorSample::appInputs() {
    static const std::vector<CSClient::InputDef> defs = definitions(false);
    return defs;
}

template <typename Interface>
void SimulatorSample::ClientCallback<Interface>::connectionStateChanged(CSClient::State oldState,
                                                                        CSClient::State newState) {
    if (newState == oldState) {
        return;
    }
    ServiceStatus::serverConnection(std::is_same<Interface, com_nax::SimClient::Callback>::value,
                                    newState == CSClient::STATE_READY);
    psmr_metrics::metrics().serverConnected(kProtocol<Interface>,
                                            newState == CSClient::STATE_READY);
    if (newState == CSClient::STATE_READY) {
        std::cout << connectedLine_ << std::endl;
    } else if (oldState == CSClient::STATE_READY) {
        std::cout << disconnectedLine_ << std::endl;
    }
}

template <typename Interface>
void SimulatorSample::ClientCallback<Interface>::parametersUpdated(
    const std::vector<CSClient::Parameter>& parameters) {
    psmr_metrics::metrics().countServerFrame(kProtocol<Interface>);
    owner_->parametersUpdated(parameters);
}

template class SimulatorSample::ClientCallback<com_nax::SimClient::Callback>;
template class SimulatorSample::ClientCallback<com_nax::AppClient::Callback>;

SimulatorSample::SimulatorSample(Configuration* configuration, const BridgeTimings& timings)
    : simClient(kSimulatorId, kClientOptions),
      appClient(kClientOptions),
      configuration(configuration),
      relay(timings.relay),
      timings(timings) {
    simClient.setTimings(timings.client);
    appClient.setTimings(timings.client);
    if (inputs().size() >= followers.size()) {
        throw std::logic_error("more inputs than the look-up's guesses hold");
    }
}

SimulatorSample::~SimulatorSample() {
    appClient.stopKeepAlive();
    simClient.close();
    appClient.close();
    // close() gives up waiting after about 2 s; a receive thread still running
    // could call back into this object while it is being destroyed, so wait
    // for both to finish, as the clients' own destructors would.
    const auto poll = std::chrono::milliseconds(10);
    while (simClient.getConnectionState() != CSClient::STATE_DISCONNECTED ||
           appClient.getConnectionState() != CSClient::STATE_DISCONNECTED) {
        std::this_thread::sleep_for(poll);
    }
    std::unique_lock<std::mutex> lock(mutex);
    // A calibration worker must not outlive the object it works on.
    calibration.calibrating = false;
    workersFinished.wait(lock, [this] { return calibration.runningWorkers == 0; });
    // It has left its loop under the mutex; only its return is left to wait for.
    if (calibrationWorker.joinable()) {
        calibrationWorker.join();
    }
    relay.disable();
}

bool SimulatorSample::readConfiguration(Configuration& configuration) {
    if (!configuration.readConfiguration()) {
        // A line of its own: the bridge loop's failure line follows it.
        std::cerr << "MR>ERROR>Unable to read the configuration!" << std::endl;
        return false;
    }
    ServiceStatus::configurationRead(configuration);
    return true;
}

bool SimulatorSample::initialize(bool debugMode) {
    return readConfiguration(*configuration) && start(debugMode);
}

bool SimulatorSample::start(bool debugMode) {
    std::lock_guard<std::mutex> lock(mutex);
    debug = debugMode;
    if (debug) {
        relay.enableDebugMode();
    }
    if (!relay.initialize(configuration->serialId, configuration->ipAddress,
                          configuration->ipRangeStart, configuration->ipRangeEnd, true)) {
        std::cerr << "MR>ERROR>Unable to initialize the connection with the MonitorRelay unit!"
                  << std::endl;
        return false;
    }
    ServiceStatus::unitFound(relay.serialId(), relay.unitAddress());
    simCallback = std::make_unique<SimClientCallback>(this, "Tamo> Connected (SIM Protocol)",
                                                      "Tamo> Disconnected (SIM Protocol)");
    if (!simClient.addCallbackInterface(simCallback.get())) {
        std::cerr << "MR>ERROR>Unable to register Sim client interface for callbacks." << std::endl;
        return false;
    }
    appCallback = std::make_unique<AppClientCallback>(this, "Tamo> Connected (APP Protocol)",
                                                      "Tamo> Disconnected (APP Protocol)");
    if (!appClient.addCallbackInterface(appCallback.get())) {
        std::cerr << "MR>ERROR>Unable to register App client interface for callbacks." << std::endl;
        return false;
    }
    if (simClient.open(kServerAddress, kSimPort, nullptr) != CSClient::RESULT_OK) {
        std::cerr << "MR>ERROR>Failed to open connection to server (SIM protocol)." << std::endl;
        return false;
    }
    if (appClient.open(kServerAddress, kAppPort, nullptr) != CSClient::RESULT_OK) {
        std::cerr << "MR>ERROR>Failed to open connection to server (APP protocol)." << std::endl;
        return false;
    }
    appClient.startKeepAlive();
    return initializeInputs();
}

bool SimulatorSample::initializeInputs() {
    const auto& sim = simInputs();
    if (simClient.registerInputParameters(sim.data(), static_cast<unsigned>(sim.size())) !=
        CSClient::RESULT_OK) {
        std::cerr << "MR>ERROR>Tamo> Input subscription failed (SIM protocol)!" << std::endl;
        return false;
    }
    const auto& app = appInputs();
    if (appClient.registerInputParameters(app.data(), static_cast<unsigned>(app.size())) !=
        CSClient::RESULT_OK) {
        std::cerr << "MR>ERROR>Tamo> Input subscription failed (APP protocol)!" << std::endl;
        return false;
    }
    return true;
}

void SimulatorSample::parametersUpdated(const std::vector<CSClient::Parameter>& parameters) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        storeAndForward(parameters);
        if (!unitSettleDue) {
            return;
        }
        unitSettleDue = false;
    }
    // A started simulation's first block that reaches the unit carries every
    // numeric, even when blocks went out (and were dropped) while the unit
    // was still being enabled.
    if (settleUnit(false)) {
        std::lock_guard<std::mutex> lock(mutex);
        if (simulationRunning) {
            countdowns.resetAll();
        }
    }
}

void SimulatorSample::storeAndForward(const std::vector<CSClient::Parameter>& parameters) {
    bool calibrationInput = false;
    const Input* const first = inputs().data();
    for (const CSClient::Parameter& p : parameters) {
        // The server repeats its order (ARTLINE, PLINE, ... sample after
        // sample): the input that followed the last one last time comes first.
        const Input* input = followers[lastInput];
        if (!input || p.id != input->name) {
            input = findInput(p.id);
            if (!input) {
                continue;
            }
            followers[lastInput] = input;
        }
        lastInput = static_cast<size_t>(input - first) + 1;
        // Read by the type the value came with, converted to the input's.
        const bool sentAsFloat = p.type == CSClient::PARAM_FLOAT;
        InputValue value;
        if (input->type == CSClient::PARAM_FLOAT) {
            value.f = sentAsFloat ? p.value.floatValue : static_cast<float>(p.value.intValue);
        } else {
            value.i =
                sentAsFloat ? com_nax::wire::truncateToInt32(p.value.floatValue) : p.value.intValue;
        }
        if (input->debugText && debug) {
            std::cout << input->debugText << value.i << std::endl;
        }
        input->store(*this, value);
        calibrationInput |= input->steersCalibration;
    }
    forwardBlock(calibrationInput);
}

void SimulatorSample::setSimulationSpeed(int32_t speed) {
    const bool running = (speed == 1);
    if (running != simulationRunning) {
        countdowns.resetAll();
    }
    simulationRunning = running;
    ServiceStatus::simulationRunning(running);
    if (running) {
        calibration.calibrating = false;
    }
    unitSettleDue = true;
}
