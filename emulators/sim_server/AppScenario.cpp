#include "emulators/sim_server/AppSide.h"

#include "emulators/sim_server/AppMessages.h"

// The scenario: starting, loading, pausing, speed, reset and stop, whether the
// client asks for them or the server's operator does.

namespace simemu {

ScenarioInfo AppSide::scenario() const {
    std::lock_guard<std::mutex> lock(mutex_);
    ScenarioInfo info = sce_;
    info.time = player_.time();
    return info;
}

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

}  // namespace simemu
