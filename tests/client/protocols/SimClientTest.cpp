#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "client/protocols/CallbackRecorder.h"
#include "client/protocols/FastTimings.h"
#include "client/protocols/HexBytes.h"
#include "client/protocols/PayloadBuilder.h"
#include "client/protocols/ScriptedServer.h"
#include "client/protocols/SimClient.h"
#include "support/WaitUntil.h"

using com_nax::CSClient;
using com_nax::SimClient;
using prototest::codeOf;
using prototest::hex;
using prototest::nameField;
using prototest::Payload;
using prototest::ScriptedServer;
using prototest::wordAt;
using Frames = std::vector<ScriptedServer::Frame>;

namespace {

constexpr unsigned kAuto = com_nax::OPTION_AUTO_RECONNECT;
constexpr unsigned kQuiet = com_nax::OPTION_QUIET;

using Recorder = prototest::CallbackRecorder<SimClient::Callback>;

using prototest::fastTimings;

std::size_t countCode(const Frames& frames, std::uint16_t code, unsigned connection = 0) {
    std::size_t n = 0;
    for (const auto& f : frames) {
        if (codeOf(f) == code && (connection == 0 || f.connection == connection)) {
            ++n;
        }
    }
    return n;
}

std::optional<ScriptedServer::Frame> lastWithCode(const Frames& frames, std::uint16_t code) {
    std::optional<ScriptedServer::Frame> found;
    for (const auto& f : frames) {
        if (codeOf(f) == code) {
            found = f;
        }
    }
    return found;
}

Payload inputReply(
    const std::vector<std::tuple<std::uint32_t, bool, std::uint32_t, std::string>>& records) {
    Payload p(4, 2, 0x0101);
    p.u32(0).u32(static_cast<std::uint32_t>(records.size()));
    for (const auto& [id, isInt, bits, name] : records) {
        p.u32(id).zeros(8).u32(isInt ? 1 : 0).u32(bits).text(name);
    }
    return p;
}

Payload outputReply(const std::vector<std::pair<std::uint32_t, std::string>>& records) {
    Payload p(4, 2, 0x0102);
    p.u32(0).u32(static_cast<std::uint32_t>(records.size()));
    for (const auto& [id, name] : records) {
        p.u32(id).zeros(12).text(name);
    }
    return p;
}

Payload update(const std::vector<std::tuple<std::uint32_t, bool, std::uint32_t>>& records) {
    Payload p(4, 2, 0x0003);
    p.u32(0).u32(0).u32(static_cast<std::uint32_t>(records.size()));
    for (const auto& [id, isInt, bits] : records) {
        p.u32(id).u32(isInt ? 1 : 0).u32(bits);
    }
    return p;
}

Payload versionReply(std::uint32_t idWord, const std::string& text, std::uint32_t status) {
    Payload p(4, 2, 0x0106);
    p.u32(idWord).text(text, 128).u32(7).u32(status);
    return p;
}

std::uint32_t bitsOf(float f) {
    std::uint32_t v;
    std::memcpy(&v, &f, 4);
    return v;
}

class SimClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        client = std::make_unique<SimClient>(1, kAuto | kQuiet);
        client->setTimings(fastTimings());
        client->addCallbackInterface(&recorder);
    }
    void TearDown() override {
        client.reset();  // waits for the receive thread before the recorder goes
    }

    void openAndWaitReady() {
        ASSERT_EQ(CSClient::RESULT_OK, client->open("127.0.0.1", server.port(), nullptr));
        ASSERT_TRUE(recorder.waitFor([&] {
            return !recorder.states.empty() &&
                   recorder.states.back().second == CSClient::STATE_READY;
        })) << "the SIM client never reached STATE_READY";
    }

    bool waitFrames(std::function<bool(const Frames&)> predicate) {
        return server.waitFor(std::move(predicate));
    }

    ScriptedServer server;
    Recorder recorder;
    std::unique_ptr<SimClient> client;
};

}  // namespace

