// SpO2 and CO2 calibration: the conversion tables and the procedure that
// records them while the simulation server steers the unit's test signal.
#include <cmath>
#include <exception>
#include <iostream>
#include <thread>

#include "app/Conversion.h"
#include "app/SimulatorSample.h"

namespace {

// One pulse of the plethysmogram test signal, played twice per table.
const float kPulse[61] = {0.00f,  10.94f, 17.80f, 24.58f, 31.26f, 37.80f, 44.16f, 50.32f, 56.23f,
                          61.88f, 67.23f, 72.25f, 76.92f, 81.22f, 85.11f, 88.59f, 91.63f, 94.22f,
                          96.34f, 97.99f, 99.15f, 99.82f, 99.99f, 99.67f, 98.86f, 97.56f, 95.77f,
                          93.51f, 90.79f, 87.62f, 84.01f, 80.00f, 79.90f, 79.59f, 79.08f, 78.36f,
                          77.45f, 76.33f, 75.02f, 73.52f, 71.82f, 69.95f, 67.89f, 65.66f, 63.26f,
                          60.70f, 57.98f, 55.12f, 52.11f, 48.97f, 45.70f, 42.32f, 38.82f, 35.23f,
                          31.55f, 27.78f, 23.95f, 20.05f, 16.10f, 12.11f, 8.09f};
constexpr int kPlethTableSize = 122;
constexpr int kSamplesPerCycle = 10;
// The CO2 test signal: 250 samples at 0, then 250 at the level (3 s each).
constexpr int kCo2HalfPeriod = 250;
constexpr int kCo2LastPhase = 499;

float plethTable(int index) {
    return kPulse[index % 61];
}

}  // namespace

int SimulatorSample::calibrateSPO2Value(float value) const {
    return spo2FromTable(configuration->spo2Calibration, value);
}

float SimulatorSample::calibrateCO2Value(float value) const {
    return co2FromTable(co2Conversion, value);
}

void SimulatorSample::performCalibration(int action, int argument) {
    if (action < 1) {
        if (calibration.calibrating) {
            std::cout << "MR>CALIBRATION>Stopping calibration" << std::endl;
            calibration.calibrating = false;
        }
        return;
    }
    if (!calibration.calibrating) {
        if (action != 1) {
            std::cout << "MR>CALIBRATION>Ignoring calibration until a 'Start' action is received."
                      << std::endl;
            return;
        }
        std::cout << "MR>CALIBRATION>Starting calibration" << std::endl;
        calibration.calibrating = true;
        // A worker of an earlier calibration that has not noticed its end yet
        // sees the newer generation and carries on with this one: quick
        // toggling must not leave workers queueing for a silent unit.
        const unsigned generation = ++calibration.calibrationGeneration;
        if (calibration.runningWorkers == 0) {
            // The last worker left its loop under the mutex; it only returns.
            if (calibrationWorker.joinable()) {
                calibrationWorker.join();
            }
            ++calibration.runningWorkers;
            try {
                calibrationWorker =
                    std::thread([this, generation] { calibrationData(generation); });
            } catch (const std::exception& e) {
                // No worker: nothing would ever feed the unit, so do not pretend to calibrate.
                --calibration.runningWorkers;
                calibration.calibrating = false;
                std::cout << e.what() << std::endl;
                return;
            }
        }
    }
    switch (action) {
        case 1:
            std::cout << "MR>CALIBRATION>Start/reset calibration" << std::endl;
            calibration.co2Points.clear();
            calibration.spo2Points.clear();
            calibration.co2Counter = 0;
            calibration.spo2Counter = 45;
            calibration.spo2Scale = 4;
            break;
        case 2:
            std::cout << "MR>CALIBRATION>Set SPO2 scale to " << argument << std::endl;
            calibration.spo2Scale = argument;
            break;
        case 3:
            std::cout << "MR>CALIBRATION>Set SPO2 Counter to " << argument << std::endl;
            calibration.spo2Counter = argument;
            break;
        case 4:
            std::cout << "MR>CALIBRATION>Set CO2 Counter to " << argument << std::endl;
            calibration.co2Counter = argument;
            break;
        case 30:
            std::cout << "MR>CALIBRATION>Save SPO2 point " << argument << " -> "
                      << calibration.spo2Counter << std::endl;
            calibration.spo2Points[argument] = calibration.spo2Counter;
            break;
        case 39:
            std::cout << "MR>CALIBRATION>Skipping SPO2" << std::endl;
            calibration.spo2Points.clear();
            break;
        case 40:
            std::cout << "MR>CALIBRATION>Save CO2 point " << argument << " -> "
                      << calibration.co2Counter << std::endl;
            calibration.co2Points[argument] = calibration.co2Counter;
            break;
        case 49:
            std::cout << "MR>CALIBRATION>Skipping CO2" << std::endl;
            calibration.co2Points.clear();
            break;
        case 100:
            std::cout << "MR>CALIBRATION>Saving calibration file!" << std::endl;
            saveCalibration();
            calibration.calibrating = false;
            break;
        default:
            break;
    }
}

