#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "client/protocols/AppClient.h"
#include "client/protocols/CallbackRecorder.h"
#include "client/protocols/FastTimings.h"
#include "client/protocols/HexBytes.h"
#include "client/protocols/PayloadBuilder.h"
#include "client/protocols/ScriptedServer.h"
#include "support/WaitUntil.h"

using com_nax::AppClient;
using com_nax::CSClient;
using prototest::codeOf;
using prototest::hex;
using prototest::nameField;
using prototest::Payload;
using prototest::ScriptedServer;
using prototest::subprotocolOf;
using prototest::wordAt;
using Frame = ScriptedServer::Frame;
using Frames = std::vector<Frame>;

namespace {

constexpr unsigned kAuto = com_nax::OPTION_AUTO_RECONNECT;
constexpr unsigned kQuiet = com_nax::OPTION_QUIET;
constexpr std::chrono::milliseconds kWait{5000};

// Records the scenario callbacks as short lines ("started 7 1 0 0").
class AppRecorder : public prototest::CallbackRecorder<AppClient::Callback> {
  public:
    void sceStarted(unsigned sce, unsigned a, unsigned b, CSClient::Result r) override {
        line("started", sce, a, b, r);
    }
    void sceLoaded(unsigned sce, unsigned a, unsigned b) override { line("loaded", sce, a, b, 0); }
    void sceStopped(unsigned sce, unsigned a, unsigned b, CSClient::Result r) override {
        line("stopped", sce, a, b, r);
    }
    void sceReset(unsigned sce, unsigned a, unsigned b, CSClient::Result r) override {
        line("reset", sce, a, b, r);
    }
    void sceModeChanged(unsigned sce, AppClient::SimulationMode m, CSClient::Result r) override {
        line("mode", sce, m, 0, r);
    }
    void sceActiveRefresh() override { line("refresh", 0, 0, 0, 0); }

    bool saw(const std::string& text) {
        return waitFor([&] {
            for (const auto& e : events) {
                if (e == text) {
                    return true;
                }
            }
            return false;
        });
    }

    std::vector<std::string> events;  // guarded by the recorder's mutex

