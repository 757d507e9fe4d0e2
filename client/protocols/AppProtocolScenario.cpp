// Scenario side of the APP engine: the active scenario record, scenario
// commands, flow control and the keep-alive thread.

#include <iostream>

#include "client/protocols/AppProtocol.h"
#include "client/protocols/AppWire.h"
#include "client/protocols/ProtocolWire.h"

namespace com_nax {

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
    return sendPayload(appwire::command(appwire::kCodeRun, {firstKey, secondKey}));
}

CSClient::Result AppProtocol::sendStartSce(unsigned sceId, bool startFlag) {
    if (sceId == 0) {
        return CSClient::RESULT_REJECTED;
    }
    return sendPayload(appwire::command(appwire::kCodeStartLoaded, {sceId, startFlag ? 1u : 0u}));
}

CSClient::Result AppProtocol::loadSce(unsigned firstArgument, unsigned secondArgument) {
    if (sceId_.load() != 0) {
        return CSClient::RESULT_SCE_BUSY;
    }
    secondaryId_.store(secondArgument);
    return sendPayload(appwire::command(appwire::kCodeLoad, {0, firstArgument}));
}

CSClient::Result AppProtocol::stopSce() {
    if (scenarioMissing(false)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return sendPayload(appwire::command(appwire::kCodeStop, {sceId_.load()}));
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
    return sendPayload(appwire::command(appwire::kCodePause, {sceId_.load(), pause ? 1u : 0u}));
}

CSClient::Result AppProtocol::changeSpeedSce(unsigned speed) {
    if (scenarioMissing(true)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return sendPayload(appwire::changeSpeed(sceId_.load(), static_cast<float>(speed)));
}

CSClient::Result AppProtocol::deliverBaby() {
    if (scenarioMissing(true)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return sendPayload(appwire::command(appwire::kCodeDelivery, {sceId_.load(), 0, 0}));
}

CSClient::Result AppProtocol::pauseDelivery(bool pause) {
    if (scenarioMissing(true)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return sendPayload(
        appwire::command(appwire::kCodeDelivery, {sceId_.load(), 1, pause ? 1u : 0u}));
}

CSClient::Result AppProtocol::transferToPostpartum() {
    if (scenarioMissing(true)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return sendPayload(appwire::command(appwire::kCodeDelivery, {sceId_.load(), 3, 0}));
}

CSClient::Result AppProtocol::administerDrug(const std::string& drug,
                                             AppClient::DrugAdministrationMode mode, float amount) {
    if (scenarioMissing(true)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return sendPayload(appwire::administerDrug(sceId_.load(), mode, amount, drug));
}

CSClient::Result AppProtocol::resetDrugConcentration(const std::string& drug) {
    if (scenarioMissing(true)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return sendPayload(appwire::resetDrug(sceId_.load(), drug));
}

CSClient::Result AppProtocol::bookmarkPatient(int number) {
    if (scenarioMissing(false)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return sendPayload(appwire::bookmark(sceId_.load(), number));
}

CSClient::Result AppProtocol::rewindPatient(int argument) {
    if (scenarioMissing(false)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return sendPayload(appwire::command(appwire::kCodeRewind,
                                        {sceId_.load(), static_cast<std::uint32_t>(argument)}));
}

CSClient::Result AppProtocol::savePatient(int argument) {
    if (scenarioMissing(false)) {
        return CSClient::RESULT_NO_ACTIVE_SCE;
    }
    return sendPayload(appwire::command(appwire::kCodeSave,
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
    return sendPayload(appwire::listRequest());
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
    return sendPayload(appwire::eventSubscription(mode, filter));
}

CSClient::Result AppProtocol::sendFlowControlMessage(FlowControlType type) {
    if (type == FLOW_UNSUPPORTED) {
        return CSClient::RESULT_INVALID_ARGUMENT;
    }
    return sendPayload(appwire::flowControl(type), RawMessage::MSG_FLOW_CONTROL);
}

CSClient::Result AppProtocol::sendMonitorRelayCalibrationCommand(unsigned first, unsigned second) {
    return sendPayload(appwire::relayCalibration(first, second));
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
        CSThread::sleep(self->getTimings().keepAlivePeriod);
    }
    return nullptr;
}

}  // namespace com_nax