TEST_F(SimClientTest, StartUpSendsVersionRequestAndTheSubscriptionByteForByte) {
    const std::string name31(31, 'n');
    ASSERT_EQ(CSClient::RESULT_OK, client->registerInputParameters(std::vector<CSClient::InputDef>{
                                       {"HW_PATSPEED", CSClient::PARAM_INT, 0},
                                       {"WAVE", CSClient::PARAM_FLOAT, 1},
                                       {name31, CSClient::PARAM_FLOAT, 3}}));
    openAndWaitReady();
    ASSERT_TRUE(waitFrames([](const Frames& f) { return countCode(f, 1) == 1; }))
        << "no input subscription reached the server";
    const Frames frames = server.frames();
    const auto version = lastWithCode(frames, 6);
    ASSERT_TRUE(version.has_value()) << "no version request";
    EXPECT_EQ(0u, version->kind);
    EXPECT_EQ(hex("04 02 7F FF 00 00 00 14 00 7F 00 06 00 01 00 00 00 00 00 00"), version->payload);
    const auto sub = lastWithCode(frames, 1);
    // Inputs go out in the order given, rate words twice, the integer flag for int inputs.
    const auto want =
        hex("04 02 7F FF 00 00 00 98 00 7F 00 01 00 01 00 00 00 00 00 03" +
            std::string(" 00 00 00 00 00 00 00 00 00 00 00 01 ") + nameField("HW_PATSPEED") +
            " 00 00 2E E0 00 00 2E E0 00 00 00 00 " + nameField("WAVE") +
            " 00 01 D4 C0 00 01 D4 C0 00 00 00 00 " + nameField(name31));
    EXPECT_EQ(prototest::toHex(want), prototest::toHex(sub->payload));
}

TEST_F(SimClientTest, SubscriptionReplyConfirmsAndDeliversInitialValues) {
    ASSERT_EQ(CSClient::RESULT_OK,
              client->registerInputParameters(std::vector<CSClient::InputDef>{
                  {"A", CSClient::PARAM_INT, 0}, {"B", CSClient::PARAM_FLOAT, 0}}));
    openAndWaitReady();
    ASSERT_TRUE(waitFrames([](const Frames& f) { return countCode(f, 1) >= 1; }));
    server.send(inputReply({{11, true, 0xFFFFFFFD, "A"},
                            {12, false, bitsOf(36.5f), "B"},
                            {13, false, 0, "NEVER_ASKED"}}));
    ASSERT_TRUE(recorder.waitFor([&] { return !recorder.updates.empty(); }))
        << "no initial values after the subscription reply";
    recorder.read([&] {
        ASSERT_EQ(1u, recorder.inputConfirmations.size());
        ASSERT_EQ(2u, recorder.inputConfirmations[0].size());
        EXPECT_EQ("A", recorder.inputConfirmations[0][0].id);
        EXPECT_EQ(CSClient::PARAM_INT, recorder.inputConfirmations[0][0].type);
        const auto& values = recorder.updates[0];
        ASSERT_EQ(2u, values.size());
        EXPECT_EQ(CSClient::PARAM_INT, values[0].type);
        EXPECT_EQ(-3, values[0].value.intValue);
        EXPECT_EQ(CSClient::PARAM_FLOAT, values[1].type);
        EXPECT_FLOAT_EQ(36.5f, values[1].value.floatValue);
        EXPECT_FALSE(values[1].override);
    });
    EXPECT_TRUE(client->isInputParameterRegistered("A"));
    EXPECT_EQ(2u, client->getNumberOfRegisteredInputParameters());
    EXPECT_EQ(0u, client->getNumberOfUnregisteredInputParameters());

    // Only unknown names: the callbacks still run, with empty lists.
    server.send(inputReply({{14, false, 0, "UNKNOWN"}}));
    ASSERT_TRUE(recorder.waitFor([&] { return recorder.updates.size() == 2; }));
    recorder.read([&] {
        EXPECT_TRUE(recorder.inputConfirmations[1].empty());
        EXPECT_TRUE(recorder.updates[1].empty());
    });
}

TEST_F(SimClientTest, UpdatesKeepRecordOrderAndDropZeroAndUnknownIds) {
    client->registerInputParameters(std::vector<CSClient::InputDef>{
        {"A", CSClient::PARAM_INT, 0}, {"B", CSClient::PARAM_FLOAT, 0}});
    openAndWaitReady();
    ASSERT_TRUE(waitFrames([](const Frames& f) { return countCode(f, 1) >= 1; }));
    server.send(inputReply({{11, true, 0, "A"}, {12, false, 0, "B"}}));
    ASSERT_TRUE(recorder.waitFor([&] { return recorder.updates.size() == 1; }));

    server.send(update({{0, true, 5}, {99, true, 6}}));  // every record dropped: no callback
    server.send(update({{12, false, bitsOf(1.5f)}, {0, true, 7}, {11, true, 60}, {77, true, 8}}));
    ASSERT_TRUE(recorder.waitFor([&] { return recorder.updates.size() >= 2; }))
        << "the value update never reached the callback";
    recorder.read([&] {
        ASSERT_EQ(2u, recorder.updates.size()) << "an update of dropped records was delivered";
        const auto& values = recorder.updates[1];
        ASSERT_EQ(2u, values.size());
        EXPECT_EQ("B", values[0].id);
        EXPECT_FLOAT_EQ(1.5f, values[0].value.floatValue);
        EXPECT_EQ("A", values[1].id);
        EXPECT_EQ(60, values[1].value.intValue);
    });
}

