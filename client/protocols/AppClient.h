#pragma once

#include <string>
#include <vector>

#include "client/core/CSClient.h"

namespace com_nax {

class AppProtocol;

// Client of the APP connection: the generic client driven by an AppProtocol,
// with scenario commands, override/reset/delta publishing, signals and the
// keep-alive.
class AppClient : public CSClient {
  public:
    enum SimulationMode : unsigned {
        MODE_STOPPED = 0,
        MODE_LOADED = 1,
        MODE_PAUSED = 2,
        MODE_RUNNING_1X = 3,
        MODE_RUNNING_4X = 4,
        MODE_RUNNING_8X = 5,
    };

    // Passed through to the server unchanged.
    using DrugAdministrationMode = unsigned;

    // The active scenario record; sceId 0 means none.
    struct ActiveSce {
        unsigned primaryId = 0;
        unsigned sceId = 0;
        unsigned secondaryId = 0;
        SimulationMode mode = MODE_STOPPED;
    };

    // Scenario notifications on top of the generic callbacks. They reach only
    // callback objects of this class; every default does nothing.
    class Callback : public CSClient::CallbackIface {
      public:
        virtual void sceStarted(unsigned sceId, unsigned firstKey, unsigned secondKey,
                                CSClient::Result result) {
            (void)sceId, (void)firstKey, (void)secondKey, (void)result;
        }
        virtual void sceLoaded(unsigned sceId, unsigned firstKey, unsigned secondKey) {
            (void)sceId, (void)firstKey, (void)secondKey;
        }
        virtual void sceStopped(unsigned sceId, unsigned firstKey, unsigned secondKey,
                                CSClient::Result result) {
            (void)sceId, (void)firstKey, (void)secondKey, (void)result;
        }
        virtual void sceReset(unsigned sceId, unsigned firstKey, unsigned secondKey,
                              CSClient::Result result) {
            (void)sceId, (void)firstKey, (void)secondKey, (void)result;
        }
        virtual void sceModeChanged(unsigned sceId, SimulationMode mode, CSClient::Result result) {
            (void)sceId, (void)mode, (void)result;
        }
        virtual void sceActiveRefresh() {}
    };

    explicit AppClient(unsigned int options);
    ~AppClient() override;

    // Keep-alive: a flow-control message every CSTimings::keepAlivePeriod (3 s)
    // while ready.
    Result startKeepAlive();
    Result stopKeepAlive();
    Result sendKeepAlive();

    Result publishOverrideParameter(const Parameter& parameter);
    Result publishOverrideParameters(const Parameter* parameters, unsigned count);
    Result publishOverrideParameters(const std::vector<Parameter>& parameters);
    Result resetOverrideParameter(const Parameter& parameter);
    Result resetOverrideParameters(const Parameter* parameters, unsigned count);
    Result resetOverrideParameters(const std::vector<Parameter>& parameters);
    Result publishDeltaParameter(const Parameter& parameter);
    Result publishDeltaParameters(const Parameter* parameters, unsigned count);
    Result publishDeltaParameters(const std::vector<Parameter>& parameters);
    Result sendSignalParameter(const Parameter& parameter, unsigned int signalArgument);

    Result loadSce(unsigned firstArgument, unsigned secondArgument);
    Result startSce(unsigned firstKey, unsigned secondKey);
    Result startSce(unsigned firstKey, unsigned secondKey, bool startFlag);
    Result stopSce();
    Result bookmarkPatient(int number);
    Result rewindPatient(int argument);
    Result savePatient(int argument);
    Result deliverBaby();
    Result pauseDelivery(bool pause);
    Result transferToPostpartum();
    Result administerDrug(const std::string& drug, DrugAdministrationMode mode, float amount);
    Result resetDrugConcentration(const std::string& drug);
    Result setSimulationMode(SimulationMode mode);
    ActiveSce getActiveSce() const;
    Result refreshActiveSces();
    Result sendMonitorRelayCalibrationCommand(unsigned first, unsigned second);

  private:
    Result publishWithMode(const Parameter* parameters, unsigned count, unsigned mode);
    // An empty list publishes nothing and succeeds.
    Result publishWithMode(const std::vector<Parameter>& parameters, unsigned mode);

    AppProtocol* app_;  // owned by the base as its engine
};

}  // namespace com_nax
