#include "app/SimulatorSample.h"

#include <iostream>
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
    nameFigures();
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
    psmr_sync::UniqueLock lock(mutex);
    // A calibration worker must not outlive the object it works on. A loop, not
    // a predicate: clang would check a predicate's lambda without the lock.
    calibration.calibrating = false;
    while (calibration.runningWorkers != 0) {
        workersFinished.wait(lock.native());
    }
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
    bool read = false;
    {
        // No other thread yet; held because the Configuration is the mutex's.
        psmr_sync::LockGuard lock(mutex);
        read = readConfiguration(*configuration);
    }
    return read && start(debugMode);
}

bool SimulatorSample::start(bool debugMode) {
    psmr_sync::LockGuard lock(mutex);
    co2Conversion = co2Table(configuration->co2Calibration);
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
        psmr_sync::LockGuard lock(mutex);
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
        psmr_sync::LockGuard lock(mutex);
        if (simulationRunning) {
            countdowns.resetAll();
        }
    }
}

void SimulatorSample::storeAndForward(const std::vector<CSClient::Parameter>& parameters) {
    bool calibrationInput = false;
    for (const CSClient::Parameter& p : parameters) {
        // Values of the bridge's own subscriptions name their signal. For
        // others the server repeats its order (ARTLINE, PLINE, ... sample after
        // sample): the signal that followed the last one last time comes first.
        const Signal* signal = static_cast<const Signal*>(p.tag);
        if (!signal) {
            signal = followers[lastInput];
            if (!signal || p.id != signal->name) {
                signal = findInput(p.id);
                if (!signal) {
                    continue;
                }
                followers[lastInput] = signal;
            }
        }
        const size_t index = signal->index;
        lastInput = index + 1;
        // Read by the type the value came with, converted to the signal's.
        const bool sentAsFloat = p.type == CSClient::PARAM_FLOAT;
        const float asFloat =
            sentAsFloat ? p.value.floatValue : static_cast<float>(p.value.intValue);
        if (signal->sendSamples) {
            // Waveforms, nearly every value: float samples, no debug line.
            InputValue sample{0, asFloat};
            if (signal->adjust) {
                sample = signal->adjust(*this, sample);
            }
            pushBounded(sampleLists[index], sample.f, signal->unit);
            continue;
        }
        InputValue value;
        if (signal->type == CSClient::PARAM_FLOAT) {
            value.f = asFloat;
        } else {
            value.i =
                sentAsFloat ? com_nax::wire::truncateToInt32(p.value.floatValue) : p.value.intValue;
        }
        if (debug && signal->debugText) {
            std::cout << signal->debugText << value.i << std::endl;
        }
        keepValue(*signal, index, signal->adjust ? signal->adjust(*this, value) : value);
        calibrationInput |= signal->steersCalibration;
    }
    forwardBlock(calibrationInput);
}

void SimulatorSample::keepValue(const Signal& signal, size_t index, const InputValue& value) {
    if (signal.keep == Keep::Elsewhere) {
        signal.store(*this, value);
    } else if (signal.keep == Keep::Latest) {
        values[index] = value;
    } else if (value.i != values[index].i || value.f != values[index].f) {
        values[index] = value;
        countdowns.of[signal.group] = 0;
    }
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