TEST_F(SimClientTest, OutputPublishedBeforeConfirmationIsSentAgainUnderItsId) {
    // Registered before the connection, so the registration goes out once, at ready.
    ASSERT_EQ(CSClient::RESULT_OK,
              client->registerOutputParameters(std::vector<CSClient::OutputDef>{
                  {"OUT_I", CSClient::PARAM_INT}, {"OUT_F", CSClient::PARAM_FLOAT}}));
    openAndWaitReady();
    ASSERT_TRUE(waitFrames([](const Frames& f) { return countCode(f, 2) == 1; }));
    ASSERT_EQ(CSClient::RESULT_OK,
              client->publishParameter(CSClient::Parameter::makeInt("OUT_I", 42)));
    ASSERT_TRUE(
        waitFrames([](const Frames& f) { return countCode(f, 2) == 1 && countCode(f, 3) == 1; }));
    const auto first = lastWithCode(server.frames(), 3);
    EXPECT_EQ(hex("04 02 7F FF 00 00 00 24 00 7F 00 03 00 01 00 00 00 00 00 00 00 00 00 01"
                  " 00 0F FF FF 00 00 00 01 00 00 00 2A"),
              first->payload);
    // Sent by the re-registration at ready, which walks the outputs in id order.
    const auto reg = lastWithCode(server.frames(), 2);
    EXPECT_EQ(
        hex("04 02 7F FF 00 00 00 64 00 7F 00 02 00 01 00 00 00 00 00 02 00 00 04 B0 00 00 00 00 " +
            nameField("OUT_F") + " 00 00 04 B0 00 00 00 01 " + nameField("OUT_I")),
        reg->payload);

    server.send(outputReply({{21, "OUT_F"}, {22, "OUT_I"}}));
    ASSERT_TRUE(waitFrames([](const Frames& f) { return countCode(f, 3) == 2; }))
        << "the held value was not published again after the confirmation";
    const auto again = lastWithCode(server.frames(), 3);
    EXPECT_EQ(0u, wordAt(*again, 16));  // PUBLISH_NORMAL
    EXPECT_EQ(1u, wordAt(*again, 20));  // only the output that holds a value
    EXPECT_EQ(22u, wordAt(*again, 24));
    EXPECT_EQ(42u, wordAt(*again, 32));
    recorder.read([&] {
        ASSERT_EQ(1u, recorder.outputConfirmations.size());
        EXPECT_EQ(2u, recorder.outputConfirmations[0].size());
    });
    EXPECT_EQ(2u, client->getNumberOfRegisteredOutputParameters());
}

TEST_F(SimClientTest, VersionReplyWithAnotherIdReregistersOnce) {
    client->registerInputParameter({"A", CSClient::PARAM_INT, 0});
    client->registerOutputParameter({"O", CSClient::PARAM_FLOAT});
    openAndWaitReady();
    ASSERT_TRUE(
        waitFrames([](const Frames& f) { return countCode(f, 1) == 1 && countCode(f, 2) == 1; }));

    server.send(versionReply(1u << 16, "same id", 1));
    ASSERT_TRUE(testsupport::waitUntil([&] { return client->getServerVersion() == "same id"; },
                                       std::chrono::milliseconds(5000)))
        << "the version text was not taken";
    EXPECT_EQ(7u, client->getProtocolVersion());

    server.send(versionReply(9u << 16, "ignored", 0));  // status other than 1
    server.send(versionReply(5u << 16, "new id", 1));
    ASSERT_TRUE(waitFrames([](const Frames& f) {
        return countCode(f, 1) == 2 && countCode(f, 2) == 2;
    })) << "a new simulator id did not re-register inputs and outputs";
    const Frames frames = server.frames();
    EXPECT_EQ(5u << 16, wordAt(*lastWithCode(frames, 1), 12));
    EXPECT_EQ(5u << 16, wordAt(*lastWithCode(frames, 2), 12));
    EXPECT_EQ(5u, client->getSimulatorId());
    EXPECT_EQ("new id", client->getServerVersion());
    EXPECT_EQ(2u, countCode(server.frames(), 1)) << "re-registered more than once";
}