  private:
    void line(const char* what, unsigned sce, unsigned a, unsigned b, unsigned r) {
        std::ostringstream s;
        s << what << " " << sce << " " << a << " " << b << " " << r;
        record([&] { events.push_back(s.str()); });
    }
};

// Sees only the generic callbacks: the engine must never offer it scenario ones.
using PlainRecorder = prototest::CallbackRecorder<CSClient::CallbackIface>;

using prototest::fastTimings;

bool isFlow(const Frame& f, std::uint32_t word) {
    return f.kind == 3 && wordAt(f, 0) == word;
}
bool isCommand(const Frame& f, std::uint16_t code) {
    return f.kind == 0 && subprotocolOf(f) == 2 && codeOf(f) == code;
}

std::vector<Frame> commands(const Frames& frames, std::uint16_t code) {
    std::vector<Frame> out;
    for (const auto& f : frames) {
        if (isCommand(f, code)) {
            out.push_back(f);
        }
    }
    return out;
}

Payload listResponse(std::uint32_t count, std::uint32_t sce, std::uint32_t key, std::uint32_t state,
                     float speed) {
    Payload p(1, 1, 0x0002);
    p.u32(count).u32(sce).u32(key).u32(state).f32(speed);
    return p;
}

Payload event(std::uint16_t code, std::uint32_t sce, std::uint32_t status) {
    Payload p(1, 3, code);
    p.u32(sce).u32(status);
    return p;
}

Payload inputReply(std::uint32_t sce,
                   const std::vector<std::tuple<std::uint32_t, float, std::string>>& records) {
    Payload p(1, 2, 0x0106);
    p.u32(sce).u32(static_cast<std::uint32_t>(records.size()));
    for (const auto& [id, value, name] : records) {
        p.u32(id).zeros(8).f32(value).text(name);
    }
    return p;
}

Payload outputReply(std::uint32_t sce,
                    const std::vector<std::pair<std::uint32_t, std::string>>& records) {
    Payload p(1, 2, 0x0107);
    p.u32(sce).u32(static_cast<std::uint32_t>(records.size()));
    for (const auto& [id, name] : records) {
        p.u32(id).zeros(8).text(name);
    }
    return p;
}

Payload patientUpdate(std::uint32_t kind,
                      const std::vector<std::pair<std::uint32_t, float>>& records) {
    Payload p(1, 2, 0x0008);
    p.u32(0).u32(kind).u32(static_cast<std::uint32_t>(records.size()));
    for (const auto& [id, value] : records) {
        p.u32(id).f32(value);
    }
    return p;
}

std::vector<CSClient::InputDef> manyInputs(unsigned n) {
    std::vector<CSClient::InputDef> defs;
    for (unsigned i = 0; i < n; ++i) {
        defs.push_back({"IN_" + std::to_string(1000 + i), CSClient::PARAM_FLOAT, 0});
    }
    return defs;
}

// A scripted APP server: answers the flow-control start with word 1 and the
// list request with the scenario the test set (none by default).
class AppClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        server.setResponder([this](ScriptedServer& s, const Frame& f) {
            if (isFlow(f, 0)) {
                if (listBeforeAnswer) {
                    s.send(listResponse(1, 7, 70, 5, 1.0f));
                    return;
                }
                s.send(hex("00 00 00 01 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF"), 3);
            } else if (f.kind == 0 && subprotocolOf(f) == 1 && codeOf(f) == 1) {
                s.send(listResponse(runningSce ? 1 : 0, runningSce, 70, 5, 1.0f));
            }
        });
        makeClient(kAuto | kQuiet, fastTimings());
    }
    void TearDown() override { client.reset(); }

    void makeClient(unsigned options, const com_nax::CSTimings& timings) {
        client.reset();
        client = std::make_unique<AppClient>(options);
        client->setTimings(timings);
        client->addCallbackInterface(&recorder);
        client->addCallbackInterface(&plain);
    }

    void openAndWaitReady() {
        ASSERT_EQ(CSClient::RESULT_OK, client->open("127.0.0.1", server.port(), nullptr));
        ASSERT_TRUE(recorder.waitFor([&] {
            for (const auto& s : recorder.states) {
                if (s.second == CSClient::STATE_READY) {
                    return true;
                }
            }
            return false;
        })) << "the APP client never reached STATE_READY";
    }

    // Waits until the server has seen the list request and the client the answer.
    void openWithScenario(unsigned sce) {
        runningSce = sce;
        openAndWaitReady();
        ASSERT_TRUE(
            testsupport::waitUntil([&] { return client->getActiveSce().sceId == sce; }, kWait))
            << "the active scenario " << sce << " was never taken from the list";
    }

    bool waitFrames(std::function<bool(const Frames&)> predicate) {
        return server.waitFor(std::move(predicate));
    }

    ScriptedServer server;
    std::atomic<unsigned> runningSce{0};
    std::atomic<bool> listBeforeAnswer{false};
    AppRecorder recorder;
    PlainRecorder plain;
    std::unique_ptr<AppClient> client;
};

}  // namespace

TEST_F(AppClientTest, StartUpHandshakeReachesReadyWithTheDocumentedBytes) {
    openAndWaitReady();
    ASSERT_TRUE(waitFrames([](const Frames& f) {
        return !commands(f, 0x0051).empty() && f.size() >= 4;
    })) << "no version request after the handshake";
    const Frames f = server.frames();
    EXPECT_EQ(3u, f[0].kind);
    EXPECT_EQ(hex("00 00 00 00 FF FF FF FF FF FF FF FF FF FF FF FF 00 00 00 03"), f[0].payload);
    EXPECT_EQ(hex("01 01 7F FF 00 00 00 1C 00 7F 00 20 00 00 00 00 7F FF FF FF 7F FF FF FF 7F FF "
                  "FF FF"),
              f[1].payload);
    EXPECT_EQ(hex("01 01 7F FF 00 00 00 0C 00 7F 00 01"), f[2].payload);
    EXPECT_EQ(hex("01 02 7F FF 00 00 00 10 00 7F 00 51 00 00 00 00"),
              commands(f, 0x0051)[0].payload);
    EXPECT_TRUE(recorder.saw("refresh 0 0 0 0"));
    EXPECT_TRUE(plain.read([&] { return !plain.states.empty(); }));
}

