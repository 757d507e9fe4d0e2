#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "client/core/ByteCodec.h"
#include "client/core/CSClient.h"
#include "client/core/CSCommsInterfaceTCP.h"
#include "client/core/CSMutex.h"
#include "client/core/CSOptions.h"
#include "client/core/CSThread.h"
#include "client/core/CSTimings.h"
#include "client/core/RawMessage.h"
#include "client/core/ReceivedValue.h"
#include "client/core/RegistryRecords.h"

namespace com_nax {

// Abstract engine of one server connection: state machine, receive thread,
// framing, automatic reconnection, callback fan-out and the parameter registry.
// Derived protocols decode messages and build the requests.
//
// Lock order: stateLock_, then callbackLock_ or registryLock_, then the
// transport's locks. All are non-recursive.
class CSClientProtocol {
  public:
    enum PublishMode : unsigned {
        PUBLISH_NORMAL = 0,
        PUBLISH_OVERRIDE = 2,
        PUBLISH_RESET_OVERRIDE = 3,
        PUBLISH_DELTA = 0x10000,
    };

    static constexpr unsigned OPTION_AUTO_RECONNECT = com_nax::OPTION_AUTO_RECONNECT;
    static constexpr unsigned OPTION_QUIET = com_nax::OPTION_QUIET;
    static constexpr unsigned OPTION_PUBLISH_NO_LOG = com_nax::OPTION_PUBLISH_NO_LOG;

    static constexpr uint32_t UNASSIGNED_ID = kUnassignedServerId;
    // Ids travel in 32-byte zero-padded fields: 32 characters or more are refused.
    static constexpr unsigned MAX_PARAMETER_ID_LENGTH = 32;

    using InputParameterEntry = com_nax::InputParameterEntry;
    using OutputParameterEntry = com_nax::OutputParameterEntry;
    template <typename Entry>
    using ConfirmedIds = com_nax::ConfirmedIds<Entry>;

    explicit CSClientProtocol(unsigned options);
    // Empties the registry and deletes the transport. A receive thread still running
    // is stopped first (close requested, then joined).
    virtual ~CSClientProtocol();

    CSClientProtocol(const CSClientProtocol&) = delete;
    CSClientProtocol& operator=(const CSClientProtocol&) = delete;

    // Slot 2: decodes one received payload, on the receive thread.
    virtual void handleReceivedMessage(const RawMessage& message) = 0;
    // Slot 3: called by setState after the callbacks, state lock usually held.
    virtual void handleConnectionStateChange(CSClient::State previous, CSClient::State current);
    // Slots 4, 5: registry.
    virtual CSClient::Result registerInputParameters(const CSClient::InputDef* defs,
                                                     unsigned count);
    virtual CSClient::Result unregisterInputParameters(const std::vector<std::string>& ids);
    // Slot 6: the protocol's version request.
    virtual CSClient::Result requestSimulatorVersion() = 0;
    // Slots 7 to 11: request builders. The subscription and publish hooks run with
    // registryLock_ held (do not take it again); the unsubscription hooks without.
    virtual CSClient::Result sendInputSubscriptionRequest(
        const std::vector<InputParameterEntry*>& entries) REQUIRES(registryLock_) = 0;
    virtual CSClient::Result sendInputUnsubscriptionRequest(
        const std::vector<InputParameterEntry*>& entries) EXCLUDES(registryLock_) = 0;
    virtual CSClient::Result sendOutputSubscriptionRequest(
        const std::vector<OutputParameterEntry*>& entries) REQUIRES(registryLock_) = 0;
    virtual CSClient::Result sendOutputUnsubscriptionRequest(
        const std::vector<OutputParameterEntry*>& entries) EXCLUDES(registryLock_) = 0;
    virtual CSClient::Result sendParameterPublishRequest(
        const std::vector<OutputParameterEntry*>& entries, PublishMode mode)
        REQUIRES(registryLock_) = 0;

    // Options word.
    unsigned getOptions() const { return options_; }
    bool hasOptions(unsigned mask) const { return (options_ & mask) == mask; }
    // Also quiet while a server keeps closing connections as soon as it accepts
    // them: those cycles are counted and reported once a minute instead.
    bool isQuiet() const { return hasOptions(OPTION_QUIET) || closingAtOnce_.load(); }

