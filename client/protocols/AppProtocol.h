#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "client/core/CSClientProtocol.h"
#include "client/protocols/AppClient.h"

namespace com_nax {

// Engine of the APP connection: flow-control start-up, scenario-scoped
// registrations and values, scenario commands and events, keep-alive.
class AppProtocol : public CSClientProtocol {
  public:
    enum FlowControlType : unsigned {
        FLOW_START = 0,
        FLOW_UNSUPPORTED = 1,  // never sent
        FLOW_TYPE_2 = 2,
        FLOW_KEEP_ALIVE = 3,
    };

    // Event subscription selector, sent as is; 0 subscribes to all events.
    using EventMode = unsigned;
    static constexpr EventMode EVENTS_ALL = 0;

    explicit AppProtocol(unsigned int options);
    // Stops the keep-alive thread, then the engine base closes down.
    ~AppProtocol() override;

    void handleReceivedMessage(const RawMessage& message) override;
    void handleConnectionStateChange(CSClient::State previous, CSClient::State current) override;

    // Sends every registration again for the active scenario (none: nothing).
    void registerAllParameters();

    CSClient::Result requestSimulatorVersion() override;
    CSClient::Result sendInputSubscriptionRequest(
        const std::vector<InputParameterEntry*>& entries) override REQUIRES(registryLock_);
    CSClient::Result sendInputUnsubscriptionRequest(
        const std::vector<InputParameterEntry*>& entries) override EXCLUDES(registryLock_);
    CSClient::Result sendOutputSubscriptionRequest(
        const std::vector<OutputParameterEntry*>& entries) override REQUIRES(registryLock_);
    CSClient::Result sendOutputUnsubscriptionRequest(
        const std::vector<OutputParameterEntry*>& entries) override EXCLUDES(registryLock_);
    CSClient::Result sendParameterPublishRequest(const std::vector<OutputParameterEntry*>& entries,
                                                 PublishMode mode) override REQUIRES(registryLock_);
    CSClient::Result publishSignalParameter(const CSClient::Parameter& parameter,
                                            unsigned int signalArgument);

    // Scenario commands.
    CSClient::Result startSce(unsigned firstKey, unsigned secondKey, bool startFlag);
    CSClient::Result sendStartSce(unsigned sceId, bool startFlag);
    CSClient::Result loadSce(unsigned firstArgument, unsigned secondArgument);
    CSClient::Result stopSce();
    CSClient::Result setSimulationMode(AppClient::SimulationMode mode);
    CSClient::Result pauseSce(bool pause);
    CSClient::Result changeSpeedSce(unsigned speed);
    CSClient::Result deliverBaby();
    CSClient::Result transferToPostpartum();
    CSClient::Result pauseDelivery(bool pause);
    CSClient::Result administerDrug(const std::string& drug, AppClient::DrugAdministrationMode mode,
                                    float amount);
    CSClient::Result resetDrugConcentration(const std::string& drug);
    CSClient::Result bookmarkPatient(int number);
    CSClient::Result rewindPatient(int argument);
    CSClient::Result savePatient(int argument);
    CSClient::Result refreshActiveSces();
    AppClient::ActiveSce getActiveSce() const;
    CSClient::Result eventsSubscribe(EventMode mode, int filter);
    CSClient::Result sendFlowControlMessage(FlowControlType type);
    CSClient::Result sendMonitorRelayCalibrationCommand(unsigned first, unsigned second);
    // Kept for the server's patient-set event, which is not dispatched.
    void handeEventScePatientSet(const RawMessage& message);

    // Keep-alive. The thread can only be stopped while it sleeps, where it holds
    // no lock; stopKeepAlive waits at most for one send in progress.
    CSClient::Result startKeepAlive() EXCLUDES(keepAliveLock_, stateLock_, registryLock_);
    CSClient::Result stopKeepAlive() EXCLUDES(keepAliveLock_, stateLock_, registryLock_);
    CSClient::Result sendKeepAlive();

  protected:
    const char* connectionName() const override { return "APP server"; }

  private:
    static void* keepAliveThread(void* engine);

    // Both subscription requests: none for no entries, split in halves when too
    // large, held back without a scenario, else `build(sce, entries)` is sent.
    template <typename Entry, typename Build>
    CSClient::Result sendSubscription(const std::vector<Entry*>& entries, const char* splitText,
                                      Build build) REQUIRES(registryLock_);
    // Both unsubscription requests: none for no ids, `withoutSce` without a
    // scenario; `what` goes on the progress line between the count and the id.
    CSClient::Result sendUnregistration(std::uint16_t code,
                                        const std::vector<std::uint32_t>& serverIds,
                                        CSClient::Result withoutSce, const char* what);

    void handleListResponse(const RawMessage& message);
    // Whether a registration reply is of the active scenario.
    bool ofActiveSce(const ByteReader& reply) const;
    void handleInputReply(const RawMessage& message);
    void handleOutputReply(const RawMessage& message);
    void handlePatientUpdate(const RawMessage& message);
    void handleVersionReply(const RawMessage& message);
    void handleRunReply(const RawMessage& message);
    void handleLoadReply(const RawMessage& message);
    void handleStartLoadedReply(const RawMessage& message);
    void handleEvent(const RawMessage& message);
    void handleFlowControl(const RawMessage& message);

    // Moves a connection still in STATE_CONNECTED to STATE_READY.
    void becomeReady();
    bool registrationsWaiting() const;
    // False from each new connection until its first scenario list arrived.
    std::atomic<bool> listSinceConnect_{false};
    // RESULT_NO_ACTIVE_SCE without a scenario or, with `notWhileLoaded`, while loaded.
    bool scenarioMissing(bool notWhileLoaded) const;
    std::vector<AppClient::Callback*> appCallbacks() const;
    void clearActiveSce();

    // The active scenario record. Single words are read and written from the
    // receive thread, the application threads and the registry hooks (which run
    // with the registry lock held), so each word is atomic; refreshActiveSces,
    // getActiveSce and the stopped event also hold registryLock_ around the record.
    std::atomic<unsigned> primaryId_{0};
    std::atomic<unsigned> sceId_{0};
    std::atomic<unsigned> secondaryId_{0};
    std::atomic<unsigned> mode_{AppClient::MODE_STOPPED};

    // Guards keepAlive_ against concurrent start and stop; no engine lock is held
    // when taking it, and none is taken while holding it.
    CSMutex keepAliveLock_;
    CSThread keepAlive_ GUARDED_BY(keepAliveLock_);
};

}  // namespace com_nax
