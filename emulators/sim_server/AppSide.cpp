#include "emulators/sim_server/AppSide.h"

#include <iostream>

#include "emulators/sim_server/AppMessages.h"

namespace simemu {

namespace {

constexpr std::uint32_t kPublishNormal = 0;
constexpr std::uint32_t kPublishOverride = 2;
constexpr std::uint32_t kPublishResetOverride = 3;
constexpr std::uint32_t kPublishDelta = 0x10000;
constexpr std::uint32_t kUpdateKindValues = 0;
// A thread that fell this far behind resynchronises rather than bursting.
constexpr auto kMaxStreamLag = std::chrono::seconds(5);

}  // namespace

AppSide::AppSide(ParameterStore& store, Recorder& recorder, const EmulatorOptions& options)
    : store_(store),
      recorder_(recorder),
      options_(options),
      mute_(options.muteApp),
      player_(options.script),
      endpoint_("APP", *this, options.timing.sampleInterval, options.quiet) {}

AppSide::~AppSide() {
    endpoint_.stop();
}

void AppSide::log(const std::string& line) const {
    if (!options_.quiet) {
        std::cout << "APP " << line << std::endl;
    }
}

std::uint32_t AppSide::idFor(std::size_t index) const {
    return sce_.sceId * kIdStride + static_cast<std::uint32_t>(index) + 1;
}

ScenarioInfo AppSide::scenario() const {
    std::lock_guard<std::mutex> lock(mutex_);
    ScenarioInfo info = sce_;
    info.time = player_.time();
    return info;
}

void AppSide::sendUnknownCode(std::uint16_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    endpoint_.deliver(kFrameKindData, app::bareMessage(app::kSubData, code, sce_.sceId));
}

// --- connection --------------------------------------------------------------

void AppSide::onConnected() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        flowAnswered_ = false;
        eventsSubscribed_ = false;
        streaming_ = false;
    }
    recorder_.connected(Protocol::App);
}

void AppSide::onDisconnected() {
    {
        // The subscriptions stay: they belong to the scenario, not the connection.
        std::lock_guard<std::mutex> lock(mutex_);
        flowAnswered_ = false;
        eventsSubscribed_ = false;
        streaming_ = false;
    }
    recorder_.disconnected(Protocol::App);
}