TEST_F(SimClientTest, IdWithTopBitSetIsNotAdoptedButStillReregisters) {
    client->registerInputParameter({"A", CSClient::PARAM_INT, 0});
    openAndWaitReady();
    ASSERT_TRUE(waitFrames([](const Frames& f) { return countCode(f, 1) == 1; }));
    server.send(versionReply(0x80010000u, "odd", 1));
    ASSERT_TRUE(waitFrames([](const Frames& f) { return countCode(f, 1) == 2; }));
    EXPECT_EQ(1u, client->getSimulatorId());
    EXPECT_EQ(1u << 16, wordAt(*lastWithCode(server.frames(), 1), 12));
}

TEST_F(SimClientTest, DroppedConnectionReconnectsAndRegistersAgain) {
    client->registerInputParameter({"HW_PATSPEED", CSClient::PARAM_INT, 0});
    openAndWaitReady();
    ASSERT_TRUE(waitFrames([](const Frames& f) { return countCode(f, 1, 1) == 1; }));
    server.send(inputReply({{31, true, 1, "HW_PATSPEED"}}));
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return client->isInputParameterRegistered("HW_PATSPEED"); },
                               std::chrono::milliseconds(5000)));

    server.dropClient();
    ASSERT_TRUE(waitFrames([](const Frames& f) { return countCode(f, 1, 2) == 1; }))
        << "no subscription on the second connection";
    EXPECT_EQ(1u, countCode(server.frames(), 6, 2)) << "no version request after reconnecting";
    EXPECT_FALSE(client->isInputParameterRegistered("HW_PATSPEED"));  // waits for its new reply
    server.send(inputReply({{32, true, 0, "HW_PATSPEED"}}));
    server.send(update({{32, true, 1}}));
    ASSERT_TRUE(recorder.waitFor([&] {
        return !recorder.updates.empty() && recorder.updates.back().size() == 1 &&
               recorder.updates.back()[0].value.intValue == 1 && recorder.updates.size() >= 3;
    })) << "updates under the new server id never arrived";
    recorder.read([&] {
        bool sawReconnect = false;
        for (const auto& s : recorder.states) {
            sawReconnect |=
                s.first == CSClient::STATE_READY && s.second == CSClient::STATE_RECONNECTING;
        }
        EXPECT_TRUE(sawReconnect);
    });
}

TEST(SimClient, SimulatorIdIsFifteenBits) {
    SimClient client(1, kQuiet);
    EXPECT_EQ(CSClient::RESULT_INVALID_ARGUMENT, client.setSimulatorId(0x8000));
    EXPECT_EQ(1u, client.getSimulatorId());
    EXPECT_EQ(CSClient::RESULT_OK, client.setSimulatorId(0x7FFF));
    EXPECT_EQ(0x7FFFu, client.getSimulatorId());
}

TEST(SimClient, RequestsWhileDisconnectedAreAcceptedAndWait) {
    SimClient client(1, 0);
    EXPECT_EQ(CSClient::RESULT_OK, client.registerInputParameter({"A", CSClient::PARAM_INT, 0}));
    EXPECT_EQ(CSClient::RESULT_OK, client.registerOutputParameter({"O", CSClient::PARAM_INT}));
    EXPECT_EQ(CSClient::RESULT_OK, client.publishParameter(CSClient::Parameter::makeInt("O", 3)));
    EXPECT_EQ(1u, client.getNumberOfUnregisteredInputParameters());
}

TEST_F(SimClientTest, UnknownOutputNameIsReportedEvenWhenQuiet) {
    client->registerOutputParameter({"O", CSClient::PARAM_FLOAT});
    openAndWaitReady();
    ASSERT_TRUE(waitFrames([](const Frames& f) { return countCode(f, 2) == 1; }));
    ::testing::internal::CaptureStderr();
    server.send(outputReply({{7, "NOPE"}}));
    const bool called = recorder.waitFor([&] { return recorder.outputConfirmations.size() == 1; });
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(called) << "registrationComplete was not called for an all-unknown reply";
    EXPECT_NE(std::string::npos, err.find("Parameter not found: NOPE(7)\n")) << err;
    EXPECT_FALSE(client->isOutputParameterRegistered("O"));
}

