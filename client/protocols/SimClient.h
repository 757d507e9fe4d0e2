#pragma once

#include "client/core/CSClient.h"

namespace com_nax {

class SimulatorProtocol;

// Client of the SIM connection: the generic client driven by a SimulatorProtocol.
class SimClient : public CSClient {
  public:
    // Applications derive their SIM callback from this class.
    class Callback : public CSClient::CallbackIface {};

    SimClient(unsigned int simulatorId, unsigned int options);
    ~SimClient() override;

    unsigned int getSimulatorId() const;
    // Ids above 0x7FFF are refused with RESULT_INVALID_ARGUMENT.
    Result setSimulatorId(unsigned int id);

  private:
    SimulatorProtocol* sim_;  // owned by the base as its engine
};

}  // namespace com_nax