TEST_F(AppClientTest, RegistrationsWaitForAScenarioThenFollowTheStartedEvent) {
    ASSERT_EQ(CSClient::RESULT_OK,
              client->registerInputParameter({"HRPM", CSClient::PARAM_FLOAT, 0}));
    openAndWaitReady();
    ASSERT_TRUE(recorder.saw("refresh 0 0 0 0"));
    EXPECT_TRUE(commands(server.frames(), 0x0006).empty()) << "subscribed without a scenario";
    EXPECT_EQ(CSClient::RESULT_NO_ACTIVE_SCE, client->stopSce());

    server.send(event(0x0112, 9, 1));
    ASSERT_TRUE(waitFrames([](const Frames& f) { return commands(f, 0x0006).size() == 1; }))
        << "the started event did not send the waiting subscription";
    EXPECT_EQ(hex("01 02 7F FF 00 00 00 3C 00 7F 00 06 00 00 00 09 00 00 00 01 00 00 00 00 00 00 "
                  "00 00 " +
                  nameField("HRPM")),
              commands(server.frames(), 0x0006)[0].payload);
    EXPECT_TRUE(recorder.saw("started 9 0 0 0"));
    EXPECT_EQ(AppClient::MODE_RUNNING_1X, client->getActiveSce().mode);
}

TEST_F(AppClientTest, ScenarioAlreadyRunningAtStartUpGetsTheWaitingInputs) {
    ASSERT_EQ(CSClient::RESULT_OK, client->registerInputParameters(manyInputs(23)));
    openWithScenario(7);
    ASSERT_TRUE(waitFrames([](const Frames& f) { return commands(f, 0x0006).size() == 1; }))
        << "a scenario running at start-up never received the subscriptions";
    const Frame sub = commands(server.frames(), 0x0006)[0];
    EXPECT_EQ(7u, wordAt(sub, 12));
    EXPECT_EQ(23u, wordAt(sub, 16));
    EXPECT_EQ(AppClient::MODE_RUNNING_1X, client->getActiveSce().mode);

    // Confirming them: a reply for another scenario changes nothing.
    server.send(inputReply(8, {{100, 1.0f, "IN_1000"}}));
    server.send(inputReply(7, {{101, 2.0f, "IN_1001"}}));
    // The confirmation callback comes just before the initial values: wait for both.
    ASSERT_TRUE(recorder.waitFor(
        [&] { return !recorder.inputConfirmations.empty() && !recorder.updates.empty(); }));
    recorder.read([&] {
        ASSERT_EQ(1u, recorder.inputConfirmations.size()) << "a foreign-scenario reply was used";
        EXPECT_EQ("IN_1001", recorder.inputConfirmations[0][0].id);
        ASSERT_EQ(1u, recorder.updates.size());
        EXPECT_FLOAT_EQ(2.0f, recorder.updates[0][0].value.floatValue);
    });
    EXPECT_FALSE(client->isInputParameterRegistered("IN_1000"));
    EXPECT_TRUE(client->isInputParameterRegistered("IN_1001"));
}

TEST_F(AppClientTest, ListBeforeTheFlowAnswerRegistersAndMovesToReady) {
    listBeforeAnswer = true;
    client->registerInputParameter({"HRPM", CSClient::PARAM_FLOAT, 0});
    openAndWaitReady();
    EXPECT_TRUE(recorder.saw("started 7 70 0 0"));
    ASSERT_TRUE(waitFrames([](const Frames& f) { return commands(f, 0x0006).size() == 1; }));
    EXPECT_EQ(7u, wordAt(commands(server.frames(), 0x0006)[0], 12));
}

TEST_F(AppClientTest, LargeSubscriptionsAreSplitByHalves) {
    // Registered before the start-up, so that the scenario list alone sends
    // them: a registration racing the list's own re-registration may go twice.
    ASSERT_EQ(CSClient::RESULT_OK, client->registerInputParameters(manyInputs(120)));
    openWithScenario(7);
    ASSERT_TRUE(waitFrames([](const Frames& f) { return commands(f, 0x0006).size() == 1; }));
    EXPECT_EQ(120u, wordAt(commands(server.frames(), 0x0006)[0], 16));

    client->unregisterAllInputParameters();
    ASSERT_EQ(CSClient::RESULT_OK, client->registerInputParameters(manyInputs(121)));
    ASSERT_TRUE(waitFrames([](const Frames& f) { return commands(f, 0x0006).size() == 3; }));
    auto subs = commands(server.frames(), 0x0006);
    EXPECT_EQ(60u, wordAt(subs[1], 16));
    EXPECT_EQ(61u, wordAt(subs[2], 16));

    client->unregisterAllInputParameters();
    ASSERT_EQ(CSClient::RESULT_OK, client->registerInputParameters(manyInputs(250)));
    ASSERT_TRUE(waitFrames([](const Frames& f) { return commands(f, 0x0006).size() == 7; }));
    subs = commands(server.frames(), 0x0006);
    EXPECT_EQ(62u, wordAt(subs[3], 16));
    EXPECT_EQ(63u, wordAt(subs[4], 16));
    EXPECT_EQ(62u, wordAt(subs[5], 16));
    EXPECT_EQ(63u, wordAt(subs[6], 16));
    // The first entry of the last part is the 188th input (62 + 63 + 62 before it).
    EXPECT_EQ("IN_1187", std::string(subs[6].payload.begin() + 28, subs[6].payload.begin() + 35));
}

