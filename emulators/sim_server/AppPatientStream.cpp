#include "emulators/sim_server/AppSide.h"

#include <map>
#include <vector>

#include "emulators/sim_server/AppMessages.h"

// Time: each tick advances the scenario's timeline and sends the patient
// stream, waveform samples at their exact rate and numerics when they change.

namespace simemu {

namespace {

constexpr std::uint32_t kUpdateKindValues = 0;
// A thread that fell this far behind resynchronises rather than bursting.
constexpr auto kMaxStreamLag = std::chrono::seconds(5);

}  // namespace

PatientVitals AppSide::vitals() const {
    PatientVitals v;
    v.heartRate = store_.valueOr("HRPM", v.heartRate);
    v.respRate = store_.valueOr("RRPM", v.respRate);
    v.systolic = store_.valueOr("EXT_SABP", v.systolic);
    v.diastolic = store_.valueOr("EXT_DABP", v.diastolic);
    v.paSystolic = store_.valueOr("PA_SYS", v.paSystolic);
    v.paDiastolic = store_.valueOr("PA_DIA", v.paDiastolic);
    v.cvpMean = store_.valueOr("CVP_MEAN", v.cvpMean);
    v.etco2 = store_.valueOr("ETCO2", v.etco2);
    return v;
}

void AppSide::onTick(std::chrono::steady_clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lastTick_ != std::chrono::steady_clock::time_point{} &&
        sce_.phase == ScenarioPhase::Running) {
        const double dt = std::chrono::duration<double>(now - lastTick_).count();
        player_.advance(dt * sce_.speed, store_);
    }
    lastTick_ = now;
    streamLocked(now);
}

void AppSide::streamLocked(std::chrono::steady_clock::time_point now) {
    if (!endpoint_.clientConnected() || !flowAnswered_ || sce_.sceId == 0 || mute_.load()) {
        streaming_ = false;
        return;
    }
    std::vector<app::ValueRecord> records;

    // Waveforms: every sample that is due, in whole batches, so that the
    // long-run rate is exact whatever the thread's jitter.
    std::map<std::string, std::uint32_t> waves;
    for (const auto& kv : inputs_) {
        if (isWaveform(kv.second.name)) {
            waves[kv.second.name] = kv.first;
        }
    }
    const bool running = sce_.phase == ScenarioPhase::Running;
    if (!running || waves.empty()) {
        streaming_ = false;
    } else {
        const auto interval = options_.timing.sampleInterval;
        const unsigned batch =
            options_.timing.samplesPerUpdate == 0 ? 1 : options_.timing.samplesPerUpdate;
        if (!streaming_ || now - streamStart_ >
                               kMaxStreamLag + interval * static_cast<long long>(streamSamples_)) {
            streaming_ = true;
            streamStart_ = now;
            streamSamples_ = 0;
        }
        const auto elapsed = now - streamStart_;
        const std::uint64_t due = static_cast<std::uint64_t>(elapsed / interval);
        const PatientVitals v = vitals();
        const double step = std::chrono::duration<double>(interval).count() * sce_.speed;
        PatientSample last;
        unsigned produced = 0;
        while (due >= streamSamples_ + batch) {
            for (unsigned i = 0; i < batch; ++i) {
                patient_.advance(step, v);
                last = patient_.sample(v);
                const float values[] = {last.artline, last.pline, last.cvpline, last.capnogram,
                                        last.pleth};
                for (std::size_t w = 0; w < waveformNames().size(); ++w) {
                    auto it = waves.find(waveformNames()[w]);
                    if (it != waves.end()) {
                        records.push_back(app::ValueRecord{it->second, values[w]});
                    }
                }
            }
            streamSamples_ += batch;
            produced += batch;
        }
        if (produced > 0) {
            samplesSent_.fetch_add(produced);
            store_.set("ARTLINE", last.artline);
            store_.set("PLINE", last.pline);
            store_.set("CVPLINE", last.cvpline);
            store_.set("CAPNOGRAM", last.capnogram);
            store_.set("PLETH", last.pleth);
        }
    }

    // Numerics and states: when they change.
    for (auto& kv : inputs_) {
        if (isWaveform(kv.second.name)) {
            continue;
        }
        const auto p = store_.get(kv.second.name);
        if (!p || p->version == kv.second.sentVersion) {
            continue;
        }
        kv.second.sentVersion = p->version;
        records.push_back(app::ValueRecord{kv.first, static_cast<float>(p->value)});
    }
    if (!records.empty()) {
        endpoint_.send(kFrameKindData, app::patientUpdate(sce_.sceId, kUpdateKindValues, records));
    }
}

}  // namespace simemu
