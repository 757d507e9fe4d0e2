// Scenario replies and events of the APP engine: the active scenario list,
// run, load and start replies, and the scenario events with their callbacks.
#include <iostream>

#include "client/protocols/AppProtocol.h"
#include "client/protocols/AppWire.h"
#include "client/protocols/ProtocolWire.h"

namespace com_nax {

namespace {

CSClient::Result statusResult(std::uint32_t status) {
    return status == 1 ? CSClient::RESULT_OK : CSClient::RESULT_REJECTED;
}

// Running mode of a speed word; false for a speed the server has no mode for.
bool runningMode(int speed, AppClient::SimulationMode& mode) {
    switch (speed) {
        case 1:
            mode = AppClient::MODE_RUNNING_1X;
            return true;
        case 4:
            mode = AppClient::MODE_RUNNING_4X;
            return true;
        case 8:
            mode = AppClient::MODE_RUNNING_8X;
            return true;
        default:
            return false;
    }
}

}  // namespace

void AppProtocol::handleListResponse(const RawMessage& message) {
    const appwire::ListResponse list = appwire::decodeListResponse(message.reader());
    if (list.count > 1) {
        std::cerr << "Warning, multiple patients in a patient list response: " << list.count
                  << ". Handling only the first one!" << std::endl;
    }
    if (list.count >= 1) {
        AppClient::SimulationMode mode = AppClient::MODE_STOPPED;
        if (list.state == 5) {
            const int speed = wire::truncateToInt32(list.speed);
            if (speed == 0) {
                mode = AppClient::MODE_PAUSED;
            } else if (!runningMode(speed, mode)) {
                std::cerr << "Patient started but unknown speed " << speed << ". Reporting as 4x"
                          << std::endl;
                mode = AppClient::MODE_RUNNING_4X;
            }
        }
        mode_.store(mode);
        primaryId_.store(list.firstKey);
        sceId_.store(list.sceId);
    }
    const bool startUp = getState() == CSClient::STATE_CONNECTED && list.count >= 1;
    for (AppClient::Callback* cb : appCallbacks()) {
        if (startUp) {
            cb->sceStarted(sceId_.load(), primaryId_.load(), secondaryId_.load(),
                           CSClient::RESULT_OK);
        } else {
            cb->sceActiveRefresh();
        }
    }
}

void AppProtocol::handleRunReply(const RawMessage& message) {
    const appwire::RunReply reply = appwire::decodeRunReply(message.reader());
    if (reply.sceId != sceId_.load()) {
        return;
    }
    if (reply.status == 1) {
        primaryId_.store(reply.firstKey);
        secondaryId_.store(reply.secondKey);
    } else {
        sceId_.store(0);
    }
}

void AppProtocol::handleLoadReply(const RawMessage& message) {
    const appwire::LoadReply reply = appwire::decodeLoadReply(message.reader());
    if (!reply.present) {
        return;
    }
    if (reply.success) {
        mode_.store(AppClient::MODE_LOADED);
        primaryId_.store(reply.firstKey);
        sceId_.store(reply.sceId);
        for (AppClient::Callback* cb : appCallbacks()) {
            cb->sceLoaded(sceId_.load(), primaryId_.load(), secondaryId_.load());
        }
        return;
    }
    for (AppClient::Callback* cb : appCallbacks()) {
        cb->sceStarted(reply.sceId, reply.firstKey, secondaryId_.load(), CSClient::RESULT_REJECTED);
    }
}

void AppProtocol::handleStartLoadedReply(const RawMessage& message) {
    const appwire::StartLoadedReply reply = appwire::decodeStartLoadedReply(message.reader());
    if (!reply.present || reply.status != 0) {
        return;  // success is reported by the started event
    }
    const unsigned first = primaryId_.load();
    const unsigned second = secondaryId_.load();
    sceId_.store(0);
    primaryId_.store(0);
    secondaryId_.store(0);
    for (AppClient::Callback* cb : appCallbacks()) {
        cb->sceStarted(reply.sceId, first, second, CSClient::RESULT_REJECTED);
    }
}

void AppProtocol::handleEvent(const RawMessage& message) {
    const appwire::Event event = appwire::decodeEvent(message.reader());
    if (!event.present) {
        return;
    }
    const CSClient::Result r = statusResult(event.status);
    const bool ok = event.status == 1;
    switch (event.code) {
        case appwire::kEventLoaded:
            if (ok) {
                mode_.store(AppClient::MODE_PAUSED);
                primaryId_.store(event.firstKey);
                sceId_.store(event.sceId);
                return;
            }
            for (AppClient::Callback* cb : appCallbacks()) {
                cb->sceStarted(event.sceId, event.firstKey, secondaryId_.load(),
                               CSClient::RESULT_REJECTED);
            }
            return;
        case appwire::kEventStarted:
            if (ok) {
                mode_.store(AppClient::MODE_RUNNING_1X);
                sceId_.store(event.sceId);
                if (registrationsWaiting()) {
                    registerAllParameters();
                }
            }
            for (AppClient::Callback* cb : appCallbacks()) {
                cb->sceStarted(event.sceId, primaryId_.load(), secondaryId_.load(), r);
            }
            return;
        case appwire::kEventPaused:
            if (ok && event.sceId == sceId_.load()) {
                mode_.store(AppClient::MODE_PAUSED);
            }
            for (AppClient::Callback* cb : appCallbacks()) {
                cb->sceModeChanged(event.sceId, AppClient::MODE_PAUSED, r);
            }
            return;
        case appwire::kEventStopped: {
            unsigned first = 0;
            unsigned second = 0;
            {
                CSMutex::Guard registry(registryLock_);
                first = primaryId_.load();
                second = secondaryId_.load();
                if (ok) {
                    // Server ids belong to the scenario: every registration waits
                    // for the next one.
                    clearActiveSce();
                    confirmedInputs_.clear();
                    confirmedOutputs_.clear();
                }
            }
            for (AppClient::Callback* cb : appCallbacks()) {
                cb->sceStopped(event.sceId, first, second, r);
            }
            return;
        }
        case appwire::kEventReset:
            for (AppClient::Callback* cb : appCallbacks()) {
                cb->sceReset(event.sceId, primaryId_.load(), secondaryId_.load(), r);
            }
            return;
        case appwire::kEventSpeed: {
            const int speed = wire::truncateToInt32(event.speed);
            AppClient::SimulationMode mode = AppClient::MODE_STOPPED;
            if (!runningMode(speed, mode)) {
                if (!isQuiet()) {
                    std::cerr << "Sce " << event.sceId << " Event with unknown speed: " << speed
                              << std::endl;
                }
                return;
            }
            if (ok && event.sceId == sceId_.load()) {
                mode_.store(mode);
            }
            for (AppClient::Callback* cb : appCallbacks()) {
                cb->sceModeChanged(event.sceId, mode, r);
            }
            return;
        }
        default:
            return;
    }
}

}  // namespace com_nax
