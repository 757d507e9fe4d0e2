// Forwarding of stored updates to the unit, and the unit's supervision.
#include <iostream>
#include <thread>

#include "app/SimulatorSample.h"

namespace {

// Numerics that do not change are repeated every 21st block.
constexpr int32_t kCountdownReload = 20;
// A block is at least this many arterial samples (120 ms at the 12 ms spacing).
constexpr size_t kBlockSamples = 10;

// Counts one block down; true when the command is due in this block.
bool fires(int32_t& countdown) {
    if (countdown-- < 1) {
        countdown = kCountdownReload;
        return true;
    }
    return false;
}

// Drops the oldest samples until `list` is no longer than `reference`.
void alignOn(std::vector<float>& list, const std::vector<float>& reference) {
    if (list.size() > reference.size()) {
        list.erase(list.begin(), list.begin() + (list.size() - reference.size()));
    }
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
    alignOn(cvpSamples, abpSamples);
    alignOn(co2Samples, abpSamples);
    alignOn(papSamples, abpSamples);

    relay.beginCommandSession();
    if (IsSpO2ProbeConnected()) {
        if (fires(spo2Countdown)) {
            relay.enableSPO2Probe(true);
            relay.sendSPO2_ratio(spo2Value);
        }
        relay.sendPLETH_50Hz(plethSamples);
    } else if (fires(spo2Countdown)) {
        relay.enableSPO2Probe(false);
    }
    plethSamples.clear();

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
    if (capnographConnected) {
        relay.sendCO2_25Hz(co2Samples);
    } else if (fires(co2Countdown)) {
        relay.sendDisableCO2();
    }
    co2Samples.clear();

    if (arterialCatheterPlaced) {
        relay.sendABP_50Hz(abpSamples);
    }
    abpSamples.clear();
    if (cvpCatheterPlaced) {
        relay.sendCVP_25Hz(cvpSamples);
    }
    cvpSamples.clear();
    if (paCatheterPlaced) {
        relay.sendPAP_50Hz(papSamples);
    }
    papSamples.clear();
    relay.commitCommandSession();
}

bool SimulatorSample::run() {
    int failures = 0;
    for (;;) {
        std::this_thread::sleep_for(timings.checkPeriod);
        // The flags are written by the receive threads and the unit link is
        // shared with the forwarding step and the calibration worker: test,
        // check and revive under the bridge mutex so no command session is cut.
        std::lock_guard<std::mutex> lock(mutex);
        if (!simulationRunning && !calibrating) {
            continue;
        }
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
            relay.enable();
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
