#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "client/core/CSOptions.h"
#include "client/core/CSTimings.h"
#include "client/core/RawMessage.h"

namespace com_nax {

class CSClientProtocol;

// Public face of the client library: one connection to the simulation server,
// driven by the protocol engine that the derived client installs.
class CSClient {
  public:
    // Connection state; transitions are made by the engine.
    enum State {
        STATE_DISCONNECTED = 0,
        STATE_CONNECTING = 1,
        STATE_CONNECTED = 2,
        STATE_DISCONNECTING = 3,
        STATE_READY = 4,
        STATE_RECONNECTING = 5,
    };

    // Result of every request; 0 is success.
    enum Result : unsigned {
        RESULT_OK = 0,
        RESULT_NOT_CONNECTED = 1,
        RESULT_COMMS_ERROR = 2,
        RESULT_INVALID_ARGUMENT = 3,
        RESULT_NO_ACTIVE_SCE = 4,
        RESULT_SCE_BUSY = 5,
        RESULT_REJECTED = 6,
    };

    // Value type of a parameter (32-bit code on the wire and in the registry).
    enum ParameterType : int32_t {
        PARAM_INVALID = 0,
        PARAM_FLOAT = 1,
        PARAM_INT = 2,
    };

    // The four value bytes of a parameter, interpreted by its type.
    union ParameterValue {
        float floatValue;
        int32_t intValue;
    };

    // An input: a value the client wants to receive.
    struct InputDef {
        std::string id;  // shorter than 32 characters
        ParameterType type = PARAM_INVALID;
        int32_t rate = 0;  // update-rate selector 0..3
        // The application's own mark (for example its row for this input),
        // handed back with each of the input's values; not sent.
        const void* tag = nullptr;
    };

    // An output: a value the client provides.
    struct OutputDef {
        std::string id;  // shorter than 32 characters
        ParameterType type = PARAM_INVALID;
    };

    // One value.
    struct Parameter {
        std::string id;
        ParameterValue value{};  // zero bits
        ParameterType type = PARAM_INVALID;
        bool override = false;
        // A received input's InputDef::tag; null otherwise, and not sent.
        const void* tag = nullptr;

        static Parameter makeFloat(const std::string& id, float value, bool override = false) {
            Parameter p;
            p.id = id;
            p.value.floatValue = value;
            p.type = PARAM_FLOAT;
            p.override = override;
            return p;
        }
        static Parameter makeInt(const std::string& id, int32_t value, bool override = false) {
            Parameter p;
            p.id = id;
            p.value.intValue = value;
            p.type = PARAM_INT;
            p.override = override;
            return p;
        }
    };

    // Socket buffer sizes in bytes; 0 keeps the system default. A null pointer
    // means both 0.
    struct ConnectionOptions {
        uint32_t receiveBufferSize = 0;
        uint32_t sendBufferSize = 0;
    };

    // Implemented by the application; the engine keeps pointers without owning them.
    // connectionStateChanged runs with the engine's state lock held: it must not
    // open, close or destroy the client. It may send and register.
    class CallbackIface {
      public:
        virtual ~CallbackIface() = default;
        virtual void connectionStateChanged(State previous, State current) = 0;
        virtual void parametersUpdated(const std::vector<Parameter>& parameters) = 0;
        virtual void registrationComplete(const std::vector<OutputDef>& outputs) { (void)outputs; }
        virtual void registrationComplete(const std::vector<InputDef>& inputs) { (void)inputs; }
    };

    // Option bits, also available as com_nax::OPTION_... and CSClientProtocol::OPTION_...
    static constexpr unsigned OPTION_AUTO_RECONNECT = com_nax::OPTION_AUTO_RECONNECT;
    static constexpr unsigned OPTION_QUIET = com_nax::OPTION_QUIET;
    static constexpr unsigned OPTION_PUBLISH_NO_LOG = com_nax::OPTION_PUBLISH_NO_LOG;

    // No engine yet: the derived client creates it with `options` and installs it.
    explicit CSClient(unsigned options);
    // Requests a close and waits, without limit, for STATE_DISCONNECTED; then
    // deletes the engine.
    virtual ~CSClient();

    CSClient(const CSClient&) = delete;
    CSClient& operator=(const CSClient&) = delete;

    // Connection. `address` is dotted-decimal text (no name look-up).
    Result open(const char* address, unsigned port, const ConnectionOptions* options);
    // Starts the background connection: RESULT_OK, or RESULT_COMMS_ERROR when not
    // disconnected or the thread failed to start.
    virtual Result open(unsigned address, unsigned port, const ConnectionOptions* options);
    // Requests a close and waits about 2 seconds at most for STATE_DISCONNECTED.
    virtual void close();
    bool waitForConnectionState(State state, unsigned seconds) const;
    Result sendMessage(const RawMessage& message);
    State getConnectionState() const;
    unsigned getOptions() const;
    bool hasOptions(unsigned mask) const;
    std::string getServerVersion() const;
    unsigned getProtocolVersion() const;
    std::string getServerIPAddress() const;
    unsigned getServerPort() const;
    static const char* getClientVersion();

    // Shortens the library's timings (tests); call while disconnected.
    void setTimings(const CSTimings& timings);
    CSTimings getTimings() const;

    // Registration and values.
    Result registerInputParameter(const InputDef& def);
    Result registerInputParameters(const InputDef* defs, unsigned count);
    Result registerInputParameters(const std::vector<InputDef>& defs);
    Result unregisterInputParameter(const std::string& id);
    Result unregisterInputParameters(const std::vector<std::string>& ids);
    Result unregisterInputParameters(const InputDef* defs, unsigned count);
    Result unregisterAllInputParameters();
    Result registerOutputParameter(const OutputDef& def);
    Result registerOutputParameters(const OutputDef* defs, unsigned count);
    Result registerOutputParameters(const std::vector<OutputDef>& defs);
    Result unregisterOutputParameter(const std::string& id);
    Result unregisterOutputParameters(const std::vector<std::string>& ids);
    Result unregisterOutputParameters(const OutputDef* defs, unsigned count);
    Result unregisterAllOutputParameters();
    unsigned getNumberOfRegisteredInputParameters() const;
    unsigned getNumberOfUnregisteredInputParameters() const;
    unsigned getNumberOfRegisteredOutputParameters() const;
    unsigned getNumberOfUnregisteredOutputParameters() const;
    bool isInputParameterRegistered(const std::string& id) const;
    bool isOutputParameterRegistered(const std::string& id) const;
    bool waitForInputsToBeRegistered(unsigned seconds) const;
    bool waitForOutputsToBeRegistered(unsigned seconds) const;
    Result publishParameter(const Parameter& parameter);
    Result publishParameters(const Parameter* parameters, unsigned count);
    Result publishParameters(const std::vector<Parameter>& parameters);
    bool findPublishedParameter(const std::string& id, Parameter& out) const;
    void getAllPublishedParameters(std::vector<Parameter>& out) const;

    // Callback interfaces (not owned).
    bool addCallbackInterface(CallbackIface* callback);
    void removeCallbackInterface(CallbackIface* callback);
    bool hasCallbackInterface(CallbackIface* callback) const;
    unsigned getNumCallbackInterfaces() const;
    void getCallbackInterfaces(std::set<CallbackIface*>& out) const;

  protected:
    // Installs the engine (owned from now on); called once by the derived constructor.
    void setProtocol(CSClientProtocol* protocol);
    CSClientProtocol* getProtocol() const { return protocol_; }

    CSClientProtocol* protocol_ = nullptr;
};

}  // namespace com_nax
