#include "emulators/sim_server/SimServerEmulator.h"

#include "emulators/sim_server/AppMessages.h"
#include "emulators/sim_server/SimMessages.h"
#include "emulators/sim_server/SimSide.h"

namespace simemu {

SimServerEmulator::SimServerEmulator(EmulatorOptions options) : options_(std::move(options)) {
    defineDefaultPatient(store_);
    sim_ = std::make_unique<SimSide>(store_, recorder_, options_);
    app_ = std::make_unique<AppSide>(store_, recorder_, options_);
}

SimServerEmulator::~SimServerEmulator() {
    stop();
}

bool SimServerEmulator::start() {
    if (running_) {
        return true;
    }
    if (!sim_->endpoint().start(options_.address, options_.simPort)) {
        return false;
    }
    if (!app_->endpoint().start(options_.address, options_.appPort)) {
        sim_->endpoint().stop();
        return false;
    }
    running_ = true;
    if (options_.autoRun) {
        app_->runScenario(1, 1);
    }
    return true;
}

void SimServerEmulator::stop() {
    if (!running_) {
        return;
    }
    sim_->endpoint().stop();
    app_->endpoint().stop();
    running_ = false;
}

std::uint16_t SimServerEmulator::simPort() const {
    return sim_->endpoint().port();
}

std::uint16_t SimServerEmulator::appPort() const {
    return app_->endpoint().port();
}

TcpEndpoint& SimServerEmulator::endpoint(Protocol p) {
    return p == Protocol::Sim ? sim_->endpoint() : app_->endpoint();
}

std::uint32_t SimServerEmulator::runScenario(std::uint32_t firstKey, std::uint32_t secondKey) {
    return app_->runScenario(firstKey, secondKey);
}
std::uint32_t SimServerEmulator::loadScenario(std::uint32_t firstKey) {
    return app_->loadScenario(firstKey);
}
bool SimServerEmulator::startLoaded(bool running) {
    return app_->startLoaded(running);
}
bool SimServerEmulator::stopScenario() {
    return app_->stopScenario();
}
bool SimServerEmulator::pauseScenario(bool pause) {
    return app_->pauseScenario(pause);
}
bool SimServerEmulator::changeSpeed(float speed) {
    return app_->changeSpeed(speed);
}
bool SimServerEmulator::resetScenario() {
    return app_->resetScenario();
}
ScenarioInfo SimServerEmulator::scenario() const {
    return app_->scenario();
}
std::uint64_t SimServerEmulator::waveformSamplesSent() const {
    return app_->waveformSamplesSent();
}

void SimServerEmulator::set(const std::string& name, double value) {
    store_.set(name, value);
}

std::optional<ParamValue> SimServerEmulator::value(const std::string& name) const {
    return store_.get(name);
}

void SimServerEmulator::calibration(int action, int argument) {
    store_.set("HW_PATMON_CALIB_ACTION", action);
    store_.set("HW_PATMON_CALIB_ARG1", argument);
}

Bytes SimServerEmulator::sampleFrame(Protocol p) const {
    ByteWriter w = p == Protocol::Sim ? messageHead(sim::kProtocol, sim::kSubprotocol, 0x0777)
                                      : messageHead(app::kProtocol, app::kSubData, 0x0777);
    w.u32(0).u32(0).u32(0);
    return encodeFrame(kFrameKindData, w.take());
}

void SimServerEmulator::dropConnection(Protocol p) {
    endpoint(p).dropConnection();
}
void SimServerEmulator::closeMidFrame(Protocol p) {
    endpoint(p).closeMidFrame(sampleFrame(p));
}
void SimServerEmulator::sendFrameLength32(Protocol p) {
    endpoint(p).sendFrameLength32();
}
void SimServerEmulator::stallMidFrame(Protocol p) {
    endpoint(p).stallMidFrame(sampleFrame(p));
}

void SimServerEmulator::refuseConnections(Protocol p, std::chrono::milliseconds period) {
    endpoint(p).refuseConnections(period);
}

void SimServerEmulator::sendUnknownCode(Protocol p, std::uint16_t code) {
    if (p == Protocol::Sim) {
        sim_->sendUnknownCode(code);
    } else {
        app_->sendUnknownCode(code);
    }
}

void SimServerEmulator::sendUnknownFrameKind(Protocol p, std::uint32_t frameKind) {
    Bytes payload = p == Protocol::Sim ? sim::bareMessage(0x0003, 0)
                                       : app::bareMessage(app::kSubData, 0x0008, 0);
    sendRaw(p, frameKind, std::move(payload));
}

void SimServerEmulator::sendRaw(Protocol p, std::uint32_t frameKind, Bytes payload) {
    TcpEndpoint& e = endpoint(p);
    e.post([&e, frameKind, payload = std::move(payload)]() mutable {
        e.send(frameKind, std::move(payload));
    });
}

void SimServerEmulator::setVersionReplySimulatorId(int id) {
    sim_->setVersionReplySimulatorId(id);
}

void SimServerEmulator::sendVersionReply(std::uint16_t simulatorId) {
    sim_->sendVersionReply(simulatorId);
}

void SimServerEmulator::muteApp(bool mute) {
    app_->setMute(mute);
}

bool SimServerEmulator::appMuted() const {
    return app_->muted();
}

void SimServerEmulator::sendSimValuesAsFloats(bool on) {
    sim_->setFloatValues(on);
}

bool SimServerEmulator::simValuesAsFloats() const {
    return sim_->floatValues();
}

std::vector<ReceivedMessage> SimServerEmulator::messages() const {
    return recorder_.messages();
}

std::vector<ReceivedMessage> SimServerEmulator::messages(MessageKind k) const {
    return recorder_.messages(k);
}

std::size_t SimServerEmulator::count(MessageKind k) const {
    return recorder_.count(k);
}

void SimServerEmulator::clearMessages() {
    recorder_.clearMessages();
}

std::optional<ReceivedMessage> SimServerEmulator::waitForMessage(
    MessageKind k, std::size_t n, std::chrono::milliseconds timeout) const {
    return recorder_.waitForMessage(k, n, timeout);
}

unsigned SimServerEmulator::connectionCount(Protocol p) const {
    return recorder_.connections(p);
}

bool SimServerEmulator::clientConnected(Protocol p) const {
    return p == Protocol::Sim ? sim_->endpoint().clientConnected()
                              : app_->endpoint().clientConnected();
}

bool SimServerEmulator::waitForConnections(Protocol p, unsigned n,
                                           std::chrono::milliseconds timeout) const {
    return recorder_.waitForConnections(p, n, timeout);
}

bool SimServerEmulator::waitForDisconnections(Protocol p, unsigned n,
                                              std::chrono::milliseconds timeout) const {
    return recorder_.waitForDisconnections(p, n, timeout);
}

std::optional<std::uint32_t> SimServerEmulator::waitForSubscription(
    Protocol p, const std::string& name, std::chrono::milliseconds timeout) const {
    return recorder_.waitForSubscription(p, name, timeout);
}

std::map<std::string, std::uint32_t> SimServerEmulator::subscriptions(Protocol p) const {
    return recorder_.inputs(p);
}

std::map<std::string, std::uint32_t> SimServerEmulator::outputs(Protocol p) const {
    return recorder_.outputs(p);
}

}  // namespace simemu
