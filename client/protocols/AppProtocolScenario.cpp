// Scenario side of the APP engine: the active scenario record, scenario
// commands, replies and events, flow control and the keep-alive thread.

#include <iostream>

#include "client/protocols/AppProtocol.h"
#include "client/protocols/AppWire.h"
#include "client/protocols/ProtocolSupport.h"

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

bool AppProtocol::scenarioMissing(bool notWhileLoaded) const {
    return sceId_.load() == 0 || (notWhileLoaded && mode_.load() == AppClient::MODE_LOADED);
}

void AppProtocol::clearActiveSce() {
    primaryId_.store(0);
    sceId_.store(0);
    secondaryId_.store(0);
    mode_.store(AppClient::MODE_STOPPED);
}

CSClient::Result AppProtocol::startSce(unsigned firstKey, unsigned secondKey, bool startFlag) {
    if (mode_.load() == AppClient::MODE_LOADED) {
        if (primaryId_.load() == firstKey || secondaryId_.load() == secondKey) {
            return sendStartSce(sceId_.load(), startFlag);
        }
        return CSClient::RESULT_SCE_BUSY;
    }
    if (sceId_.load() != 0) {
        return CSClient::RESULT_SCE_BUSY;
    }
    secondaryId_.store(secondKey);
    return send(appwire::command(appwire::kCodeRun, {firstKey, secondKey}));
}

CSClient::Result AppProtocol::sendStartSce(unsigned sceId, bool startFlag) {
    if (sceId == 0) {
        return CSClient::RESULT_REJECTED;
    }
    return send(appwire::command(appwire::kCodeStartLoaded, {sceId, startFlag ? 1u : 0u}));
}

CSClient::Result AppProtocol::loadSce(unsigned firstArgument, unsigned secondArgument) {
    if (sceId_.load() != 0) {
        return CSClient::RESULT_SCE_BUSY;
    }
    secondaryId_.store(secondArgument);
    return send(appwire::command(appwire::kCodeLoad, {0, firstArgument}));
}