void SimulatorSample::saveCalibration() {
    // Memory and file must not drift apart: the next bridge set-up re-reads
    // the file and would merge its old points into tables nobody chose.
    const std::map<float, float> previousCo2 = configuration->co2Calibration;
    const std::map<float, float> previousSpo2 = configuration->spo2Calibration;
    const int32_t previousScale = configuration->spo2Scale;
    if (!calibration.co2Points.empty()) {
        configuration->co2Calibration.clear();
        for (const auto& point : calibration.co2Points) {
            configuration->co2Calibration[static_cast<float>(point.first)] =
                static_cast<float>(point.second);
        }
    }
    if (!calibration.spo2Points.empty()) {
        configuration->spo2Scale = calibration.spo2Scale;
        configuration->spo2Calibration.clear();
        for (const auto& point : calibration.spo2Points) {
            configuration->spo2Calibration[static_cast<float>(point.first)] =
                static_cast<float>(point.second);
        }
    }
    if (!configuration->writeConfiguration()) {
        configuration->co2Calibration = previousCo2;
        configuration->spo2Calibration = previousSpo2;
        configuration->spo2Scale = previousScale;
        std::cerr << "MR>ERROR>Calibration not saved: the previous tables stay in use."
                  << std::endl;
    }
    co2Conversion = co2Table(configuration->co2Calibration);
}

void SimulatorSample::calibrationData(unsigned generation) {
    using Clock = std::chrono::steady_clock;
    auto base = Clock::now();
    int pulseIndex = 0;
    int co2Phase = 0;
    // Leaves its loop (and the count of workers) under the mutex, so that a
    // Start either sees it running or may start another.
    psmr_sync::UniqueLock lock(mutex, std::defer_lock);
    try {
        for (;;) {
            lock.lock();
            if (!calibration.calibrating) {
                break;
            }
            if (generation != calibration.calibrationGeneration) {
                // A newer calibration: its test signal starts afresh.
                generation = calibration.calibrationGeneration;
                base = Clock::now();
                pulseIndex = 0;
                co2Phase = 0;
            }
            lock.unlock();
            // The unit may have been disabled meanwhile; re-enabling is a
            // no-op while it is enabled, and waits for the unit without the mutex.
            enableOutsideLock();
            const auto now = Clock::now();
            // A worker that fell more than a cycle behind (a silent unit makes
            // each enabling wait) starts afresh instead of replaying what it owes.
            if (now - base > 2 * timings.calibrationCycle) {
                base = now - timings.calibrationCycle;
            }
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - base);
            if (elapsed < timings.calibrationCycle) {
                std::this_thread::sleep_for(timings.calibrationCycle - elapsed);
            }
            lock.lock();
            if (!calibration.calibrating || generation != calibration.calibrationGeneration) {
                lock.unlock();
                continue;  // ended, or a newer one: decided at the top
            }
            const int32_t co2 = calibration.co2Counter;
            const int32_t spo2 = calibration.spo2Counter;
            const int32_t scale = calibration.spo2Scale;
            relay.beginCommandSession();
            relay.sendHR_bpm(72);
            relay.sendRR_brpm(10);
            // Fixed-rate schedule: a late cycle is followed at once by the next.
            base += timings.calibrationCycle;

            std::vector<float> pleth;
            pleth.reserve(kSamplesPerCycle);
            for (int n = 0; n < kSamplesPerCycle; ++n) {
                pleth.push_back(plethTable(pulseIndex));
                pulseIndex = (pulseIndex + 1 > kPlethTableSize - 1) ? 0 : pulseIndex + 1;
            }
            relay.enableSPO2Probe(true);
            relay.sendSPO2Scale(scale);
            relay.sendSPO2_ratio(spo2);
            relay.sendPLETH_50Hz(pleth);

            const float level = static_cast<float>(co2) / 1000.0f;
            std::vector<float> capno;
            capno.reserve(kSamplesPerCycle);
            for (int n = 0; n < kSamplesPerCycle; ++n) {
                capno.push_back(co2Phase < kCo2HalfPeriod ? 0.0f : level);
                co2Phase = (co2Phase >= kCo2LastPhase) ? 0 : co2Phase + 1;
            }
            relay.sendCO2_25Hz(capno);
            relay.commitCommandSession();
            lock.unlock();
        }
    } catch (const std::exception& e) {
        if (lock.owns_lock()) {
            lock.unlock();
        }
        std::cout << e.what() << std::endl;
        lock.lock();
    }
    --calibration.runningWorkers;
    workersFinished.notify_all();
}
