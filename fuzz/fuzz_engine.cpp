// The receive path of the protocol engines as the bridge runs it: frame
// header, payload and the SIM or APP handlers, with the bridge's own inputs
// registered and confirmed, so that updates reach
// SimulatorSample::parametersUpdated and the forwarding and calibration steps.
//
// The first byte picks the connection (even: SIM, odd: APP); the rest is what
// the server sends. A transport stand-in serves those bytes and swallows the
// engine's requests, so no thread and no socket is used per input.
#include <cstdint>
#include <string>
#include <vector>

#include "app/SimulatorSample.h"
#include "client/core/CSCommsInterfaceTCP.h"
#include "client/core/ReceivedValue.h"
#include "client/protocols/AppProtocol.h"
#include "client/protocols/SimulatorProtocol.h"
#include "config/Configuration.h"
#include "fuzz/FuzzSupport.h"

using namespace com_nax;

namespace {

class ByteStreamTransport : public CSCommsInterfaceTCP {
  public:
    ByteStreamTransport() : CSCommsInterfaceTCP(Options()) {}
    void serve(const std::uint8_t* data, std::size_t size) {
        data_ = data;
        left_ = size;
    }
    bool exhausted() const { return left_ == 0; }

    int readMessage(unsigned size, RawMessage& message) override {
        if (left_ == 0) {
            return 0;  // the server closed the connection
        }
        const unsigned n = size < left_ ? size : static_cast<unsigned>(left_);
        message.write(reinterpret_cast<const char*>(data_), n);
        data_ += n;
        left_ -= n;
        return static_cast<int>(n);
    }
    int writeMessage(const RawMessage& message) override {
        return static_cast<int>(message.size());
    }
    bool openConnection(unsigned, unsigned) override { return true; }
    void close() override {}

  private:
    const std::uint8_t* data_ = nullptr;
    std::size_t left_ = 0;
};

// An engine of the bridge's kind, connected and ready without a thread.
template <typename Engine>
class DrivenEngine : public Engine {
  public:
    template <typename... Args>
    explicit DrivenEngine(Args... args) : Engine(args...) {
        this->changeCommsInterface(transport_);
        CSTimings timings;
        timings.reconnectPause = std::chrono::milliseconds(0);
        this->setTimings(timings);
    }
    ~DrivenEngine() override { this->stopReceiveThread(); }

    // Registers the inputs and confirms them as the server would, ids from 1.
    void registerAndConfirm(const std::vector<CSClient::InputDef>& defs) {
        this->registerInputParameters(defs.data(), static_cast<unsigned>(defs.size()));
        struct Record {
            std::string name;
            std::uint32_t serverId;
        };
        std::vector<Record> records;
        for (const CSClient::InputDef& def : defs) {
            records.push_back({def.id, static_cast<std::uint32_t>(records.size() + 1)});
        }
        this->confirmInputs(records, "Successful registration of input ",
                            [](const Record&) { return ReceivedValue::ofFloat(0.0f); });
    }
    void makeReady() { this->state_.store(CSClient::STATE_READY); }

    void feed(const std::uint8_t* data, std::size_t size) {
        transport_->serve(data, size);
        while (!transport_->exhausted() && (this->getState() == CSClient::STATE_READY ||
                                            this->getState() == CSClient::STATE_CONNECTED)) {
            this->receiveMessage();
        }
    }

  private:
    ByteStreamTransport* transport_ = new ByteStreamTransport;  // owned by the engine
};

std::string scratch;  // where a calibration saves its configuration

// The bridge's own options word: automatic reconnection plus a stored bit.
constexpr unsigned kBridgeOptions = 5;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::silenceConsole();
    scratch = fuzzsupport::makeScratchDir("engine");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    fuzzsupport::clearScratchDir(scratch);
    Configuration configuration((scratch + "/bridge.xml").c_str());
    configuration.spo2Calibration = {{85.f, 60.f}, {100.f, 30.f}};
    configuration.co2Calibration = {{0.f, 1.f}, {40.f, 501.f}};
    BridgeTimings timings;
    timings.calibrationCycle = std::chrono::milliseconds(1);
    {
        SimulatorSample bridge(&configuration, timings);
        if ((data[0] & 1) == 0) {
            SimulatorSample::SimClientCallback callback(&bridge, "SIM ready", "SIM lost");
            DrivenEngine<SimulatorProtocol> engine(1u, kBridgeOptions);
            engine.registerAndConfirm(SimulatorSample::simInputs());
            engine.addCallbackInterface(&callback);
            engine.makeReady();
            engine.feed(data + 1, size - 1);
            engine.removeCallbackInterface(&callback);
        } else {
            SimulatorSample::AppClientCallback callback(&bridge, "APP ready", "APP lost");
            DrivenEngine<AppProtocol> engine(kBridgeOptions);
            engine.registerAndConfirm(SimulatorSample::appInputs());
            engine.addCallbackInterface(&callback);
            engine.makeReady();
            engine.feed(data + 1, size - 1);
            engine.removeCallbackInterface(&callback);
        }
    }
    fuzzsupport::silenceConsole().str("");
    return 0;
}