TEST_F(AppClientTest, StopThenStartRegistersAgainUnderTheNewScenario) {
    client->registerInputParameter({"HRPM", CSClient::PARAM_INT, 0});
    client->registerOutputParameter({"OUT", CSClient::PARAM_FLOAT});
    openWithScenario(7);
    ASSERT_TRUE(waitFrames([](const Frames& f) {
        return commands(f, 0x0006).size() == 1 && commands(f, 0x0007).size() == 1;
    }));
    server.send(inputReply(7, {{5, 80.0f, "HRPM"}}));
    server.send(outputReply(7, {{6, "OUT"}}));
    ASSERT_TRUE(testsupport::waitUntil(
        [&] {
            return client->isInputParameterRegistered("HRPM") &&
                   client->isOutputParameterRegistered("OUT");
        },
        kWait));

    server.send(event(0x0114, 7, 1));
    ASSERT_TRUE(recorder.saw("stopped 7 70 0 0"));
    EXPECT_EQ(0u, client->getActiveSce().sceId);
    EXPECT_EQ(1u, client->getNumberOfUnregisteredInputParameters());
    EXPECT_EQ(1u, client->getNumberOfUnregisteredOutputParameters());
    server.send(patientUpdate(0, {{5, 90.0f}}));  // old id: dropped

    server.send(event(0x0112, 12, 1));
    ASSERT_TRUE(waitFrames([](const Frames& f) {
        return commands(f, 0x0006).size() == 2 && commands(f, 0x0007).size() == 2;
    })) << "no re-registration under the new scenario";
    const Frames f = server.frames();
    EXPECT_EQ(12u, wordAt(commands(f, 0x0006)[1], 12));
    EXPECT_EQ(12u, wordAt(commands(f, 0x0007)[1], 12));
    recorder.read([&] {
        for (const auto& batch : recorder.updates) {
            for (const auto& p : batch) {
                EXPECT_NE(90, p.value.intValue) << "a value under a stopped scenario's id arrived";
            }
        }
    });
}

TEST_F(AppClientTest, PatientUpdatesTruncateIntsAndMarkOverrides) {
    client->registerInputParameters(std::vector<CSClient::InputDef>{
        {"I", CSClient::PARAM_INT, 0}, {"F", CSClient::PARAM_FLOAT, 1}});
    openWithScenario(7);
    ASSERT_TRUE(waitFrames([](const Frames& f) { return commands(f, 0x0006).size() == 1; }));
    server.send(inputReply(7, {{1, 2.9f, "I"}, {2, 0.5f, "F"}}));
    ASSERT_TRUE(recorder.waitFor([&] { return recorder.updates.size() == 1; }));
    server.send(patientUpdate(1, {{1, 5.0f}}));  // kind 1: ignored
    server.send(patientUpdate(0, {{2, 1.25f}, {99, 1.0f}, {1, -2.9f}}));
    server.send(patientUpdate(2, {{1, 3e10f}}));
    ASSERT_TRUE(recorder.waitFor([&] { return recorder.updates.size() >= 3; }))
        << "patient updates never reached the callback";
    recorder.read([&] {
        ASSERT_EQ(3u, recorder.updates.size()) << "a kind-1 update was delivered";
        EXPECT_EQ(2, recorder.updates[0][0].value.intValue);
        EXPECT_EQ(CSClient::PARAM_INT, recorder.updates[0][0].type);
        const auto& normal = recorder.updates[1];
        ASSERT_EQ(2u, normal.size());
        EXPECT_EQ("F", normal[0].id);
        EXPECT_FLOAT_EQ(1.25f, normal[0].value.floatValue);
        EXPECT_EQ(-2, normal[1].value.intValue);
        EXPECT_FALSE(normal[1].override);
        const auto& over = recorder.updates[2];
        ASSERT_EQ(1u, over.size());
        // The engine reuses its list between updates: the first place now holds
        // "I", where the update before held "F".
        EXPECT_EQ("I", over[0].id);
        EXPECT_EQ(CSClient::PARAM_INT, over[0].type);
        EXPECT_TRUE(over[0].override);
        EXPECT_EQ(2147483647, over[0].value.intValue);  // saturated, not undefined
    });
}

