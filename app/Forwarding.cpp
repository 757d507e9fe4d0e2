// The forwarding step: the samples gathered from the server's updates go to
// the unit in blocks of whole conversion groups, with the numerics at their
// repetition, all gated by the simulated sensors. Runs on the receive threads.
#include <algorithm>

#include "app/ServiceStatus.h"
#include "app/SimulatorSample.h"
#include "metrics/Metrics.h"

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
    return sensors.pulseSensor == 1 ||
           (sensors.pulseSensor == 2 &&
            (sensors.spo2ProbeConnected || !sensors.simulatorCrossConnected));
}

void SimulatorSample::forwardBlock(bool calibrationInput) {
    psmr_metrics::metrics().setSimulationState(simulationRunning, calibration.calibrating);
    if (simulationRunning) {
        calibration.calibrating = false;
    } else {
        if (calibrationInput) {
            performCalibration(calibration.calibrationAction, calibration.calibrationArgument);
        }
        samples.clear();
        return;
    }
    if (samples.abpSamples.size() < kBlockSamples) {
        return;
    }
    // Whole groups only: the samples beyond stay for the next block.
    const size_t count = samples.abpSamples.size() / kBlockSamples * kBlockSamples;
    ServiceStatus::valuesForwarded(count);
    alignOn(samples.cvpSamples, samples.abpSamples.size());
    alignOn(samples.co2Samples, samples.abpSamples.size());
    alignOn(samples.papSamples, samples.abpSamples.size());
    std::vector<float>& block = samples.block;

    relay.beginCommandSession();
    cut(samples.plethSamples, samples.plethSamples.size() / kPlethGroup * kPlethGroup, block);
    if (IsSpO2ProbeConnected()) {
        if (fires(countdowns.spo2Countdown)) {
            relay.enableSPO2Probe(true);
            relay.sendSPO2_ratio(vitals.spo2Value);
        }
        relay.sendPLETH_50Hz(block);
    } else if (fires(countdowns.spo2Countdown)) {
        relay.enableSPO2Probe(false);
    }

    if (fires(countdowns.nibpCountdown)) {
        if (sensors.nibpSensorConnected) {
            relay.sendNIBP_mmHg(vitals.systolicPressure, vitals.diastolicPressure,
                                vitals.meanPressure);
        } else {
            relay.sendDisableNIBP();
        }
    }
    if (fires(countdowns.hrCountdown)) {
        relay.sendHR_bpm(vitals.heartRate);
    }
    if (fires(countdowns.rrCountdown)) {
        relay.sendRR_brpm(vitals.respirationRate);
    }
    if (fires(countdowns.temperatureCountdown)) {
        if (sensors.bodyTempSensorConnected) {
            relay.sendT1_degC(vitals.bodyTemperature);
        } else {
            relay.sendDisableT1();
        }
        if (sensors.bloodTempSensorConnected) {
            relay.sendT2_degC(vitals.bloodTemperature);
        } else {
            relay.sendDisableT2();
        }
    }
    cut(samples.co2Samples, count, block);
    if (sensors.capnographConnected) {
        relay.sendCO2_25Hz(block);
        keepRest(samples.co2Samples, block);
    } else if (fires(countdowns.co2Countdown)) {
        relay.sendDisableCO2();
    }

    cut(samples.abpSamples, count, block);
    if (sensors.arterialCatheterPlaced) {
        relay.sendABP_50Hz(block);
    }
    cut(samples.cvpSamples, count, block);
    if (sensors.cvpCatheterPlaced) {
        relay.sendCVP_25Hz(block);
        keepRest(samples.cvpSamples, block);
    }
    cut(samples.papSamples, count, block);
    if (sensors.paCatheterPlaced) {
        relay.sendPAP_50Hz(block);
        keepRest(samples.papSamples, block);
    }
    relay.commitCommandSession();
    psmr_metrics::metrics().countBlock();
}
