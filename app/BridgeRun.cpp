// Forwarding of stored updates to the unit, and the unit's supervision.
#include <iostream>
#include <thread>

#include "app/SimulatorSample.h"

namespace {

// Numerics that do not change are repeated every 21st block.
constexpr int32_t kCountdownReload = 20;
// A block is at least this many arterial samples (120 ms at the 12 ms spacing),
// and always a multiple of it: the least common multiple of the 50 Hz (5) and
// 25 Hz (10) conversion groups, so that every sample of a block is sent.
constexpr size_t kBlockSamples = 10;
constexpr size_t kPlethGroup = 5;

// Counts one block down; true when the command is due in this block.
bool fires(int32_t& countdown) {
    if (countdown-- < 1) {
        countdown = kCountdownReload;
        return true;
    }
    return false;
}

// Drops the oldest samples until `list` is no longer than `length`.
void alignOn(std::vector<float>& list, size_t length) {
    if (list.size() > length) {
        list.erase(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(list.size() - length));
    }
}

// Moves the first `count` samples of `list` (or all it has) into `block`.
void cut(std::vector<float>& list, size_t count, std::vector<float>& block) {
    const auto end = list.begin() + static_cast<std::ptrdiff_t>(std::min(count, list.size()));
    block.assign(list.begin(), end);
    list.erase(list.begin(), end);
}

// Puts back at the front of `list` what the waveform command left of `block`
// (an unfinished conversion group), so that it leads the next block.
void keepRest(std::vector<float>& list, const std::vector<float>& block) {
    list.insert(list.begin(), block.begin(), block.end());
}

}  // namespace

bool SimulatorSample::IsSpO2ProbeConnected() {
    return pulseSensor == 1 ||
           (pulseSensor == 2 && (spo2ProbeConnected || !simulatorCrossConnected));
}

void SimulatorSample::forwardBlock(bool calibrationInput) {
    if (simulationRunning) {
        calibrating = false;
    } else {
        if (calibrationInput) {
            performCalibration(calibrationAction, calibrationArgument);
        }
        abpSamples.clear();
        papSamples.clear();
        cvpSamples.clear();
        co2Samples.clear();
        plethSamples.clear();
        return;
    }
    if (abpSamples.size() < kBlockSamples) {
        return;
    }
    // Whole groups only: the samples beyond stay for the next block.
    const size_t count = abpSamples.size() / kBlockSamples * kBlockSamples;
    alignOn(cvpSamples, abpSamples.size());
    alignOn(co2Samples, abpSamples.size());
    alignOn(papSamples, abpSamples.size());
    std::vector<float>& block = blockScratch;

    relay.beginCommandSession();
    cut(plethSamples, plethSamples.size() / kPlethGroup * kPlethGroup, block);
    if (IsSpO2ProbeConnected()) {
        if (fires(spo2Countdown)) {
            relay.enableSPO2Probe(true);
            relay.sendSPO2_ratio(spo2Value);
        }
        relay.sendPLETH_50Hz(block);
    } else if (fires(spo2Countdown)) {
        relay.enableSPO2Probe(false);
    }

    if (fires(nibpCountdown)) {
        if (nibpSensorConnected) {
            relay.sendNIBP_mmHg(systolicPressure, diastolicPressure, meanPressure);
        } else {
            relay.sendDisableNIBP();
        }
    }
    if (fires(hrCountdown)) {
        relay.sendHR_bpm(heartRate);
    }
    if (fires(rrCountdown)) {
        relay.sendRR_brpm(respirationRate);
    }
    if (fires(temperatureCountdown)) {
        if (bodyTempSensorConnected) {
            relay.sendT1_degC(bodyTemperature);
        } else {
            relay.sendDisableT1();
        }
        if (bloodTempSensorConnected) {
            relay.sendT2_degC(bloodTemperature);
        } else {
            relay.sendDisableT2();
        }
    }
    cut(co2Samples, count, block);
    if (capnographConnected) {
        relay.sendCO2_25Hz(block);
        keepRest(co2Samples, block);
    } else if (fires(co2Countdown)) {
        relay.sendDisableCO2();
    }

    cut(abpSamples, count, block);
    if (arterialCatheterPlaced) {
        relay.sendABP_50Hz(block);
    }
    cut(cvpSamples, count, block);
    if (cvpCatheterPlaced) {
        relay.sendCVP_25Hz(block);
        keepRest(cvpSamples, block);
    }
    cut(papSamples, count, block);
    if (paCatheterPlaced) {
        relay.sendPAP_50Hz(block);
        keepRest(papSamples, block);
    }
    relay.commitCommandSession();
}

void SimulatorSample::enableOutsideLock() {
    if (relay.isEnabled()) {
        return;
    }
    relay.enable();
    // The simulation may have stopped while the unit was being enabled; the
    // receive thread's disable may then have come first, so settle it here.
    std::lock_guard<std::mutex> lock(mutex);
    if (!simulationRunning && !calibrating) {
        relay.disable();
    }
}

bool SimulatorSample::run() {
    int failures = 0;
    for (;;) {
        std::this_thread::sleep_for(timings.checkPeriod);
        {
            // The flags are written by the receive threads under the mutex.
            std::lock_guard<std::mutex> lock(mutex);
            if (!simulationRunning && !calibrating) {
                continue;
            }
        }
        // The unit is asked without the bridge mutex, so that blocks keep
        // going out while a reply is awaited; the adaptor keeps the requests
        // apart from each other and from command sessions.
        // A lost reply to the enabling costs one period, not the scenario.
        enableOutsideLock();
        if (relay.checkConnection()) {
            if (failures >= 2) {
                std::cout << "MR>ERROR>Connection reestablished..." << std::endl;
            }
            failures = 0;
            continue;
        }
        const int n = failures + 1;
        if (n % 2 == 0) {
            std::cerr << "MR>ERROR>Unable to reach the MonitorRelay unit... (" << n
                      << "). Reconnecting..." << std::endl;
            relay.disable();
            enableOutsideLock();
        }
        if (failures >= 10) {
            std::cerr << "MR>ERROR>No answer from the MonitorRelay unit for too long. "
                         "Disconnecting."
                      << std::endl;
            return true;
        }
        failures = n;
    }
}