TEST_F(AppClientTest, HeldValuesAreRepublishedByTheirOverrideFlag) {
    client->registerOutputParameters(
        std::vector<CSClient::OutputDef>{{"A", CSClient::PARAM_INT}, {"B", CSClient::PARAM_FLOAT}});
    openWithScenario(7);
    ASSERT_TRUE(waitFrames([](const Frames& f) { return commands(f, 0x0007).size() == 1; }));
    ASSERT_EQ(CSClient::RESULT_OK, client->publishParameter(CSClient::Parameter::makeInt("A", 7)));
    ASSERT_EQ(CSClient::RESULT_OK,
              client->publishOverrideParameter(CSClient::Parameter::makeFloat("B", 0.5f, true)));
    EXPECT_EQ(CSClient::RESULT_OK,
              client->publishOverrideParameters(std::vector<CSClient::Parameter>{}));
    ASSERT_TRUE(waitFrames([](const Frames& f) { return commands(f, 0x0008).size() == 2; }));
    EXPECT_EQ(hex("01 02 7F FF 00 00 00 20 00 7F 00 08 00 00 00 07 00 00 00 00 00 00 00 01 00 0F "
                  "FF FF 40 E0 00 00"),
              commands(server.frames(), 0x0008)[0].payload);
    EXPECT_EQ(2u, wordAt(commands(server.frames(), 0x0008)[1], 16));

    EXPECT_EQ(CSClient::RESULT_REJECTED,
              client->sendSignalParameter(CSClient::Parameter::makeInt("A", 1), 3));
    EXPECT_EQ(CSClient::RESULT_INVALID_ARGUMENT,
              client->sendSignalParameter(CSClient::Parameter::makeInt("NONE", 1), 3));

    server.send(outputReply(7, {{30, "A"}, {31, "B"}}));
    ASSERT_TRUE(waitFrames([](const Frames& f) { return commands(f, 0x0008).size() == 4; }))
        << "held values were not published again after confirmation";
    const auto pubs = commands(server.frames(), 0x0008);
    EXPECT_EQ(0u, wordAt(pubs[2], 16));
    EXPECT_EQ(30u, wordAt(pubs[2], 24));
    EXPECT_EQ(2u, wordAt(pubs[3], 16));
    EXPECT_EQ(31u, wordAt(pubs[3], 24));

    ASSERT_EQ(CSClient::RESULT_OK,
              client->sendSignalParameter(CSClient::Parameter::makeInt("A", 2), 5));
    ASSERT_TRUE(waitFrames([](const Frames& f) { return commands(f, 0x0012).size() == 1; }));
    EXPECT_EQ(hex("01 02 7F FF 00 00 00 24 00 7F 00 12 00 00 00 07 00 00 00 00 00 00 00 01 00 00 "
                  "00 1E 40 00 00 00 00 00 00 05"),
              commands(server.frames(), 0x0012)[0].payload);
}

