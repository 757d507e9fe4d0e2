#include "app/SimulatorSample.h"

#include <iostream>
#include <thread>

using com_nax::CSClient;

namespace {

const char* kServerAddress = "127.0.0.1";
constexpr unsigned kSimPort = 55580;
constexpr unsigned kAppPort = 55557;
// Automatic reconnection plus a bit the library stores without acting on it.
constexpr unsigned kClientOptions = 5;
constexpr unsigned kSimulatorId = 1;

CSClient::InputDef input(const char* id, CSClient::ParameterType type, int32_t rate) {
    CSClient::InputDef def;
    def.id = id;
    def.type = type;
    def.rate = rate;
    return def;
}

void logStateChange(const char* connected, const char* disconnected, CSClient::State oldState,
                    CSClient::State newState) {
    if (newState == oldState) {
        return;
    }
    if (newState == CSClient::STATE_READY) {
        std::cout << connected << std::endl;
    } else if (oldState == CSClient::STATE_READY) {
        std::cout << disconnected << std::endl;
    }
}

// Appends a sample; the oldest makes room once the list is full.
void pushBounded(std::vector<float>& list, float sample) {
    if (list.size() >= SimulatorSample::kMaxListSamples) {
        list.erase(list.begin());
    }
    list.push_back(sample);
}

}  // namespace

const std::vector<CSClient::InputDef>& SimulatorSample::simInputs() {
    static const std::vector<CSClient::InputDef> inputs = {
        input("HW_PATSPEED", CSClient::PARAM_INT, 0),
        input("HW_PATMON_CALIB_ACTION", CSClient::PARAM_INT, 0),
        input("HW_PATMON_CALIB_ARG1", CSClient::PARAM_INT, 0),
    };
    return inputs;
}

const std::vector<CSClient::InputDef>& SimulatorSample::appInputs() {
    static const std::vector<CSClient::InputDef> inputs = {
        input("ARTERIAL_CATHETER_DEPTH", CSClient::PARAM_INT, 0),
        input("CVP_CATHETER_DEPTH", CSClient::PARAM_INT, 0),
        input("PA_CATHETER_DEPTH", CSClient::PARAM_INT, 0),
        input("PULSE_SENSOR", CSClient::PARAM_INT, 0),
        input("SPO2_PROBE", CSClient::PARAM_INT, 0),
        input("CAPNOGRAPH_SENSOR", CSClient::PARAM_INT, 0),
        input("TEMP_BODY_SENSOR", CSClient::PARAM_INT, 0),
        input("TEMP_BLOOD_SENSOR", CSClient::PARAM_INT, 0),
        input("NIBP_SENSOR", CSClient::PARAM_INT, 0),
        input("SIMULATOR_XCONNECTED", CSClient::PARAM_INT, 0),
        input("ARTLINE", CSClient::PARAM_FLOAT, 1),
        input("PLINE", CSClient::PARAM_FLOAT, 1),
        input("CVPLINE", CSClient::PARAM_FLOAT, 1),
        input("CAPNOGRAM", CSClient::PARAM_FLOAT, 1),
        input("PLETH", CSClient::PARAM_FLOAT, 1),
        input("SAO2", CSClient::PARAM_FLOAT, 0),
        input("EXT_DABP", CSClient::PARAM_INT, 0),
        input("EXT_MAP", CSClient::PARAM_INT, 0),
        input("EXT_SABP", CSClient::PARAM_INT, 0),
        input("HRPM", CSClient::PARAM_INT, 0),
        input("RRPM", CSClient::PARAM_INT, 0),
        input("BODY_TEMP", CSClient::PARAM_FLOAT, 0),
        input("bloodTemp", CSClient::PARAM_FLOAT, 0),
    };
    return inputs;
}

void SimulatorSample::SimClientCallback::connectionStateChanged(CSClient::State oldState,
                                                                CSClient::State newState) {
    logStateChange("Tamo> Connected (SIM Protocol)", "Tamo> Disconnected (SIM Protocol)", oldState,
                   newState);
}

void SimulatorSample::SimClientCallback::parametersUpdated(
    const std::vector<CSClient::Parameter>& parameters) {
    owner_->parametersUpdated(parameters);
}

void SimulatorSample::AppClientCallback::connectionStateChanged(CSClient::State oldState,
                                                                CSClient::State newState) {
    logStateChange("Tamo> Connected (APP Protocol)", "Tamo> Disconnected (APP Protocol)", oldState,
                   newState);
}

void SimulatorSample::AppClientCallback::parametersUpdated(
    const std::vector<CSClient::Parameter>& parameters) {
    owner_->parametersUpdated(parameters);
}

SimulatorSample::SimulatorSample(Configuration* configuration, const BridgeTimings& timings)
    : simClient(kSimulatorId, kClientOptions),
      appClient(kClientOptions),
      configuration(configuration),
      relay(timings.relay),
      timings(timings) {
    simClient.setTimings(timings.client);
    appClient.setTimings(timings.client);
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
    calibrating = false;
    workersFinished.wait(lock, [this] { return runningWorkers == 0; });
    relay.disable();
}

