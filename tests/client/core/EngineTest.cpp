#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "LoopbackPeer.h"
#include "TestProtocol.h"
#include "support/WaitUntil.h"

using com_nax::CSClient;
using com_nax::RawMessage;
using coretest::LoopbackPeer;
using coretest::StateRecorder;
using coretest::TestClient;
using testsupport::waitUntil;
using namespace std::chrono_literals;

namespace {

using Change = std::pair<CSClient::State, CSClient::State>;
constexpr auto kDeadline = 3000ms;

// Fails every write while `fail` is set.
struct FailingTransport : com_nax::CSCommsInterfaceTCP {
    FailingTransport() : CSCommsInterfaceTCP(Options()) {}
    int writeMessage(const RawMessage& message) override {
        if (fail.load()) {
            errno = EPIPE;
            return -1;
        }
        return CSCommsInterfaceTCP::writeMessage(message);
    }
    std::atomic<bool> fail{false};
};

std::vector<uint16_t> codesSent(const LoopbackPeer& peer, std::size_t connection) {
    std::vector<uint16_t> codes;
    for (const auto& payload : coretest::payloadsOf(peer.received(connection))) {
        if (payload.size() >= 12) {
            codes.push_back(static_cast<uint16_t>((payload[10] << 8) | payload[11]));
        }
    }
    return codes;
}

bool contains(const std::vector<uint16_t>& codes, uint16_t code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

struct Fixture : testing::Test {
    void start(unsigned options) {
        client = std::make_unique<TestClient>(options);
        client->setTimings(coretest::fastTimings());
        client->addCallbackInterface(&recorder);
    }
    bool openTo(unsigned port) {
        return client->open("127.0.0.1", port, nullptr) == CSClient::RESULT_OK;
    }
    bool reach(CSClient::State state) {
        return waitUntil([&] { return client->getConnectionState() == state; }, kDeadline);
    }
    // Ready, and the peer has accepted the connection (so that it can send on it).
    bool readyWith(const LoopbackPeer& peer, std::size_t connections = 1) {
        return reach(CSClient::STATE_READY) &&
               waitUntil([&] { return peer.connectionCount() == connections; }, kDeadline);
    }
    void TearDown() override { client.reset(); }

    StateRecorder recorder;
    std::unique_ptr<TestClient> client;
};

}  // namespace

TEST_F(Fixture, ConnectsInTheBackgroundAndClosesPromptly) {
    LoopbackPeer peer;
    start(0);
    ASSERT_TRUE(openTo(peer.port()));
    EXPECT_EQ(client->open("127.0.0.1", peer.port(), nullptr), CSClient::RESULT_COMMS_ERROR);
    ASSERT_TRUE(reach(CSClient::STATE_READY)) << "the engine never became ready";
    EXPECT_EQ(client->getServerIPAddress(), "127.0.0.1");
    EXPECT_EQ(client->getServerPort(), peer.port());
    ASSERT_TRUE(
        waitUntil([&] { return contains(codesSent(peer, 0), coretest::CODE_VERSION); }, kDeadline))
        << "no version request reached the server";

    client->close();
    EXPECT_EQ(client->getConnectionState(), CSClient::STATE_DISCONNECTED);
    EXPECT_EQ(client->getServerIPAddress(), "0.0.0.0");
    const std::vector<Change> expected = {
        {CSClient::STATE_DISCONNECTED, CSClient::STATE_CONNECTING},
        {CSClient::STATE_CONNECTING, CSClient::STATE_CONNECTED},
        {CSClient::STATE_CONNECTED, CSClient::STATE_READY},
        {CSClient::STATE_READY, CSClient::STATE_DISCONNECTING},
        {CSClient::STATE_DISCONNECTING, CSClient::STATE_DISCONNECTED}};
    EXPECT_EQ(recorder.changes(), expected);
    // The engine can be opened again once disconnected.
    ASSERT_TRUE(openTo(peer.port()));
    ASSERT_TRUE(reach(CSClient::STATE_READY)) << "a second open never became ready";
}

TEST_F(Fixture, RefusedServerWithoutReconnectionEndsDisconnected) {
    start(0);
    ASSERT_TRUE(openTo(coretest::refusedPort()));
    ASSERT_TRUE(reach(CSClient::STATE_DISCONNECTED)) << "the failed attempt never ended";
    ASSERT_TRUE(waitUntil([&] { return recorder.changes().size() == 3; }, kDeadline));
    const std::vector<Change> expected = {
        {CSClient::STATE_DISCONNECTED, CSClient::STATE_CONNECTING},
        {CSClient::STATE_CONNECTING, CSClient::STATE_DISCONNECTING},
        {CSClient::STATE_DISCONNECTING, CSClient::STATE_DISCONNECTED}};
    EXPECT_EQ(recorder.changes(), expected);
}

TEST_F(Fixture, RefusedServerIsRetriedUntilItListens) {
    LoopbackPeer peer(false);  // port reserved, connections refused
    start(com_nax::OPTION_AUTO_RECONNECT);
    ASSERT_TRUE(openTo(peer.port()));
    EXPECT_FALSE(client->waitForConnectionState(CSClient::STATE_READY, 0));
    // Several reconnection pauses pass without leaving STATE_CONNECTING.
    EXPECT_FALSE(client->waitForConnectionState(CSClient::STATE_READY, 10));
    EXPECT_EQ(client->getConnectionState(), CSClient::STATE_CONNECTING);
    peer.startListening();
    ASSERT_TRUE(reach(CSClient::STATE_READY)) << "the retried connection never succeeded";
}

TEST_F(Fixture, ForceCloseWhileRetryingEndsWithTheThreadGone) {
    start(com_nax::OPTION_AUTO_RECONNECT);
    ASSERT_TRUE(openTo(coretest::refusedPort()));
    client->engine->forceCloseConnection();
    EXPECT_TRUE(recorder.saw(CSClient::STATE_CONNECTING, CSClient::STATE_DISCONNECTING));
    ASSERT_TRUE(reach(CSClient::STATE_DISCONNECTED)) << "the close never completed";
    // A new open needs the old thread gone: it succeeds at once.
    EXPECT_EQ(client->open("127.0.0.1", coretest::refusedPort(), nullptr), CSClient::RESULT_OK);
}

TEST_F(Fixture, LostReadyConnectionReconnectsAndReRegisters) {
    LoopbackPeer peer;
    start(com_nax::OPTION_AUTO_RECONNECT);
    const CSClient::InputDef input{"HR", CSClient::PARAM_FLOAT, 0};
    ASSERT_EQ(client->registerInputParameter(input), CSClient::RESULT_OK);
    const CSClient::OutputDef output{"OUT", CSClient::PARAM_INT};
    ASSERT_EQ(client->registerOutputParameter(output), CSClient::RESULT_OK);
    ASSERT_TRUE(openTo(peer.port()));
    ASSERT_TRUE(reach(CSClient::STATE_READY));
    // Both registrations are out before the peer closes, so the loss is seen by the read.
    ASSERT_TRUE(waitUntil([&] { return contains(codesSent(peer, 0), coretest::CODE_OUTPUT_SUB); },
                          kDeadline))
        << "the early registration never went out";
    EXPECT_TRUE(contains(codesSent(peer, 0), coretest::CODE_INPUT_SUB));

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    peer.closeNewest();
    const bool back = waitUntil(
        [&] {
            return peer.connectionCount() == 2 &&
                   contains(codesSent(peer, 1), coretest::CODE_OUTPUT_SUB) &&
                   recorder.changes().size() >= 7;
        },
        kDeadline);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(back) << "no reconnection with re-registration";
    EXPECT_NE(err.find("Connection closed by server.\n"), std::string::npos) << err;
    EXPECT_NE(out.find("Attempting to reconnect...\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Re-registering input/output parameters (1/1)...\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Registering 1 input parameters with server...\n"), std::string::npos);
    const auto changes = recorder.changes();
    const std::vector<Change> tail(changes.begin() + 3, changes.begin() + 7);
    const std::vector<Change> expected = {
        {CSClient::STATE_READY, CSClient::STATE_RECONNECTING},
        {CSClient::STATE_RECONNECTING, CSClient::STATE_CONNECTING},
        {CSClient::STATE_CONNECTING, CSClient::STATE_CONNECTED},
        {CSClient::STATE_CONNECTED, CSClient::STATE_READY}};
    EXPECT_EQ(tail, expected);
    EXPECT_TRUE(client->engine->hasInputParameter("HR", false)) << "the registry was lost";
}

TEST_F(Fixture, DeliversPayloadsByFrameKind) {
    LoopbackPeer peer;
    start(0);
    ASSERT_TRUE(openTo(peer.port()));
    ASSERT_TRUE(readyWith(peer)) << "no ready connection accepted by the peer";
    const std::vector<uint8_t> payload = {4, 2, 0x7F, 0xFF, 0, 0, 0, 16, 0, 0x7F, 0, 3, 1, 2, 3, 4};
    std::vector<uint8_t> stream = coretest::dataFrame(payload);
    const auto flow = coretest::frameBytes(36, 3, {0, 0, 0, 1});
    const auto odd = coretest::frameBytes(34, 7, {9, 9});
    stream.insert(stream.end(), flow.begin(), flow.end());
    stream.insert(stream.end(), odd.begin(), odd.end());
    ASSERT_TRUE(peer.sendRaw(stream));
    ASSERT_TRUE(waitUntil([&] { return client->engine->received().size() == 3; }, kDeadline))
        << "not all three frames were delivered";
    const auto got = client->engine->received();
    EXPECT_EQ(got[0].getType(), RawMessage::MSG_DATA);
    EXPECT_EQ(got[0].getBuffer(), std::vector<unsigned char>(payload.begin(), payload.end()));
    EXPECT_EQ(got[1].getType(), RawMessage::MSG_FLOW_CONTROL);
    EXPECT_EQ(got[1].getDoubleWord(0), 1u);
    EXPECT_EQ(got[2].getType(), RawMessage::MSG_INVALID);
    EXPECT_EQ(got[2].size(), 2u);
}

TEST_F(Fixture, InvalidAndOversizedFrameLengthsCloseTheConnection) {
    for (const uint32_t length : {32u, 32u + RawMessage::MAX_PAYLOAD_SIZE + 1u}) {
        LoopbackPeer peer;
        start(0);
        ASSERT_TRUE(openTo(peer.port()));
        ASSERT_TRUE(readyWith(peer)) << "no ready connection accepted by the peer";
        testing::internal::CaptureStderr();
        ASSERT_TRUE(peer.sendRaw(coretest::frameBytes(length, 0, {})));
        const bool closed = reach(CSClient::STATE_DISCONNECTED);
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(closed) << "frame length " << length << " did not close the connection";
        EXPECT_NE(err.find("Invalid message data received (" + std::to_string(length) +
                           "). Closing connection.\n"),
                  std::string::npos)
            << err;
        EXPECT_TRUE(client->engine->received().empty());
        client.reset();
    }
}

TEST_F(Fixture, StalledFrameGivesWayToARequestedClose) {
    LoopbackPeer peer;
    start(com_nax::OPTION_AUTO_RECONNECT);
    auto timings = coretest::fastTimings();
    timings.payloadStallLimit = 60000ms;  // only the close request may end the wait
    client->setTimings(timings);
    ASSERT_TRUE(openTo(peer.port()));
    ASSERT_TRUE(readyWith(peer)) << "no ready connection accepted by the peer";
    auto partial = coretest::frameBytes(132, 0, std::vector<uint8_t>(10, 1));
    ASSERT_TRUE(peer.sendRaw(partial));
    client->close();
    ASSERT_TRUE(reach(CSClient::STATE_DISCONNECTED)) << "the stalled receive thread kept the close";
    EXPECT_TRUE(client->engine->received().empty());
}

TEST_F(Fixture, StalledFrameIsGivenUpAfterTheBound) {
    LoopbackPeer peer;
    start(0);
    ASSERT_TRUE(openTo(peer.port()));
    ASSERT_TRUE(readyWith(peer)) << "no ready connection accepted by the peer";
    testing::internal::CaptureStderr();
    ASSERT_TRUE(peer.sendRaw(coretest::frameBytes(132, 0, std::vector<uint8_t>(10, 1))));
    const bool closed = reach(CSClient::STATE_DISCONNECTED);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(closed) << "a stalled frame was never given up";
    EXPECT_NE(err.find("Read error. Closing connection.\n"), std::string::npos) << err;
}

TEST_F(Fixture, TricklingFrameIsGivenUpWithinTheStallBoundAndReconnected) {
    LoopbackPeer peer;
    start(com_nax::OPTION_AUTO_RECONNECT);
    auto timings = coretest::fastTimings();
    timings.payloadStallLimit = 600ms;
    client->setTimings(timings);
    ASSERT_TRUE(openTo(peer.port()));
    ASSERT_TRUE(readyWith(peer)) << "no ready connection accepted by the peer";
    testing::internal::CaptureStderr();
    // Every byte comes well within the stall limit, the frame never whole.
    const auto frame = coretest::frameBytes(1032, 0, std::vector<uint8_t>(1000, 1));
    ASSERT_TRUE(peer.sendRaw(std::vector<uint8_t>(frame.begin(), frame.begin() + 40)));
    std::atomic<bool> stop{false};
    std::thread trickler([&] {
        for (std::size_t i = 40; i < frame.size() && !stop.load(); ++i) {
            std::this_thread::sleep_for(150ms);  // the server's pace, not a wait for the client
            if (peer.connectionCount() > 1 || !peer.sendRaw({frame[i]})) {
                return;
            }
        }
    });
    // The trickle would last 150 s; the limit ends the frame after 0.6 s.
    const bool reconnected = waitUntil([&] { return peer.connectionCount() == 2; }, 4s);
    stop.store(true);
    trickler.join();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(reconnected) << "a trickling server kept the receive thread in one frame";
    EXPECT_NE(err.find("Read error. Closing connection.\n"), std::string::npos) << err;
    EXPECT_TRUE(client->engine->received().empty());
}

TEST_F(Fixture, SendResultsAndTheFrameOnTheWire) {
    LoopbackPeer peer;
    start(0);
    RawMessage message(RawMessage::MSG_DATA);
    const char payload[20] = {4, 2, 0x7F, static_cast<char>(0xFF), 0, 0, 0, 0, 0, 0x7F, 0, 9};
    message.write(payload, sizeof payload);
    EXPECT_EQ(client->sendMessage(message), CSClient::RESULT_NOT_CONNECTED);
    ASSERT_TRUE(openTo(peer.port()));
    ASSERT_TRUE(reach(CSClient::STATE_READY));
    EXPECT_EQ(client->sendMessage(RawMessage(RawMessage::MSG_INVALID)),
              CSClient::RESULT_INVALID_ARGUMENT);
    const std::size_t before = peer.received(0).size();
    ASSERT_TRUE(waitUntil([&] { return !codesSent(peer, 0).empty(); }, kDeadline));
    EXPECT_EQ(client->sendMessage(message), CSClient::RESULT_OK);
    ASSERT_TRUE(waitUntil([&] { return contains(codesSent(peer, 0), 9); }, kDeadline));
    const auto stream = peer.received(0);
    ASSERT_GE(stream.size(), before + 52);
    const std::vector<uint8_t> frame(stream.end() - 52, stream.end());
    std::vector<uint8_t> expected = {0, 0, 0, 0x34, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0};
    expected.insert(expected.end(), 16, 0xFF);
    expected.insert(expected.end(), payload, payload + sizeof payload);
    expected[32 + 7] = 0x14;
    EXPECT_EQ(frame, expected);
}

TEST_F(Fixture, FailedWriteInsideAStateCallbackDoesNotDeadlock) {
    LoopbackPeer peer;
    start(0);
    auto* transport = new FailingTransport;
    ASSERT_TRUE(client->engine->changeCommsInterface(transport));
    transport->fail.store(true);
    // The version request at STATE_READY fails with the state lock held; so does a
    // send made by the callback itself.
    recorder.onState(CSClient::STATE_READY, [&] {
        client->sendMessage(RawMessage(reinterpret_cast<const char*>("\4\2abcdefghijklm"), 16,
                                       RawMessage::MSG_DATA));
    });
    testing::internal::CaptureStderr();
    ASSERT_TRUE(openTo(peer.port()));
    const bool closed = reach(CSClient::STATE_DISCONNECTED);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(closed) << "the close after a failed write never completed";
    EXPECT_NE(err.find("Error writing to server (" + std::to_string(EPIPE) + ") \n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(recorder.saw(CSClient::STATE_READY, CSClient::STATE_DISCONNECTING));
}

TEST_F(Fixture, FailedWriteUnderTheRegistryLockClosesThroughTheReceiveThread) {
    LoopbackPeer peer;
    start(com_nax::OPTION_AUTO_RECONNECT);
    auto* transport = new FailingTransport;
    ASSERT_TRUE(client->engine->changeCommsInterface(transport));
    ASSERT_TRUE(openTo(peer.port()));
    ASSERT_TRUE(readyWith(peer));
    // The version request goes out just after READY; only the registration may fail.
    ASSERT_TRUE(
        waitUntil([&] { return contains(codesSent(peer, 0), coretest::CODE_VERSION); }, kDeadline));
    transport->fail.store(true);
    testing::internal::CaptureStderr();
    const CSClient::Result result =
        client->registerInputParameter(CSClient::InputDef{"HR", CSClient::PARAM_FLOAT, 0});
    const bool reconnecting =
        waitUntil([&] { return recorder.saw(CSClient::STATE_READY, CSClient::STATE_RECONNECTING); },
                  kDeadline);
    transport->fail.store(false);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, CSClient::RESULT_COMMS_ERROR);
    ASSERT_TRUE(reconnecting) << "the failed registration never led to a reconnection";
    ASSERT_TRUE(waitUntil([&] { return peer.connectionCount() == 2; }, kDeadline));
    ASSERT_TRUE(waitUntil([&] { return contains(codesSent(peer, 1), coretest::CODE_INPUT_SUB); },
                          kDeadline))
        << "the registration was not sent again after reconnecting";
}

TEST_F(Fixture, CloseReturnsWhileTheReceiveThreadIsBusy) {
    LoopbackPeer peer;
    start(0);
    ASSERT_TRUE(openTo(peer.port()));
    ASSERT_TRUE(readyWith(peer)) << "no ready connection accepted by the peer";
    client->engine->setBlockHandler(true);
    ASSERT_TRUE(peer.sendRaw(coretest::dataFrame(std::vector<uint8_t>(12, 0))));
    ASSERT_TRUE(waitUntil([&] { return client->engine->received().size() == 1; }, kDeadline));
    client->close();  // bounded: the thread is held in the handler
    EXPECT_EQ(client->getConnectionState(), CSClient::STATE_DISCONNECTING);
    EXPECT_EQ(client->open("127.0.0.1", peer.port(), nullptr), CSClient::RESULT_COMMS_ERROR);
    client->engine->setBlockHandler(false);
    ASSERT_TRUE(reach(CSClient::STATE_DISCONNECTED));
}