TEST_F(SimClientTest, ValuesTakeTheRegisteredTypeWhateverFlagTheServerSends) {
    client->registerInputParameters(std::vector<CSClient::InputDef>{
        {"HW_PATSPEED", CSClient::PARAM_INT, 0}, {"T", CSClient::PARAM_FLOAT, 0}});
    openAndWaitReady();
    ASSERT_TRUE(waitFrames([](const Frames& f) { return countCode(f, 1) >= 1; }));
    // The initial values of the reply follow the same rule as the updates.
    server.send(inputReply({{11, false, bitsOf(1.0f), "HW_PATSPEED"}, {12, true, 37, "T"}}));
    ASSERT_TRUE(recorder.waitFor([&] { return recorder.updates.size() == 1; }));
    server.send(update({{11, false, bitsOf(1.0f)},
                        {11, false, bitsOf(-2.7f)},
                        {11, false, 0x7FC00000},  // NaN
                        {11, false, bitsOf(3e9f)},
                        {11, false, bitsOf(-3e9f)},
                        {11, true, 4},
                        {12, true, 0xFFFFFFFE},
                        {12, false, bitsOf(36.5f)}}));
    ASSERT_TRUE(recorder.waitFor([&] { return recorder.updates.size() == 2; }))
        << "the value update never reached the callback";
    recorder.read([&] {
        const auto& initial = recorder.updates[0];
        ASSERT_EQ(2u, initial.size());
        EXPECT_EQ(CSClient::PARAM_INT, initial[0].type);
        EXPECT_EQ(1, initial[0].value.intValue);
        EXPECT_EQ(CSClient::PARAM_FLOAT, initial[1].type);
        EXPECT_FLOAT_EQ(37.0f, initial[1].value.floatValue);

        const auto& v = recorder.updates[1];
        ASSERT_EQ(8u, v.size());
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(CSClient::PARAM_INT, v[i].type) << "record " << i;
        }
        EXPECT_EQ(1, v[0].value.intValue) << "a speed of 1.0 must read as 1";
        EXPECT_EQ(-2, v[1].value.intValue);
        EXPECT_EQ(0, v[2].value.intValue) << "NaN reads as 0";
        EXPECT_EQ(2147483647, v[3].value.intValue);
        EXPECT_EQ(-2147483647 - 1, v[4].value.intValue);
        EXPECT_EQ(4, v[5].value.intValue);
        EXPECT_EQ(CSClient::PARAM_FLOAT, v[6].type);
        EXPECT_FLOAT_EQ(-2.0f, v[6].value.floatValue);
        EXPECT_EQ(CSClient::PARAM_FLOAT, v[7].type);
        EXPECT_FLOAT_EQ(36.5f, v[7].value.floatValue);
    });
}

TEST_F(SimClientTest, PeerTextIsPrintedWithControlCharactersEscaped) {
    client.reset();
    client = std::make_unique<SimClient>(1, kAuto);  // not quiet: the progress lines count
    client->setTimings(fastTimings());
    client->addCallbackInterface(&recorder);
    client->registerOutputParameter({"O", CSClient::PARAM_FLOAT});
    openAndWaitReady();
    ASSERT_TRUE(waitFrames([](const Frames& f) { return countCode(f, 2) == 1; }));
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    // One receive thread handles both in order: the second one's callback means
    // both lines are out.
    server.send(versionReply(1u << 16, "v2\nMR>ERROR>forged\x1b[0m", 1));
    server.send(outputReply({{7, "NO\nPE"}}));
    const bool confirmed =
        recorder.waitFor([&] { return recorder.outputConfirmations.size() == 1; });
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(confirmed) << "the output reply was not handled";
    EXPECT_NE(std::string::npos, out.find("Found server version: v2\\x0aMR>ERROR>forged\\x1b[0m\n"))
        << out;
    EXPECT_EQ(std::string::npos, out.find("\nMR>ERROR>forged")) << out;
    EXPECT_NE(std::string::npos, err.find("Parameter not found: NO\\x0aPE(7)\n")) << err;
    // The stored version keeps the peer's text as it came.
    EXPECT_EQ("v2\nMR>ERROR>forged\x1b[0m", client->getServerVersion());
}
