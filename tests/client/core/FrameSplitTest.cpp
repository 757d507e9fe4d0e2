// The receive path over a transport that hands out scripted chunks: frames cut
// anywhere are put back together, and one receive may carry many frames.
#include <gtest/gtest.h>

#include <deque>

#include "LoopbackPeer.h"
#include "TestProtocol.h"

using com_nax::CSClient;
using com_nax::RawMessage;

namespace {

// Each receive hands out the next chunk; none left reads as a receive timeout.
struct ScriptedTransport : com_nax::CSCommsInterfaceTCP {
    ScriptedTransport() : CSCommsInterfaceTCP(Options()) {}
    int receiveAvailable(unsigned) override {
        if (chunks.empty()) {
            return -2;
        }
        const std::vector<uint8_t> chunk = chunks.front();
        chunks.pop_front();
        receiveBuffer().append(chunk.data(), static_cast<unsigned>(chunk.size()));
        ++receives;
        return static_cast<int>(chunk.size());
    }
    std::deque<std::vector<uint8_t>> chunks;
    unsigned receives = 0;
};

// The engine's receive step, driven from the test's thread.
struct DrivenProtocol : coretest::TestProtocol {
    DrivenProtocol() : TestProtocol(0) {
        changeCommsInterface(transport);
        state_.store(CSClient::STATE_READY);
    }
    // Runs receive steps until the script is used up.
    void drain() {
        while (!transport->chunks.empty()) {
            receiveMessage();
        }
        receiveMessage();  // whole frames left in the buffer
    }
    ScriptedTransport* transport = new ScriptedTransport;  // owned by the engine
};

std::vector<uint8_t> twoFrames() {
    std::vector<uint8_t> stream = coretest::dataFrame({4, 2, 0, 0, 0, 0, 0, 9, 1, 2, 3, 4, 5});
    const auto flow = coretest::frameBytes(36, 3, {0, 0, 0, 1});
    stream.insert(stream.end(), flow.begin(), flow.end());
    return stream;
}

void expectBoth(const std::vector<RawMessage>& got, const std::string& where) {
    ASSERT_EQ(got.size(), 2u) << where;
    EXPECT_EQ(got[0].getType(), RawMessage::MSG_DATA) << where;
    EXPECT_EQ(got[0].getBuffer(),
              (std::vector<unsigned char>{4, 2, 0, 0, 0, 0, 0, 9, 1, 2, 3, 4, 5}))
        << where;
    EXPECT_EQ(got[1].getType(), RawMessage::MSG_FLOW_CONTROL) << where;
    EXPECT_EQ(got[1].getDoubleWord(0), 1u) << where;
}

}  // namespace

TEST(FrameSplit, FramesCutAtEveryByteAreDeliveredWhole) {
    const std::vector<uint8_t> stream = twoFrames();
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        DrivenProtocol engine;
        engine.transport->chunks = {{stream.begin(), stream.begin() + cut},
                                    {stream.begin() + cut, stream.end()}};
        engine.drain();
        expectBoth(engine.received(), "cut at byte " + std::to_string(cut));
        EXPECT_EQ(engine.getState(), CSClient::STATE_READY);
    }
    // And every byte on its own.
    DrivenProtocol engine;
    for (uint8_t byte : stream) {
        engine.transport->chunks.push_back({byte});
    }
    engine.drain();
    expectBoth(engine.received(), "one byte per receive");
}

TEST(FrameSplit, ManyFramesOfOneReceiveAreAllDelivered) {
    DrivenProtocol engine;
    std::vector<uint8_t> stream;
    for (uint8_t i = 0; i < 100; ++i) {
        const auto frame = coretest::dataFrame({4, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, i});
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    engine.transport->chunks = {stream};
    engine.drain();
    const auto got = engine.received();
    ASSERT_EQ(got.size(), 100u);
    for (unsigned i = 0; i < 100; ++i) {
        EXPECT_EQ(got[i].getBuffer().back(), i);
    }
    EXPECT_EQ(engine.transport->receives, 1u) << "the frames took more than one receive";
}