void AppSide::onFrame(const Frame& frame) {
    ReceivedMessage m = app::decode(frame);
    recorder_.record(m);
    if (mute_.load()) {
        return;  // a server that reads and never answers
    }
    if (m.malformed) {
        std::cerr << "APP malformed " << kindName(m.kind) << " (" << frame.payload.size()
                  << " bytes) ignored" << std::endl;
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    handleLocked(m);
}

void AppSide::eventLocked(Bytes payload) {
    if (eventsSubscribed_ && !mute_.load()) {
        endpoint_.deliver(kFrameKindData, std::move(payload));
    }
}

void AppSide::sendListLocked() {
    const bool listed = sce_.sceId != 0;
    std::uint32_t state = app::kScenarioStateIdle;
    float speed = sce_.speed;
    if (sce_.phase == ScenarioPhase::Running || sce_.phase == ScenarioPhase::Paused) {
        state = app::kScenarioStateRunning;
        speed = sce_.phase == ScenarioPhase::Paused ? 0.0f : sce_.speed;  // speed 0: paused
    }
    endpoint_.deliver(kFrameKindData,
                      app::scenarioList(listed ? 1 : 0, sce_.sceId, sce_.firstKey, state, speed));
}

void AppSide::handleLocked(const ReceivedMessage& m) {
    const std::uint32_t id = m.scope;
    const bool active = sce_.sceId != 0 && id == sce_.sceId;
    const auto word = [&m](std::size_t i) { return i < m.words.size() ? m.words[i] : 0u; };
    switch (m.kind) {
        case MessageKind::AppFlowControl:
            if (m.mode == app::kFlowStart) {
                if (options_.listBeforeFlowControl) {
                    sendListLocked();
                }
                endpoint_.send(kFrameKindFlowControl, app::flowControlAnswer());
                flowAnswered_ = true;
            }
            break;  // keep-alives and the rest need no answer
        case MessageKind::AppEventSubscription:
            eventsSubscribed_ = true;
            break;
        case MessageKind::AppScenarioListRequest:
            sendListLocked();
            break;
        case MessageKind::AppVersionRequest:
            endpoint_.send(kFrameKindData, app::versionReply(options_.versionText));
            break;
        case MessageKind::AppInputSubscription:
            subscribeLocked(m);
            break;
        case MessageKind::AppOutputRegistration:
            registerLocked(m);
            break;
        case MessageKind::AppInputUnsubscription:
        case MessageKind::AppOutputUnregistration:
            if (active) {
                for (const auto& e : m.entries) {
                    inputs_.erase(e.serverId);
                    outputs_.erase(e.serverId);
                }
                snapshotLocked();
            }
            break;
        case MessageKind::AppPublish:
            publishLocked(m);
            break;
        case MessageKind::AppRunScenario: {
            const std::uint32_t first = word(0);
            const std::uint32_t second = word(1);
            if (sce_.sceId != 0) {
                endpoint_.send(kFrameKindData, app::runReply(first, second, 0, 0));
                break;
            }
            const std::uint32_t sce = newScenarioLocked(first, second, ScenarioPhase::Running);
            endpoint_.send(kFrameKindData, app::runReply(first, second, sce, 1));
            eventLocked(app::scenarioEvent(app::kEventStarted, sce, 1));
            break;
        }
        case MessageKind::AppLoadScenario: {
            const std::uint32_t first = word(1);
            if (sce_.sceId != 0) {
                endpoint_.send(kFrameKindData, app::loadReply(first, 0, 0));
                break;
            }
            const std::uint32_t sce = newScenarioLocked(first, 0, ScenarioPhase::Loaded);
            // The event first: the reply then leaves the client in its loaded mode.
            eventLocked(app::loadedEvent(sce, first, 1));
            endpoint_.send(kFrameKindData, app::loadReply(first, sce, 1));
            break;
        }
        case MessageKind::AppStartLoaded: {
            if (!active || sce_.phase != ScenarioPhase::Loaded) {
                endpoint_.send(kFrameKindData, app::startLoadedReply(id, 0));
                break;
            }
            const bool running = word(1) != 0;
            setPhaseLocked(running ? ScenarioPhase::Running : ScenarioPhase::Paused);
            endpoint_.send(kFrameKindData, app::startLoadedReply(id, 1));
            eventLocked(app::scenarioEvent(app::kEventStarted, id, 1));
            if (!running) {
                eventLocked(app::scenarioEvent(app::kEventPaused, id, 1));
            }
            break;
        }
        case MessageKind::AppStopScenario:
            if (!active || !stopLocked()) {
                eventLocked(app::scenarioEvent(app::kEventStopped, id, 0));
            }
            break;
        case MessageKind::AppPause: {
            const bool pause = word(1) != 0;
            const bool ok = active && sce_.phase != ScenarioPhase::Loaded;
            if (ok) {
                setPhaseLocked(pause ? ScenarioPhase::Paused : ScenarioPhase::Running);
            }
            // A resume is announced as the speed it resumes at.
            eventLocked(pause ? app::scenarioEvent(app::kEventPaused, id, ok ? 1 : 0)
                              : app::speedEvent(id, sce_.speed, ok ? 1 : 0));
            break;
        }
        case MessageKind::AppChangeSpeed: {
            const float speed = m.wordAsFloat(1);
            const bool ok = active && sce_.phase != ScenarioPhase::Loaded && speed >= 0;
            if (ok) {
                sce_.speed = speed;
                setPhaseLocked(sce_.phase);
            }
            eventLocked(app::speedEvent(id, speed, ok ? 1 : 0));
            break;
        }
        case MessageKind::AppRewind:
            if (active) {
                player_.rewind();
                player_.advance(0, store_);
            }
            eventLocked(app::scenarioEvent(app::kEventReset, id, active ? 1 : 0));
            break;
        case MessageKind::AppRelayCalibration:
            calibrationLocked(m);
            break;
        case MessageKind::AppSignal:
        case MessageKind::AppDelivery:
        case MessageKind::AppAdministerDrug:
        case MessageKind::AppResetDrug:
        case MessageKind::AppBookmark:
        case MessageKind::AppSave:
            log(std::string("accepted ") + kindName(m.kind) +
                (m.text.empty() ? "" : " '" + m.text + "'"));
            break;
        default:
            log("ignored message code " + std::to_string(m.code));
            break;
    }
}

void AppSide::subscribeLocked(const ReceivedMessage& m) {
    if (sce_.sceId == 0 || m.scope != sce_.sceId) {
        log("input subscription for scenario " + std::to_string(m.scope) + " ignored (active " +
            std::to_string(sce_.sceId) + ")");
        return;
    }
    std::vector<app::ReplyRecord> records;
    for (const auto& e : m.entries) {
        const auto p = store_.get(e.name);
        if (!p) {
            log("unknown input " + e.name + " left out");
            continue;
        }
        app::ReplyRecord r;
        r.serverId = idFor(p->index);
        r.name = e.name;
        r.value = static_cast<float>(p->value);
        r.rate = e.rate;
        inputs_[r.serverId] = Subscription{e.name, p->version};
        records.push_back(r);
    }
    log("scenario " + std::to_string(sce_.sceId) + ": " + std::to_string(records.size()) + " of " +
        std::to_string(m.entries.size()) + " inputs subscribed");
    snapshotLocked();
    endpoint_.send(kFrameKindData, app::inputSubscriptionReply(sce_.sceId, records));
}

void AppSide::registerLocked(const ReceivedMessage& m) {
    if (sce_.sceId == 0 || m.scope != sce_.sceId) {
        log("output registration for scenario " + std::to_string(m.scope) + " ignored");
        return;
    }
    std::vector<app::ReplyRecord> records;
    for (const auto& e : m.entries) {
        auto p = store_.get(e.name);
        if (!p) {
            store_.define(e.name, ParamType::Float, 0);
            p = store_.get(e.name);
        }
        app::ReplyRecord r;
        r.serverId = idFor(p->index);
        r.name = e.name;
        outputs_[r.serverId] = e.name;
        records.push_back(r);
    }
    snapshotLocked();
    endpoint_.send(kFrameKindData, app::outputRegistrationReply(sce_.sceId, records));
}

void AppSide::publishLocked(const ReceivedMessage& m) {
    if (sce_.sceId == 0 || m.scope != sce_.sceId) {
        log("publish for scenario " + std::to_string(m.scope) + " ignored");
        return;
    }
    for (const auto& e : m.entries) {
        auto it = outputs_.find(e.serverId);
        if (it == outputs_.end()) {
            log("publish for unregistered ID " + std::to_string(e.serverId) + " ignored");
            continue;
        }
        const std::string& name = it->second;
        switch (m.mode) {
            case kPublishDelta:
                store_.add(name, e.value);
                break;
            case kPublishOverride:
                if (beforeOverride_.count(name) == 0) {
                    beforeOverride_[name] = store_.valueOr(name, 0);
                }
                store_.set(name, e.value);
                break;
            case kPublishResetOverride:
                if (beforeOverride_.count(name) != 0) {
                    store_.set(name, beforeOverride_[name]);
                    beforeOverride_.erase(name);
                }
                break;
            case kPublishNormal:
            default:
                store_.set(name, e.value);
                break;
        }
    }
}

void AppSide::calibrationLocked(const ReceivedMessage& m) {
    const std::uint32_t action = m.words.size() > 1 ? m.words[1] : 0;
    const std::uint32_t argument = m.words.size() > 2 ? m.words[2] : 0;
    log("relay calibration command " + std::to_string(action) + " " + std::to_string(argument));
    // Mirrored into the SIM controls that a bridge follows.
    store_.set("HW_PATMON_CALIB_ACTION", static_cast<std::int32_t>(action));
    store_.set("HW_PATMON_CALIB_ARG1", static_cast<std::int32_t>(argument));
}

// --- scenario ------------------------------------------------------------------

std::uint32_t AppSide::newScenarioLocked(std::uint32_t firstKey, std::uint32_t secondKey,
                                         ScenarioPhase phase) {
    sce_ = ScenarioInfo{};
    sce_.sceId = nextSceId_++;
    sce_.firstKey = firstKey;
    sce_.secondKey = secondKey;
    inputs_.clear();
    outputs_.clear();
    beforeOverride_.clear();
    player_.rewind();
    player_.advance(0, store_);
    setPhaseLocked(phase);
    snapshotLocked();
    log("scenario " + std::to_string(sce_.sceId) +
        (phase == ScenarioPhase::Loaded ? " loaded" : " running"));
    return sce_.sceId;
}

bool AppSide::stopLocked() {
    if (sce_.sceId == 0) {
        return false;
    }
    const std::uint32_t id = sce_.sceId;
    // Ids die with the scenario; the next one hands out new ones.
    inputs_.clear();
    outputs_.clear();
    setPhaseLocked(ScenarioPhase::None);
    sce_ = ScenarioInfo{};
    snapshotLocked();
    eventLocked(app::scenarioEvent(app::kEventStopped, id, 1));
    log("scenario " + std::to_string(id) + " stopped");
    return true;
}

void AppSide::setPhaseLocked(ScenarioPhase phase) {
    sce_.phase = phase;
    // The bridge enables its unit on HW_PATSPEED 1: the speed while running, else 0.
    store_.set("HW_PATSPEED", phase == ScenarioPhase::Running ? sce_.speed : 0.0);
}

void AppSide::snapshotLocked() {
    Recorder::Ids ins, outs;
    for (const auto& kv : inputs_) {
        ins[kv.second.name] = kv.first;
    }
    for (const auto& kv : outputs_) {
        outs[kv.second] = kv.first;
    }
    recorder_.setSubscriptions(Protocol::App, std::move(ins), std::move(outs));
}

std::uint32_t AppSide::runScenario(std::uint32_t firstKey, std::uint32_t secondKey) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sce_.sceId != 0) {
        return 0;
    }
    const std::uint32_t id = newScenarioLocked(firstKey, secondKey, ScenarioPhase::Running);
    eventLocked(app::scenarioEvent(app::kEventStarted, id, 1));
    return id;
}