TEST_F(AppClientTest, ScenarioCommandsAndEvents) {
    openWithScenario(7);
    EXPECT_EQ(CSClient::RESULT_REJECTED, client->setSimulationMode(AppClient::MODE_LOADED));
    ASSERT_EQ(CSClient::RESULT_OK, client->setSimulationMode(AppClient::MODE_RUNNING_4X));
    ASSERT_EQ(CSClient::RESULT_OK, client->bookmarkPatient(-15));
    EXPECT_EQ(CSClient::RESULT_SCE_BUSY, client->startSce(1, 2));
    ASSERT_TRUE(waitFrames([](const Frames& f) { return !commands(f, 0x000F).empty(); }));
    const Frames f = server.frames();
    std::vector<std::uint16_t> order;
    for (const auto& fr : f) {
        if (isCommand(fr, 0x0005) || isCommand(fr, 0x0004) || isCommand(fr, 0x000F)) {
            order.push_back(codeOf(fr));
        }
    }
    EXPECT_EQ((std::vector<std::uint16_t>{0x0005, 0x0004, 0x000F}), order)
        << "resume, then speed, then bookmark";
    EXPECT_EQ(0u, wordAt(commands(f, 0x0005)[0], 16));
    EXPECT_EQ(hex("01 02 7F FF 00 00 00 14 00 7F 00 04 00 00 00 07 40 80 00 00"),
              commands(f, 0x0004)[0].payload);
    EXPECT_EQ(hex("01 02 7F FF 00 00 00 17 00 7F 00 0F 00 00 00 07 00 00 00 03 2D 31 35"),
              commands(f, 0x000F)[0].payload);

    Payload speed2(1, 3, 0x0117);
    speed2.u32(7).f32(2.0f).u32(1);
    server.send(speed2);  // unknown speed: no change, no callback
    Payload speed8(1, 3, 0x0117);
    speed8.u32(7).f32(8.0f).u32(1);
    server.send(speed8);
    ASSERT_TRUE(recorder.saw("mode 7 5 0 0"));
    EXPECT_EQ(AppClient::MODE_RUNNING_8X, client->getActiveSce().mode);
    recorder.read([&] {
        for (const auto& e : recorder.events) {
            EXPECT_NE(0u, e.rfind("mode 7 0", 0)) << "the 2x speed event reached a callback";
        }
    });
    server.send(event(0x0113, 7, 1));
    ASSERT_TRUE(recorder.saw("mode 7 2 0 0"));
    server.send(event(0x0115, 7, 0));
    ASSERT_TRUE(recorder.saw("reset 7 70 0 6"));
    EXPECT_EQ(AppClient::MODE_PAUSED, client->getActiveSce().mode);
}

TEST_F(AppClientTest, LoadThenStartLoadedAndItsRefusal) {
    openAndWaitReady();
    ASSERT_TRUE(recorder.saw("refresh 0 0 0 0"));
    ASSERT_EQ(CSClient::RESULT_OK, client->loadSce(40, 41));
    Payload load(1, 2, 0x0102);
    load.u32(0).u32(40).u32(9);  // 24 bytes: no status word, a success
    server.send(load);
    ASSERT_TRUE(recorder.saw("loaded 9 40 41 0"));
    EXPECT_EQ(AppClient::MODE_LOADED, client->getActiveSce().mode);
    EXPECT_EQ(CSClient::RESULT_NO_ACTIVE_SCE, client->setSimulationMode(AppClient::MODE_PAUSED));
    EXPECT_EQ(CSClient::RESULT_SCE_BUSY, client->loadSce(1, 1));
    EXPECT_EQ(CSClient::RESULT_SCE_BUSY, client->startSce(1, 2));
    ASSERT_EQ(CSClient::RESULT_OK, client->startSce(40, 0));
    ASSERT_TRUE(waitFrames([](const Frames& f) { return !commands(f, 0x0003).empty(); }));
    EXPECT_EQ(hex("01 02 7F FF 00 00 00 14 00 7F 00 03 00 00 00 09 00 00 00 01"),
              commands(server.frames(), 0x0003)[0].payload);
    EXPECT_EQ(hex("01 02 7F FF 00 00 00 14 00 7F 00 02 00 00 00 00 00 00 00 28"),
              commands(server.frames(), 0x0002)[0].payload);

    Payload refused(1, 2, 0x0103);
    refused.u32(9).u32(0);
    server.send(refused);
    ASSERT_TRUE(recorder.saw("started 9 40 41 6"));
    EXPECT_EQ(0u, client->getActiveSce().sceId);
}

