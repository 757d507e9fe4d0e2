// The receive path of the protocol engines as the bridge runs it: the receive
// buffer, the frame parser and the SIM or APP handlers, with the bridge's own
// inputs registered and confirmed, so that updates reach
// SimulatorSample::parametersUpdated and the forwarding and calibration steps.
//
// The first byte picks the connection (even: SIM, odd: APP); the rest is what
// the server sends, handed over as one receive. The bridge, both engines and
// their registrations are made once: an input costs its own bytes only, and
// no thread or socket is made per input. Each input starts from the same
// state: connection ready, simulation stopped, no calibration, the
// configuration's tables as at the start, no calibration worker left.
#include <cstdint>
#include <memory>
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

// Serves the input as the server's bytes: all of it in the first receive,
// then nothing more (a receive timeout), so that an input of whole frames
// leaves the connection as it was. The engine's requests are swallowed.
class ByteStreamTransport : public CSCommsInterfaceTCP {
  public:
    ByteStreamTransport() : CSCommsInterfaceTCP(Options()) {}
    void serve(const std::uint8_t* data, std::size_t size) {
        receiveBuffer().clear();
        data_ = data;
        left_ = size;
    }
    bool exhausted() const { return left_ == 0; }
    int receiveAvailable(unsigned) override {
        if (left_ == 0) {
            return -2;
        }
        const unsigned n = static_cast<unsigned>(left_);
        receiveBuffer().append(data_, n);
        left_ = 0;
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

// An engine of the bridge's kind, ready without a thread, with the bridge's
// inputs registered and confirmed as the server would confirm them (ids from 1).
template <typename Engine>
class DrivenEngine : public Engine {
  public:
    template <typename... Args>
    DrivenEngine(const std::vector<CSClient::InputDef>& defs, Args... args) : Engine(args...) {
        this->changeCommsInterface(transport_);
        CSTimings timings;
        timings.reconnectPause = std::chrono::milliseconds(0);
        // Nothing more will come: a frame left incomplete is given up at once.
        timings.payloadStallLimit = std::chrono::milliseconds(0);
        this->setTimings(timings);
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
        confirmed_ = this->confirmedInputs_.changes();
    }
    ~DrivenEngine() override { this->stopReceiveThread(); }

    // Whether a server message changed the confirmations since they were made.
    bool registryChanged() const { return this->confirmedInputs_.changes() != confirmed_; }

    // As the receive thread would, until the input is used up or the
    // connection given up.
    void feed(const std::uint8_t* data, std::size_t size) {
        this->state_.store(CSClient::STATE_READY);
        transport_->serve(data, size);
        while (this->getState() == CSClient::STATE_READY ||
               this->getState() == CSClient::STATE_CONNECTED) {
            const unsigned before = transport_->receiveBuffer().size();
            const bool wasExhausted = transport_->exhausted();
            this->receiveMessage();
            if (wasExhausted && transport_->receiveBuffer().size() == before) {
                break;
            }
        }
    }

  private:
    ByteStreamTransport* transport_ = new ByteStreamTransport;  // owned by the engine
    std::uint64_t confirmed_ = 0;
};

// The bridge's own options word: automatic reconnection plus a stored bit.
constexpr unsigned kBridgeOptions = 5;

using SimEngine = DrivenEngine<SimulatorProtocol>;
using AppEngine = DrivenEngine<AppProtocol>;

// Everything an input runs against; made once, never destroyed (the
// engines' callbacks point into the bridge).
struct Rig {
    std::string scratch = fuzzsupport::makeScratchDir("engine");
    Configuration configuration{(scratch + "/bridge.xml").c_str()};
    std::unique_ptr<SimulatorSample> bridge;
    std::unique_ptr<SimulatorSample::SimClientCallback> simCallback;
    std::unique_ptr<SimulatorSample::AppClientCallback> appCallback;
    std::unique_ptr<SimEngine> sim;
    std::unique_ptr<AppEngine> app;

    Rig() {
        resetTables();
        start.spo2Calibration = configuration.spo2Calibration;
        start.co2Calibration = configuration.co2Calibration;
        start.spo2Scale = configuration.spo2Scale;
        makeBridge();
        makeSim();
        makeApp();
    }
    void makeBridge() {
        if (sim) {
            sim->removeCallbackInterface(simCallback.get());
            app->removeCallbackInterface(appCallback.get());
        }
        simCallback.reset();
        appCallback.reset();
        bridge.reset();
        BridgeTimings timings;
        timings.calibrationCycle = std::chrono::milliseconds(1);
        bridge = std::make_unique<SimulatorSample>(&configuration, timings);
        simCallback = std::make_unique<SimulatorSample::SimClientCallback>(bridge.get(),
                                                                           "SIM ready", "SIM lost");
        appCallback = std::make_unique<SimulatorSample::AppClientCallback>(bridge.get(),
                                                                           "APP ready", "APP lost");
        if (sim) {
            sim->addCallbackInterface(simCallback.get());
            app->addCallbackInterface(appCallback.get());
        }
    }
    void resetTables() {
        configuration.spo2Calibration = {{85.f, 60.f}, {100.f, 30.f}};
        configuration.co2Calibration = {{0.f, 1.f}, {40.f, 501.f}};
        configuration.spo2Scale = 4;
    }
    void makeSim() {
        sim.reset();
        sim = std::make_unique<SimEngine>(SimulatorSample::simInputs(), 1u, kBridgeOptions);
        sim->addCallbackInterface(simCallback.get());
    }
    void makeApp() {
        app.reset();
        app = std::make_unique<AppEngine>(SimulatorSample::appInputs(), kBridgeOptions);
        app->addCallbackInterface(appCallback.get());
    }
    // Simulation stopped, calibration ended (its worker leaves within a cycle),
    // tables as at the start, no saved file.
    void settle() {
        std::ostringstream& console = fuzzsupport::silenceConsole();
        const std::string text = console.str();
        if (text.find("Starting calibration") != std::string::npos) {
            // No worker may outlive its input: one still leaving its thread
            // while the leak check looks would be taken for a leak. The
            // bridge's destructor waits for it.
            makeBridge();
        }
        bridge->parametersUpdated(stop);
        if (configuration.spo2Calibration != start.spo2Calibration ||
            configuration.co2Calibration != start.co2Calibration ||
            configuration.spo2Scale != start.spo2Scale) {
            resetTables();
            // The bridge lays its tables out when it starts or saves: a new
            // one, so that the next input meets the tables of the start.
            makeBridge();
        }
        if (text.find("Saving calibration") != std::string::npos) {
            fuzzsupport::clearScratchDir(scratch);
        }
        console.str("");
    }
    const std::vector<CSClient::Parameter> stop = {
        CSClient::Parameter::makeInt("HW_PATSPEED", 0),
        CSClient::Parameter::makeInt("HW_PATMON_CALIB_ACTION", 0),
        CSClient::Parameter::makeInt("HW_PATMON_CALIB_ARG1", 0)};
    Configuration start{""};
};

Rig* rig = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzsupport::silenceConsole();
    rig = new Rig;
    rig->settle();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    if ((data[0] & 1) == 0) {
        rig->sim->feed(data + 1, size - 1);
        if (rig->sim->registryChanged()) {
            rig->makeSim();
        }
    } else {
        rig->app->feed(data + 1, size - 1);
        if (rig->app->registryChanged()) {
            rig->makeApp();
        }
    }
    rig->settle();
    return 0;
}
