#include "client/protocols/SimClient.h"

#include "client/protocols/SimulatorProtocol.h"

namespace com_nax {

SimClient::SimClient(unsigned int simulatorId, unsigned int options)
    : CSClient(options), sim_(new SimulatorProtocol(simulatorId, options)) {
    setProtocol(sim_);
}

SimClient::~SimClient() = default;

unsigned int SimClient::getSimulatorId() const {
    return sim_->getSimulatorId();
}

CSClient::Result SimClient::setSimulatorId(unsigned int id) {
    return sim_->setSimulatorId(id);
}

}  // namespace com_nax