std::uint32_t AppSide::loadScenario(std::uint32_t firstKey) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sce_.sceId != 0) {
        return 0;
    }
    const std::uint32_t id = newScenarioLocked(firstKey, 0, ScenarioPhase::Loaded);
    eventLocked(app::loadedEvent(id, firstKey, 1));
    return id;
}

bool AppSide::startLoaded(bool running) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sce_.sceId == 0 || sce_.phase != ScenarioPhase::Loaded) {
        return false;
    }
    setPhaseLocked(running ? ScenarioPhase::Running : ScenarioPhase::Paused);
    eventLocked(app::scenarioEvent(app::kEventStarted, sce_.sceId, 1));
    if (!running) {
        eventLocked(app::scenarioEvent(app::kEventPaused, sce_.sceId, 1));
    }
    return true;
}

bool AppSide::stopScenario() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopLocked();
}

bool AppSide::pauseScenario(bool pause) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sce_.sceId == 0 || sce_.phase == ScenarioPhase::Loaded) {
        return false;
    }
    setPhaseLocked(pause ? ScenarioPhase::Paused : ScenarioPhase::Running);
    eventLocked(pause ? app::scenarioEvent(app::kEventPaused, sce_.sceId, 1)
                      : app::speedEvent(sce_.sceId, sce_.speed, 1));
    return true;
}

bool AppSide::changeSpeed(float speed) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sce_.sceId == 0 || sce_.phase == ScenarioPhase::Loaded || !(speed >= 0)) {
        return false;
    }
    sce_.speed = speed;
    setPhaseLocked(sce_.phase);
    eventLocked(app::speedEvent(sce_.sceId, speed, 1));
    return true;
}

bool AppSide::resetScenario() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sce_.sceId == 0) {
        return false;
    }
    player_.rewind();
    player_.advance(0, store_);
    eventLocked(app::scenarioEvent(app::kEventReset, sce_.sceId, 1));
    return true;
}

// --- time: the timeline and the patient stream -----------------------------------

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
