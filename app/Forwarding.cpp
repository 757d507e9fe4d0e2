// The forwarding step: the samples gathered from the server's updates go to
// the unit in blocks of whole conversion groups, with the numerics at their
// repetition, all gated by the simulated sensors. Runs on the receive threads.
#include <algorithm>
#include <cstdint>

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
// A waveform not aligned on the pace (PLETH) takes its own whole 50 Hz groups.
constexpr size_t kOwnGroup = 5;

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

bool SimulatorSample::gateOpen(Gate gate) {
    switch (gate) {
        case Gate::None:
            return true;
        case Gate::Probe:
            return IsSpO2ProbeConnected();
        case Gate::NibpSensor:
            return sensors.nibpSensorConnected;
        case Gate::BodyTempSensor:
            return sensors.bodyTempSensorConnected;
        case Gate::BloodTempSensor:
            return sensors.bloodTempSensorConnected;
        case Gate::Capnograph:
            return sensors.capnographConnected;
        case Gate::ArterialCatheter:
            return sensors.arterialCatheterPlaced;
        case Gate::CvpCatheter:
            return sensors.cvpCatheterPlaced;
        case Gate::PaCatheter:
            return sensors.paCatheterPlaced;
    }
    return true;
}

void SimulatorSample::forwardBlock(bool calibrationInput) {
    psmr_metrics::metrics().setSimulationState(simulationRunning, calibration.calibrating);
    if (simulationRunning) {
        calibration.calibrating = false;
    } else {
        if (calibrationInput) {
            performCalibration(calibration.calibrationAction, calibration.calibrationArgument);
        }
        for (std::vector<float>& list : sampleLists) {
            list.clear();
        }
        return;
    }
    const size_t paceSamples = sampleLists[pace].size();
    if (paceSamples < kBlockSamples) {
        return;
    }
    // Whole groups only: the samples beyond stay for the next block.
    const size_t count = paceSamples / kBlockSamples * kBlockSamples;
    ServiceStatus::valuesForwarded(count);
    for (const Signal* signal : blockOrder) {
        if (signal->keep == Keep::Paced) {
            alignOn(sampleLists[signal->index], paceSamples);
        }
    }

    relay.beginCommandSession();
    // A repeat group's countdown is counted once a block, by the first of its
    // signals in the unit's order; the others of the group follow it.
    size_t lastGroup = SIZE_MAX;
    bool due = false;
    for (const Signal* signal : blockOrder) {
        const size_t index = signal->index;
        if (signal->sendSamples) {
            std::vector<float>& list = sampleLists[index];
            cut(list, signal->keep == Keep::OwnGroups ? list.size() / kOwnGroup * kOwnGroup : count,
                block);
            if (gateOpen(signal->gate)) {
                (relay.*signal->sendSamples)(block);
                keepRest(list, block);
            } else if (signal->sendClosed && fires(countdowns.of[signal->group])) {
                signal->sendClosed(relay);
            }
            continue;
        }
        if (!signal->send) {
            continue;  // goes out with the first of its group
        }
        if (signal->group != lastGroup) {
            lastGroup = signal->group;
            due = fires(countdowns.of[lastGroup]);
        }
        if (!due) {
            continue;
        }
        if (gateOpen(signal->gate)) {
            signal->send(relay, &values[index]);
        } else if (signal->sendClosed) {
            signal->sendClosed(relay);
        }
    }
    relay.commitCommandSession();
    psmr_metrics::metrics().countBlock();
}
