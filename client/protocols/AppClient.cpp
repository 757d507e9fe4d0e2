#include "client/protocols/AppClient.h"

#include "client/protocols/AppProtocol.h"

namespace com_nax {

AppClient::AppClient(unsigned int options) : CSClient(options), app_(new AppProtocol(options)) {
    setProtocol(app_);
}

AppClient::~AppClient() {
    // The keep-alive thread uses the engine: end it before the base closes down.
    app_->stopKeepAlive();
}

CSClient::Result AppClient::startKeepAlive() {
    return app_->startKeepAlive();
}
CSClient::Result AppClient::stopKeepAlive() {
    return app_->stopKeepAlive();
}
CSClient::Result AppClient::sendKeepAlive() {
    return app_->sendKeepAlive();
}

CSClient::Result AppClient::publishWithMode(const Parameter* parameters, unsigned count,
                                            unsigned mode) {
    return app_->publishParameters(parameters, count,
                                   static_cast<CSClientProtocol::PublishMode>(mode));
}

CSClient::Result AppClient::publishWithMode(const std::vector<Parameter>& parameters,
                                            unsigned mode) {
    if (parameters.empty()) {
        return RESULT_OK;
    }
    return publishWithMode(parameters.data(), static_cast<unsigned>(parameters.size()), mode);
}

CSClient::Result AppClient::publishOverrideParameter(const Parameter& parameter) {
    return publishWithMode(&parameter, 1, CSClientProtocol::PUBLISH_OVERRIDE);
}
CSClient::Result AppClient::publishOverrideParameters(const Parameter* parameters, unsigned count) {
    return publishWithMode(parameters, count, CSClientProtocol::PUBLISH_OVERRIDE);
}
CSClient::Result AppClient::publishOverrideParameters(const std::vector<Parameter>& parameters) {
    return publishWithMode(parameters, CSClientProtocol::PUBLISH_OVERRIDE);
}

CSClient::Result AppClient::resetOverrideParameter(const Parameter& parameter) {
    return publishWithMode(&parameter, 1, CSClientProtocol::PUBLISH_RESET_OVERRIDE);
}
CSClient::Result AppClient::resetOverrideParameters(const Parameter* parameters, unsigned count) {
    return publishWithMode(parameters, count, CSClientProtocol::PUBLISH_RESET_OVERRIDE);
}
CSClient::Result AppClient::resetOverrideParameters(const std::vector<Parameter>& parameters) {
    return publishWithMode(parameters, CSClientProtocol::PUBLISH_RESET_OVERRIDE);
}

CSClient::Result AppClient::publishDeltaParameter(const Parameter& parameter) {
    return publishWithMode(&parameter, 1, CSClientProtocol::PUBLISH_DELTA);
}
CSClient::Result AppClient::publishDeltaParameters(const Parameter* parameters, unsigned count) {
    return publishWithMode(parameters, count, CSClientProtocol::PUBLISH_DELTA);
}
CSClient::Result AppClient::publishDeltaParameters(const std::vector<Parameter>& parameters) {
    return publishWithMode(parameters, CSClientProtocol::PUBLISH_DELTA);
}

CSClient::Result AppClient::sendSignalParameter(const Parameter& parameter,
                                                unsigned int signalArgument) {
    return app_->publishSignalParameter(parameter, signalArgument);
}

CSClient::Result AppClient::loadSce(unsigned firstArgument, unsigned secondArgument) {
    return app_->loadSce(firstArgument, secondArgument);
}
CSClient::Result AppClient::startSce(unsigned firstKey, unsigned secondKey) {
    return app_->startSce(firstKey, secondKey, true);
}
CSClient::Result AppClient::startSce(unsigned firstKey, unsigned secondKey, bool startFlag) {
    return app_->startSce(firstKey, secondKey, startFlag);
}
CSClient::Result AppClient::stopSce() {
    return app_->stopSce();
}
CSClient::Result AppClient::bookmarkPatient(int number) {
    return app_->bookmarkPatient(number);
}
CSClient::Result AppClient::rewindPatient(int argument) {
    return app_->rewindPatient(argument);
}
CSClient::Result AppClient::savePatient(int argument) {
    return app_->savePatient(argument);
}
CSClient::Result AppClient::deliverBaby() {
    return app_->deliverBaby();
}
CSClient::Result AppClient::pauseDelivery(bool pause) {
    return app_->pauseDelivery(pause);
}
CSClient::Result AppClient::transferToPostpartum() {
    return app_->transferToPostpartum();
}
CSClient::Result AppClient::administerDrug(const std::string& drug, DrugAdministrationMode mode,
                                           float amount) {
    return app_->administerDrug(drug, mode, amount);
}
CSClient::Result AppClient::resetDrugConcentration(const std::string& drug) {
    return app_->resetDrugConcentration(drug);
}
CSClient::Result AppClient::setSimulationMode(SimulationMode mode) {
    return app_->setSimulationMode(mode);
}
AppClient::ActiveSce AppClient::getActiveSce() const {
    return app_->getActiveSce();
}
CSClient::Result AppClient::refreshActiveSces() {
    return app_->refreshActiveSces();
}
CSClient::Result AppClient::sendMonitorRelayCalibrationCommand(unsigned first, unsigned second) {
    return app_->sendMonitorRelayCalibrationCommand(first, second);
}

}  // namespace com_nax
