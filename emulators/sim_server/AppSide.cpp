#include "emulators/sim_server/AppSide.h"

#include <iostream>

#include "emulators/sim_server/AppMessages.h"

// The APP exchange: the connection's life and what each frame asks for. The
// scenario's control is in AppScenario.cpp, subscriptions, registrations and
// publishes in AppSubscriptions.cpp, the patient stream in AppPatientStream.cpp.

namespace simemu {

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

void AppSide::calibrationLocked(const ReceivedMessage& m) {
    const std::uint32_t action = m.words.size() > 1 ? m.words[1] : 0;
    const std::uint32_t argument = m.words.size() > 2 ? m.words[2] : 0;
    log("relay calibration command " + std::to_string(action) + " " + std::to_string(argument));
    // Mirrored into the SIM controls that a bridge follows.
    store_.set("HW_PATMON_CALIB_ACTION", static_cast<std::int32_t>(action));
    store_.set("HW_PATMON_CALIB_ARG1", static_cast<std::int32_t>(argument));
}

}  // namespace simemu