bool SimulatorSample::initialize(bool debugMode) {
    std::lock_guard<std::mutex> lock(mutex);
    debug = debugMode;
    if (!configuration->readConfiguration()) {
        std::cerr << "MR>ERROR>Unable to read the configuration!" << std::flush;
        return false;
    }
    if (debug) {
        relay.enableDebugMode();
    }
    if (!relay.initialize(configuration->serialId, configuration->ipAddress,
                          configuration->ipRangeStart, configuration->ipRangeEnd, true)) {
        std::cerr << "MR>ERROR>Unable to initialize the connection with the MonitorRelay unit!"
                  << std::flush;
        return false;
    }
    simCallback = std::make_unique<SimClientCallback>(this);
    if (!simClient.addCallbackInterface(simCallback.get())) {
        std::cerr << "MR>ERROR>Unable to register Sim client interface for callbacks." << std::endl;
        return false;
    }
    appCallback = std::make_unique<AppClientCallback>(this);
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
    std::lock_guard<std::mutex> lock(mutex);
    bool calibrationInput = false;
    for (const CSClient::Parameter& p : parameters) {
        const std::string& id = p.id;
        // Integer inputs are read as integers, waveforms and other floats as floats.
        const int32_t i = p.value.intValue;
        const float f = p.value.floatValue;
        auto debugLine = [this, i](const char* text) {
            if (debug) {
                std::cout << text << i << std::endl;
            }
        };
        if (id == "HW_PATSPEED") {
            debugLine("MR>HW_PATSPEED_PARAM: ");
            const bool running = (i == 1);
            if (running != simulationRunning) {
                spo2Countdown = nibpCountdown = hrCountdown = rrCountdown = 0;
                temperatureCountdown = co2Countdown = 0;
            }
            simulationRunning = running;
            if (i == 1) {
                calibrating = false;
                relay.enable();
            } else if (!calibrating) {
                relay.disable();
            }
        } else if (id == "HRPM") {
            if (i != heartRate) {
                heartRate = i;
                hrCountdown = 0;
            }
        } else if (id == "SAO2") {
            const int32_t v = calibrateSPO2Value(f);
            if (v != spo2Value) {
                spo2Value = v;
                spo2Countdown = 0;
            }
        } else if (id == "EXT_DABP") {
            if (i != diastolicPressure) {
                diastolicPressure = i;
                nibpCountdown = 0;
            }
        } else if (id == "EXT_MAP") {
            if (i != meanPressure) {
                meanPressure = i;
                nibpCountdown = 0;
            }
        } else if (id == "EXT_SABP") {
            if (i != systolicPressure) {
                systolicPressure = i;
                nibpCountdown = 0;
            }
        } else if (id == "RRPM") {
            if (i != respirationRate) {
                respirationRate = i;
                rrCountdown = 0;
            }
        } else if (id == "BODY_TEMP") {
            bodyTemperature = f;
        } else if (id == "bloodTemp") {
            bloodTemperature = f;
        } else if (id == "ARTLINE") {
            pushBounded(abpSamples, f);
        } else if (id == "PLINE") {
            pushBounded(papSamples, f);
        } else if (id == "CVPLINE") {
            pushBounded(cvpSamples, f);
        } else if (id == "CAPNOGRAM") {
            pushBounded(co2Samples, calibrateCO2Value(f));
        } else if (id == "PLETH") {
            pushBounded(plethSamples, f);
        } else if (id == "ARTERIAL_CATHETER_DEPTH") {
            debugLine("MR>ARTERIAL_CATHETER_DEPTH: ");
            arterialCatheterPlaced = (i >= 0);
        } else if (id == "CVP_CATHETER_DEPTH") {
            debugLine("MR>CVP_CATHETER_DEPTH: ");
            cvpCatheterPlaced = (i >= 0);
        } else if (id == "PA_CATHETER_DEPTH") {
            debugLine("MR>PA_CATHETER_DEPTH: ");
            paCatheterPlaced = (i >= 0);
        } else if (id == "PULSE_SENSOR") {
            debugLine("MR>PULSE_SENSOR: ");
            if (i != pulseSensor) {
                pulseSensor = i;
                spo2Countdown = 0;
            }
        } else if (id == "SPO2_PROBE") {
            if ((i != 0) != spo2ProbeConnected) {
                spo2ProbeConnected = (i != 0);
                spo2Countdown = 0;
            }
        } else if (id == "SIMULATOR_XCONNECTED") {
            debugLine("MR>SIMULATOR_XCONNECTED: ");
            if ((i != 0) != simulatorCrossConnected) {
                simulatorCrossConnected = (i != 0);
                spo2Countdown = 0;
            }
        } else if (id == "CAPNOGRAPH_SENSOR") {
            debugLine("MR>CAPNOGRAPH_SENSOR: ");
            if ((i != 0) != capnographConnected) {
                capnographConnected = (i != 0);
                co2Countdown = 0;
            }
        } else if (id == "TEMP_BODY_SENSOR") {
            debugLine("MR>TEMP_BODY_SENSOR: ");
            bodyTempSensorConnected = (i != 0);
        } else if (id == "TEMP_BLOOD_SENSOR") {
            debugLine("MR>TEMP_BLOOD_SENSOR: ");
            bloodTempSensorConnected = (i != 0);
        } else if (id == "NIBP_SENSOR") {
            debugLine("MR>NIBP_SENSOR: ");
            if ((i != 0) != nibpSensorConnected) {
                nibpSensorConnected = (i != 0);
                nibpCountdown = 0;
            }
        } else if (id == "HW_PATMON_CALIB_ACTION") {
            debugLine("MR>CALIBRATION_ACTION: ");
            calibrationAction = i;
            calibrationInput = true;
        } else if (id == "HW_PATMON_CALIB_ARG1") {
            debugLine("MR>CALIBRATION_ARG1: ");
            calibrationArgument = i;
            calibrationInput = true;
        }
    }
    forwardBlock(calibrationInput);
}