    // Connection.
    CSClient::State getState() const { return state_.load(); }
    CSClient::Result openConnection(unsigned address, unsigned port,
                                    const CSClient::ConnectionOptions* options);
    // Reaction to a lost or failed connection: reconnect or close by the options.
    // Safe on a thread that already holds stateLock_ or registryLock_ (see .cpp).
    void closeConnection();
    // Requested close; the receive thread finishes it.
    void forceCloseConnection();
    // Frames and writes one message; any thread.
    CSClient::Result sendMessage(const RawMessage& message);
    bool changeCommsInterface(CSCommsInterfaceTCP* transport);

    std::string getServerIPAddress() const;
    unsigned getServerPort() const { return serverPort_.load(); }
    std::string getServerVersion() const EXCLUDES(infoLock_);
    unsigned getProtocolVersion() const { return protocolVersion_.load(); }

    // Timings (tests shorten them); set while disconnected.
    void setTimings(const CSTimings& timings) EXCLUDES(infoLock_);
    CSTimings getTimings() const EXCLUDES(infoLock_);

    // Callback set, ordered by pointer value.
    bool addCallbackInterface(CSClient::CallbackIface* callback);
    void removeCallbackInterface(CSClient::CallbackIface* callback);
    bool hasCallbackInterface(CSClient::CallbackIface* callback) const;
    unsigned getNumCallbackInterfaces() const;
    void getCallbackInterfaces(std::set<CSClient::CallbackIface*>& out) const;

    // Registry.
    CSClient::Result registerOutputParameters(const CSClient::OutputDef* defs, unsigned count);
    CSClient::Result unregisterOutputParameters(const std::vector<std::string>& ids);
    CSClient::Result unregisterAllInputParameters();
    CSClient::Result unregisterAllOutputParameters();
    void unregisterAllLocalParameters();
    void reregisterAllInputParameters();
    void reregisterAllOutputParameters();
    CSClient::Result publishParameters(const CSClient::Parameter* params, unsigned count,
                                       PublishMode mode);
    bool hasInputParameter(const std::string& id, bool confirmedOnly) const;
    bool hasOutputParameter(const std::string& id, bool confirmedOnly) const;
    unsigned getNumberOfInputParameters(bool confirmedOnly) const;
    unsigned getNumberOfOutputParameters(bool confirmedOnly) const;
    unsigned getNumberOfInputParametersWaitingForConfirmation() const;
    unsigned getNumberOfOutputParametersWaitingForConfirmation() const;
    bool findPublishedParameter(const std::string& id, CSClient::Parameter& out) const;
    void getAllPublishedParameters(std::vector<CSClient::Parameter>& out) const;

  protected:
    // State change with notifications: callbacks from a copy of the set, then
    // handleConnectionStateChange. Callers normally hold stateLock_.
    void setState(CSClient::State state);

    // Receive thread and its steps.
    static void* mainThread(void* engine);
    CSClient::Result startConnection();
    // Receives and hands on the frames of one receive (or gives up a frame).
    void receiveMessage();

    // What handleFrames did with a run of received bytes.
    struct FrameScan {
        unsigned consumed = 0;     // bytes of the whole frames handed on
        unsigned wanted = 0;       // bytes the next frame needs, its header included
        bool invalid = false;      // the next header is unusable: close
        uint32_t frameLength = 0;  // announced by that invalid header
    };
    // Hands every whole frame at the front of `data` to handleReceivedMessage,
    // stopping early when the connection is no longer being read. No socket is
    // involved, so that the receive path can be driven from a byte buffer.
    FrameScan handleFrames(const unsigned char* data, unsigned size);

    // Names the connection in the line that gives up a connection never made ready.
    virtual const char* connectionName() const { return "Server"; }

    // For the protocols' reply handlers.
    void setServerVersion(const std::string& version) EXCLUDES(infoLock_);
    // The "Found server version" progress line, unless quiet; the text is the peer's.
    void reportServerVersion(const std::string& version) const;
    void setProtocolVersion(unsigned version) { protocolVersion_.store(version); }
    // Parameter built from an output entry as findPublishedParameter does.
    static CSClient::Parameter parameterFromEntry(const OutputParameterEntry& entry);
    // The type and length checks of a parameter named by the application; false
    // (after the console line) refuses it.
    static bool acceptableParameter(const CSClient::Parameter& parameter);

    // Sends a payload built by a protocol's codec; the bytes are moved, not copied.
    CSClient::Result sendPayload(Bytes payload, RawMessage::Type type = RawMessage::MSG_DATA);
    // The same for a registration or value that can wait: "not connected" counts
    // as accepted, since they all go out again when the protocol becomes ready.
    CSClient::Result sendQueued(Bytes payload);