CSClient::Result AppProtocol::stopSce() {
    if (scenarioMissing(false)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return send(appwire::command(appwire::kCodeStop, {sceId_.load()}));
}

CSClient::Result AppProtocol::setSimulationMode(AppClient::SimulationMode mode) {
    unsigned speed = 0;
    switch (mode) {
        case AppClient::MODE_STOPPED:
            return stopSce();
        case AppClient::MODE_PAUSED:
            return pauseSce(true);
        case AppClient::MODE_RUNNING_1X:
            speed = 1;
            break;
        case AppClient::MODE_RUNNING_4X:
            speed = 4;
            break;
        case AppClient::MODE_RUNNING_8X:
            speed = 8;
            break;
        default:
            return CSClient::RESULT_REJECTED;
    }
    const CSClient::Result resumed = pauseSce(false);
    if (resumed != CSClient::RESULT_OK) {
        return resumed;
    }
    return changeSpeedSce(speed);
}

CSClient::Result AppProtocol::pauseSce(bool pause) {
    if (scenarioMissing(true)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return send(appwire::command(appwire::kCodePause, {sceId_.load(), pause ? 1u : 0u}));
}

CSClient::Result AppProtocol::changeSpeedSce(unsigned speed) {
    if (scenarioMissing(true)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return send(appwire::changeSpeed(sceId_.load(), static_cast<float>(speed)));
}

CSClient::Result AppProtocol::deliverBaby() {
    if (scenarioMissing(true)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return send(appwire::command(appwire::kCodeDelivery, {sceId_.load(), 0, 0}));
}

CSClient::Result AppProtocol::pauseDelivery(bool pause) {
    if (scenarioMissing(true)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return send(appwire::command(appwire::kCodeDelivery, {sceId_.load(), 1, pause ? 1u : 0u}));
}

CSClient::Result AppProtocol::transferToPostpartum() {
    if (scenarioMissing(true)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return send(appwire::command(appwire::kCodeDelivery, {sceId_.load(), 3, 0}));
}

CSClient::Result AppProtocol::administerDrug(const std::string& drug,
                                             AppClient::DrugAdministrationMode mode, float amount) {
    if (scenarioMissing(true)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return send(appwire::administerDrug(sceId_.load(), mode, amount, drug));
}

CSClient::Result AppProtocol::resetDrugConcentration(const std::string& drug) {
    if (scenarioMissing(true)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return send(appwire::resetDrug(sceId_.load(), drug));
}

CSClient::Result AppProtocol::bookmarkPatient(int number) {
    if (scenarioMissing(false)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return send(appwire::bookmark(sceId_.load(), number));
}

CSClient::Result AppProtocol::rewindPatient(int argument) {
    if (scenarioMissing(false)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return send(appwire::command(appwire::kCodeRewind,
                                 {sceId_.load(), static_cast<std::uint32_t>(argument)}));
}

CSClient::Result AppProtocol::savePatient(int argument) {
    if (scenarioMissing(false)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return send(appwire::command(appwire::kCodeSave,
                                 {sceId_.load(), static_cast<std::uint32_t>(argument)}));
}

CSClient::Result AppProtocol::refreshActiveSces() {
    if (!isQuiet()) {
        std::cout << "Refreshing Active Sces..." << std::endl;
    }
    {
        CSMutex::Guard registry(registryLock_);
        clearActiveSce();
    }
    return send(appwire::listRequest());
}

AppClient::ActiveSce AppProtocol::getActiveSce() const {
    CSMutex::Guard registry(registryLock_);
    AppClient::ActiveSce sce;
    if (sceId_.load() != 0) {
        sce.primaryId = primaryId_.load();
        sce.sceId = sceId_.load();
        sce.secondaryId = secondaryId_.load();
        sce.mode = static_cast<AppClient::SimulationMode>(mode_.load());
    }
    return sce;
}

CSClient::Result AppProtocol::eventsSubscribe(EventMode mode, int filter) {
    return send(appwire::eventSubscription(mode, filter));
}

CSClient::Result AppProtocol::sendFlowControlMessage(FlowControlType type) {
    if (type == FLOW_UNSUPPORTED) {
        return CSClient::RESULT_INVALID_ARGUMENT;
    }
    return sendMessage(
        support::toMessage(appwire::flowControl(type), RawMessage::MSG_FLOW_CONTROL));
}

CSClient::Result AppProtocol::sendMonitorRelayCalibrationCommand(unsigned first, unsigned second) {
    return send(appwire::relayCalibration(first, second));
}

void AppProtocol::handeEventScePatientSet(const RawMessage& message) {
    (void)message;
}

CSClient::Result AppProtocol::sendKeepAlive() {
    return sendFlowControlMessage(FLOW_KEEP_ALIVE);
}

CSClient::Result AppProtocol::startKeepAlive() {
    CSMutex::Guard guard(keepAliveLock_);
    if (keepAlive_.isActive() || !keepAlive_.create(&AppProtocol::keepAliveThread, this)) {
        return CSClient::RESULT_COMMS_ERROR;
    }
    return CSClient::RESULT_OK;
}

CSClient::Result AppProtocol::stopKeepAlive() {
    CSMutex::Guard guard(keepAliveLock_);
    // The thread is cancellable only inside its sleep, where it holds no lock,
    // so this waits for at most one keep-alive send in progress.
    keepAlive_.stop();
    return CSClient::RESULT_OK;
}

void* AppProtocol::keepAliveThread(void* engine) {
    auto* self = static_cast<AppProtocol*>(engine);
    for (;;) {
        if (self->getState() == CSClient::STATE_READY) {
            self->sendKeepAlive();
        }
        CSThread::sleep(self->timing_.keepAlivePeriod);
    }
    return nullptr;
}

void AppProtocol::handleListResponse(const RawMessage& message) {
    const appwire::ListResponse list = appwire::decodeListResponse(support::readerOf(message));
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
    const appwire::RunReply reply = appwire::decodeRunReply(support::readerOf(message));
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
    const appwire::LoadReply reply = appwire::decodeLoadReply(support::readerOf(message));
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
    const appwire::StartLoadedReply reply =
        appwire::decodeStartLoadedReply(support::readerOf(message));
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
    const appwire::Event event = appwire::decodeEvent(support::readerOf(message));
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