TEST_F(AppClientTest, KeepAliveOnlyWhileReadyAndAgainAfterReconnecting) {
    com_nax::CSTimings fast = fastTimings();
    fast.keepAlivePeriod = std::chrono::milliseconds(40);
    makeClient(kAuto | kQuiet, fast);
    ASSERT_EQ(CSClient::RESULT_OK, client->startKeepAlive());
    EXPECT_EQ(CSClient::RESULT_COMMS_ERROR, client->startKeepAlive());
    openAndWaitReady();
    auto keepAlives = [](unsigned connection) {
        return [connection](const Frames& f) {
            unsigned n = 0;
            for (const auto& fr : f) {
                n += isFlow(fr, 3) && fr.connection == connection;
            }
            return n >= 2;
        };
    };
    ASSERT_TRUE(waitFrames(keepAlives(1))) << "no keep-alive while ready";
    for (const auto& fr : server.frames()) {
        if (isFlow(fr, 3)) {
            EXPECT_EQ(hex("00 00 00 03 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF"),
                      fr.payload);
        }
    }
    server.dropClient();
    ASSERT_TRUE(waitFrames(keepAlives(2))) << "the keep-alive did not resume after reconnecting";
    EXPECT_EQ(CSClient::RESULT_OK, client->stopKeepAlive());
    EXPECT_EQ(CSClient::RESULT_OK, client->stopKeepAlive());
}

TEST(AppClientKeepAlive, NothingIsSentBeforeReadyAndStopReturnsPromptly) {
    ScriptedServer silent;  // never answers the flow-control start
    AppClient client(kQuiet);
    client.setTimings(fastTimings());
    ASSERT_EQ(CSClient::RESULT_OK, client.startKeepAlive());
    ASSERT_EQ(CSClient::RESULT_OK, client.open("127.0.0.1", silent.port(), nullptr));
    ASSERT_TRUE(silent.waitFor([](const Frames& f) { return !f.empty(); }));
    ASSERT_TRUE(testsupport::waitUntil(
        [&] { return client.getConnectionState() == CSClient::STATE_CONNECTED; }, kWait));
    // With the real 3-second period the thread is asleep now: stopping must not
    // wait for the period to run out.
    const auto before = std::chrono::steady_clock::now();
    client.stopKeepAlive();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1500));
    for (const auto& fr : silent.frames()) {
        EXPECT_FALSE(isFlow(fr, 3)) << "keep-alive sent while not ready";
    }
}

TEST(AppClientNotReady, MuteServerIsGivenUpAndRetriedWithALine) {
    ScriptedServer mute;  // accepts and reads, never answers
    AppClient client(kAuto);
    com_nax::CSTimings timings = fastTimings();
    timings.readyTimeout = std::chrono::milliseconds(1000);
    client.setTimings(timings);
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(CSClient::RESULT_OK, client.open("127.0.0.1", mute.port(), nullptr));
    const bool retried = mute.waitForConnections(2, kWait);
    const bool startedAgain = mute.waitFor([](const Frames& f) {
        for (const auto& fr : f) {
            if (fr.connection == 2 && isFlow(fr, 0)) {
                return true;
            }
        }
        return false;
    });
    client.close();
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(retried) << "a connection that never became ready was kept";
    EXPECT_TRUE(startedAgain) << "the new connection did not start the handshake again";
    EXPECT_NE(std::string::npos,
              err.find("APP server did not become ready within 1 s. Reconnecting...\n"))
        << err;
}

TEST(AppClientNotReady, WithoutReconnectionTheConnectionIsClosed) {
    ScriptedServer mute;
    AppClient client(kQuiet);
    com_nax::CSTimings timings = fastTimings();
    timings.readyTimeout = std::chrono::milliseconds(200);
    client.setTimings(timings);
    ASSERT_EQ(CSClient::RESULT_OK, client.open("127.0.0.1", mute.port(), nullptr));
    ASSERT_TRUE(mute.waitForConnections(1, kWait));
    EXPECT_TRUE(testsupport::waitUntil(
        [&] { return client.getConnectionState() == CSClient::STATE_DISCONNECTED; }, kWait))
        << "the never-ready connection was not closed";
    EXPECT_EQ(1u, mute.connections());
}

TEST_F(AppClientTest, ReadyConnectionOutlivesTheReadyTimeout) {
    com_nax::CSTimings timings = fastTimings();
    timings.readyTimeout = std::chrono::milliseconds(100);
    client->setTimings(timings);
    openAndWaitReady();
    // The bound concerns the start-up only: a ready, quiet server is kept.
    EXPECT_FALSE(server.waitForConnections(2, std::chrono::milliseconds(600)))
        << "a ready connection was dropped by the start-up bound";
    EXPECT_EQ(CSClient::STATE_READY, client->getConnectionState());
}