    // Calls `call(callback)` on every callback, from a copy of the set taken under
    // callbackLock_, so that a callback may add or remove callbacks. The copy is
    // kept on the stack: this runs for every received update.
    template <typename Call>
    void forEachCallback(Call call) const {
        CallbackSnapshot snapshot;
        snapshotCallbacks(snapshot);
        for (std::size_t i = 0; i < snapshot.count; ++i) {
            call(snapshot.at(i));
        }
    }

    // A server's confirmation of inputs: each record (`name`, `serverId`) of a
    // registered input confirms it under that id, `valueOf(record)` giving its
    // current value; then every callback gets registrationComplete and
    // parametersUpdated, also with empty lists. `successText` begins the
    // progress line, which goes on with the name and the id.
    template <typename Records, typename ValueOf>
    void confirmInputs(const Records& records, const char* successText, ValueOf valueOf);

    // The same for outputs (unknown names are logged): registrationComplete on
    // every callback, then the confirmed outputs that hold a value are published
    // again (see republishOutputs for `splitOverride`).
    template <typename Records>
    void confirmOutputs(const Records& records, const char* successText, bool splitOverride);

    // Values of confirmed inputs from a server update. `forEachRecord(visit)`
    // calls visit(serverId, ReceivedValue) for each of about `expected` records;
    // records of unknown ids are dropped, and parametersUpdated goes to every
    // callback when at least one value is left.
    template <typename ForEachRecord>
    void deliverValues(std::size_t expected, bool override, ForEachRecord forEachRecord);

    // Publishes again the outputs among `ids` that still hold a value. Takes
    // registryLock_ (not held by the caller) around the publish hook. With
    // `splitOverride` overridden values go out apart as PUBLISH_OVERRIDE, and an
    // empty group is not sent; otherwise all go out at once as PUBLISH_NORMAL.
    void republishOutputs(const std::vector<std::string>& ids, bool splitOverride)
        EXCLUDES(registryLock_);

    // Fields, read and written by the derived protocols.
    std::atomic<unsigned> serverAddress_{0};  // octet value; 0 when none
    std::atomic<unsigned> serverPort_{0};     // 0 when none
    const unsigned options_;
    CSClient::ConnectionOptions connectionOptions_ GUARDED_BY(stateLock_);
    std::atomic<unsigned> protocolVersion_{0};

    // Serialises state transitions that open, start or close the connection, and
    // the swap of the transport. Taken first of all engine locks.
    CSMutex stateLock_ ACQUIRED_BEFORE(callbackLock_, registryLock_);
    // Guards callbacks_. May be taken with stateLock_ held; held only for copying.
    mutable CSMutex callbackLock_;
    // Counts the changes of callbacks_ (made under callbackLock_).
    std::atomic<unsigned> callbacksVersion_{0};
    // Guards the four registry maps and every entry field. May be taken with
    // stateLock_ held, never the reverse.
    mutable CSMutex registryLock_;

    std::atomic<CSClient::State> state_{CSClient::STATE_DISCONNECTED};
    CSCommsInterfaceTCP* transport_ = nullptr;  // owned
    CSThread receiveThread_;                    // used under stateLock_
    std::set<CSClient::CallbackIface*> callbacks_ GUARDED_BY(callbackLock_);

    // Registry.
    std::map<std::string, InputParameterEntry*> inputs_ GUARDED_BY(registryLock_);  // owned
    // Confirmed entries by server id, hashed: every update record looks one up.
    ConfirmedIds<InputParameterEntry> confirmedInputs_ GUARDED_BY(registryLock_);     // not owned
    std::map<std::string, OutputParameterEntry*> outputs_ GUARDED_BY(registryLock_);  // owned
    ConfirmedIds<OutputParameterEntry> confirmedOutputs_ GUARDED_BY(registryLock_);   // not owned

    // Closes the connection and joins the receive thread. A derived protocol whose
    // engine may be destroyed while connected calls it first in its destructor, so
    // that the thread never runs a handler of a half-destroyed object.
    void stopReceiveThread();

  private:
    // A copy of the callback set that needs no heap for the usual few callbacks.
    struct CallbackSnapshot {
        static constexpr std::size_t kInline = 8;
        CSClient::CallbackIface* inline_[kInline] = {};
        std::vector<CSClient::CallbackIface*> more;
        std::size_t count = 0;
        CSClient::CallbackIface* at(std::size_t i) const {
            return i < kInline ? inline_[i] : more[i - kInline];
        }
    };
    void snapshotCallbacks(CallbackSnapshot& out) const;

    struct InputConfirmations {
        std::vector<CSClient::InputDef> inputs;
        std::vector<CSClient::Parameter> initial;
        void reserve(std::size_t n) {
            inputs.reserve(n);
            initial.reserve(n);
        }
    };
    struct OutputConfirmations {
        std::vector<CSClient::OutputDef> outputs;
        std::vector<std::string> republish;  // confirmed ids holding a value
        void reserve(std::size_t n) { outputs.reserve(n); }
    };
    // One record of a confirmation, registryLock_ held; unknown names are skipped.
    void confirmInputLocked(const std::string& name, uint32_t serverId, const ReceivedValue& value,
                            const char* successText, InputConfirmations& done)
        REQUIRES(registryLock_);
    void confirmOutputLocked(const std::string& name, uint32_t serverId, const char* successText,
                             OutputConfirmations& done) REQUIRES(registryLock_);
    // The update being delivered, kept for the next one (see UpdateScratch),
    // and the copy of the callback set it goes to with the set's version; used
    // only by the thread that handles received messages.
    UpdateScratch update_;
    CallbackSnapshot updateCallbacks_;
    unsigned updateCallbacksVersion_ = ~0u;

    // The confirmed input of `serverId` (nullptr when none), recorded as the
    // `record`-th record's; registryLock_ held.
    const InputParameterEntry* lookUpLocked(std::size_t record, uint32_t serverId)
        REQUIRES(registryLock_);
    // The `record`-th record of an update as deliverValues takes it when it
    // is not the one of last time: looked up again and set as values[count],
    // for an entry that exists. Gives the count of values after it;
    // registryLock_ held.
    std::size_t deliverRecordLocked(std::size_t record, uint32_t serverId,
                                    const ReceivedValue& value, bool override, std::size_t count)
        REQUIRES(registryLock_);

    // Sleeps the reconnection pause.
    void pauseBeforeReconnecting() const;
    // Transitions of closeConnection with stateLock_ held; true when the caller
    // should pause before the next attempt.
    bool closeConnectionLocked() REQUIRES(stateLock_);
    void closeConnectionFor(unsigned generation);
    // From an open or opening `state` to STATE_DISCONNECTING, forgetting the
    // server's address; other states are left alone. stateLock_ held.
    void beginDisconnectLocked(CSClient::State state) REQUIRES(stateLock_);
    // Closes the transport and enters STATE_DISCONNECTED; stateLock_ held.
    void finishCloseLocked() REQUIRES(stateLock_);
    // Whether the current connection has been connected, not ready, for longer
    // than the ready timeout; and the console line and close that follow.
    bool readyOverdue() const;
    void giveUpNotReady();

    // Guards serverVersion_ and timings_; taken with any other engine lock held,
    // nothing is taken while holding it.
    mutable CSMutex infoLock_ ACQUIRED_AFTER(stateLock_, callbackLock_, registryLock_);
    std::string serverVersion_ GUARDED_BY(infoLock_) = "UNKNOWN";
    CSTimings timings_ GUARDED_BY(infoLock_);

    // A failed write on a thread that held stateLock_ or registryLock_ leaves the
    // close to the receive thread; the number is the connection it failed on.
    std::atomic<unsigned> connectionGeneration_{0};
    std::atomic<unsigned> pendingCloseGeneration_{0};
    std::atomic<bool> pendingClose_{false};
    // The reconnection pause of a close made with stateLock_ held, taken by the
    // receive thread before its next attempt.
    std::atomic<bool> reconnectPauseDue_{false};
    // The payload handed on, reused from frame to frame; used on the receive
    // thread only (or by whoever drives the steps without one).
    static constexpr unsigned kKeptPayloadCapacity = 64u * 1024u;
    RawMessage rxPayload_;
    // When the first byte of the frame still incomplete was seen; a frame has
    // the stall limit from there. Receive thread only.
    bool rxFrameStarted_ = false;
    std::chrono::steady_clock::time_point rxFrameStart_{};
    // When the current connection was made; used on the receive thread only.
    std::chrono::steady_clock::time_point connectedAt_{};
    // Said once: the server unreachable (until reached again), and connections
    // the server closes within kClosedAtOnce of accepting them (counted, said
    // once a minute). Receive thread only; closingAtOnce_ is read by isQuiet().
    static constexpr std::chrono::seconds kClosedAtOnce{5};
    void reportReachable(bool reached);
    void reportClosedAtOnce();
    bool unreachableReported_ = false;
    std::atomic<bool> closingAtOnce_{false};
    unsigned closedAtOnce_ = 0;
    std::chrono::steady_clock::time_point closedAtOnceSince_{};
};

}  // namespace com_nax

// The bodies of the engine's templates that run for every server reply.
#include "client/core/CSClientProtocolDelivery.h"
