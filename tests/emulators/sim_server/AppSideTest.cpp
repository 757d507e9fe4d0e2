// The APP port against a raw loopback client on an ephemeral port.
#include <gtest/gtest.h>

#include "emulators/sim_server/AppMessages.h"
#include "emulators/sim_server/SimServerEmulator.h"
#include "tests/emulators/sim_server/RawClient.h"
#include "tests/support/WaitUntil.h"

using namespace simemu;
using namespace simemu_test;
using namespace std::chrono_literals;

namespace {

EmulatorOptions testOptions() {
    EmulatorOptions o;
    o.simPort = 0;
    o.appPort = 0;
    o.quiet = true;
    return o;
}

Bytes flowStart() {
    ByteWriter w;
    w.u32(0).u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(3);
    return w.take();
}

Bytes eventSubscription() {
    return head(1, 1, 0x20).u32(0).u32(0x7FFFFFFF).u32(0x7FFFFFFF).u32(0x7FFFFFFF).take();
}

Bytes subscription(std::uint32_t sceId, const std::vector<std::string>& names) {
    ByteWriter w = head(1, 2, 0x0006);
    w.u32(sceId).u32(static_cast<std::uint32_t>(names.size()));
    for (const auto& n : names) {
        w.u32(12000).u32(0).fixedText(n, 32);
    }
    return w.take();
}

Bytes command(std::uint16_t code, std::uint32_t a, std::uint32_t b) {
    return head(1, 2, code).u32(a).u32(b).take();
}

auto codeIs(std::uint16_t code) {
    return [code](const Frame& f) { return f.kind == 0 && codeOf(f) == code; };
}

bool isFlowAnswer(const Frame& f) {
    return f.kind == 3;
}

class AppSideTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(emu.start()); }

    // Flow control, event subscription, scenario list: what a client does on connecting.
    std::optional<Frame> handshake(RawClient& c, unsigned connection) {
        if (!c.connect(emu.appPort()) || !emu.waitForConnections(Protocol::App, connection, 2s)) {
            return std::nullopt;
        }
        c.sendFrame(3, flowStart());
        if (!c.readUntil(isFlowAnswer, 2s)) {
            return std::nullopt;
        }
        c.sendFrame(0, eventSubscription());
        c.sendFrame(0, head(1, 1, 0x0001).take());
        return c.readUntil(codeIs(0x0002), 2s);
    }

    std::uint32_t runFromClient() {
        client.sendFrame(0, command(0x0050, 5, 6));
        auto reply = client.readUntil(codeIs(0x0150), 2s);
        return reply ? wordAt(*reply, 20) : 0;
    }

    SimServerEmulator emu{testOptions()};
    RawClient client;
};

}  // namespace

TEST(AppMessages, ServerMessagesHaveTheirLayouts) {
    EXPECT_EQ(encodeFrame(3, app::flowControlAnswer()),
              (Bytes{0,    0,    0,    0x34, 0,    0,    0,    0x20, 0,    0,    0,    3,    0,
                     0,    0,    2,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE, 0,    0,    0,    1,    0xFF, 0xFF, 0xFF,
                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    3}));
    EXPECT_EQ(app::scenarioList(1, 7, 5, 5, 2.0f),
              (Bytes{1, 1, 0x7F, 0xFF, 0, 0, 0, 0, 0, 0x7F, 0, 2, 0,    0, 0, 1,
                     0, 0, 0,    7,    0, 0, 0, 5, 0, 0,    0, 5, 0x40, 0, 0, 0}));
    Bytes sub = app::inputSubscriptionReply(7, {{70004, "HRPM", 72.0f, 0}});
    Bytes expect{1, 2, 0x7F, 0xFF, 0,    0,    0, 0, 0,    0x7F, 0x01, 0x06, 0, 0,
                 0, 7, 0,    0,    0,    1,    0, 1, 0x11, 0x74, 0,    0,    0, 0,
                 0, 0, 0,    0,    0x42, 0x90, 0, 0, 'H',  'R',  'P',  'M'};
    expect.resize(20 + 48, 0);
    EXPECT_EQ(sub, expect);
    Bytes out = app::outputRegistrationReply(7, {{70030, "OUT", 0, 0}});
    expect = {1, 2, 0x7F, 0xFF, 0,    0,    0, 0, 0,    0x7F, 0x01, 0x07, 0, 0, 0,   7,   0,  0,
              0, 1, 0,    1,    0x11, 0x8E, 0, 0, 0x04, 0xB0, 0,    0,    0, 0, 'O', 'U', 'T'};
    expect.resize(20 + 44, 0);
    EXPECT_EQ(out, expect);
    EXPECT_EQ(app::patientUpdate(7, 0, {{70004, 1.0f}}),
              (Bytes{1, 2, 0x7F, 0xFF, 0, 0, 0, 0, 0, 0x7F, 0,    8,    0,    0,    0, 7,
                     0, 0, 0,    0,    0, 0, 0, 1, 0, 1,    0x11, 0x74, 0x3F, 0x80, 0, 0}));
    EXPECT_EQ(app::runReply(5, 6, 7, 1),
              (Bytes{1, 2, 0x7F, 0xFF, 0, 0, 0, 0, 0, 0x7F, 0x01, 0x50, 0, 0,
                     0, 5, 0,    0,    0, 6, 0, 0, 0, 7,    0,    0,    0, 1}));
    EXPECT_EQ(app::loadReply(5, 7, 1).size(), 28u) << "the client reads the status only at 28";
    EXPECT_EQ(app::startLoadedReply(7, 0),
              (Bytes{1, 2, 0x7F, 0xFF, 0, 0, 0, 0, 0, 0x7F, 0x01, 0x03, 0, 0, 0, 7, 0, 0, 0, 0}));
    EXPECT_EQ(app::loadedEvent(7, 5, 1), (Bytes{1, 3, 0x7F, 0xFF, 0, 0, 0, 0, 0, 0x7F, 0x01, 0x11,
                                                0, 0, 0,    7,    0, 0, 0, 5, 0, 0,    0,    1}));
    EXPECT_EQ(app::scenarioEvent(0x0114, 7, 1),
              (Bytes{1, 3, 0x7F, 0xFF, 0, 0, 0, 0, 0, 0x7F, 0x01, 0x14, 0, 0, 0, 7, 0, 0, 0, 1}));
    EXPECT_EQ(app::speedEvent(7, 4.0f, 1),
              (Bytes{1, 3, 0x7F, 0xFF, 0,    0,    0, 0, 0, 0x7F, 0x01, 0x17,
                     0, 0, 0,    7,    0x40, 0x80, 0, 0, 0, 0,    0,    1}));
    const Bytes version = app::versionReply("V");
    ASSERT_EQ(version.size(), 148u);
    EXPECT_EQ(version[11], 0x51);
    EXPECT_EQ(version[12], 'V');
    EXPECT_EQ(version[13], 0);
    EXPECT_EQ(Bytes(version.end() - 4, version.end()), (Bytes{0, 0, 0, 1}));
}

TEST(AppMessages, DecodesRequestsAndMarksTruncatedOnes) {
    auto m = app::decode(Frame{0, subscription(7, {"HRPM", "ARTLINE"})});
    EXPECT_EQ(m.kind, MessageKind::AppInputSubscription);
    EXPECT_EQ(m.scope, 7u);
    ASSERT_EQ(m.entries.size(), 2u);
    EXPECT_EQ(m.entries[1].name, "ARTLINE");
    EXPECT_EQ(m.entries[1].rate, 12000u);

    m = app::decode(Frame{0, head(1, 2, 0x38).u32(7).u32(2).u32(1).u32(70004).f32(7.0f).take()});
    EXPECT_EQ(m.kind, MessageKind::AppPublish);
    EXPECT_EQ(m.mode, 2u);
    EXPECT_EQ(m.entries.at(0).value, 7.0);

    m = app::decode(Frame{0, head(1, 2, 0x0F).u32(7).i32(3).u8('-').u8('1').u8('5').take()});
    EXPECT_EQ(m.kind, MessageKind::AppBookmark);
    EXPECT_EQ(m.text, "-15");
    m = app::decode(
        Frame{0, head(1, 2, 0x13).u32(7).u32(0).u32(2).f32(1.5f).fixedText("DRUG", 5).take()});
    EXPECT_EQ(m.text, "DRUG");
    EXPECT_EQ(m.mode, 2u);
    m = app::decode(Frame{0, head(4, 4, 0x0008).i32(1).u32(30).u32(85).take()});
    EXPECT_EQ(m.kind, MessageKind::AppRelayCalibration) << "not a publish, despite code 8";
    m = app::decode(Frame{3, flowStart()});
    EXPECT_EQ(m.kind, MessageKind::AppFlowControl);
    EXPECT_EQ(m.words.size(), 5u);

    const std::vector<Bytes> full = {
        subscription(7, {"A", "B"}),
        head(1, 2, 0x0F).u32(7).i32(3).u8('-').u8('1').u8('5').take(),
        head(1, 2, 0x13).u32(7).u32(0).u32(2).f32(1.5f).fixedText("DRUG", 5).take(),
        head(1, 2, 0x0004).u32(7).f32(4.0f).take(),
        head(1, 2, 0x0012).u32(7).u32(0).u32(1).u32(70004).f32(1.0f).u32(9).take(),
        head(4, 4, 0x0008).i32(1).u32(30).u32(85).take(),
    };
    for (const auto& bytes : full) {
        ASSERT_FALSE(app::decode(Frame{0, bytes}).malformed)
            << kindName(app::decode(Frame{0, bytes}).kind);
        for (std::size_t len = 0; len < bytes.size(); ++len) {
            const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(len));
            EXPECT_TRUE(app::decode(Frame{0, prefix}).malformed || len < 12)
                << "prefix " << len << " of code " << static_cast<int>(bytes[11]);
        }
    }
    EXPECT_TRUE(app::decode(Frame{0, head(1, 2, 0x0F).u32(7).i32(-1).take()}).malformed)
        << "a negative bookmark length";
}

TEST_F(AppSideTest, StartUpAnswersFlowControlAndListsNoScenario) {
    auto list = handshake(client, 1);
    ASSERT_TRUE(list) << "start-up never reached the scenario list";
    EXPECT_EQ(wordAt(*list, 12), 0u) << "no active scenario";
    const auto flow = emu.waitForMessage(MessageKind::AppFlowControl, 1, 1s);
    ASSERT_TRUE(flow);
    EXPECT_EQ(flow->mode, 0u);
    EXPECT_EQ(emu.count(MessageKind::AppEventSubscription), 1u);

    client.sendFrame(0, head(1, 2, 0x51).u32(0).take());
    auto version = client.readUntil(codeIs(0x0151), 2s);
    ASSERT_TRUE(version);
    EXPECT_EQ(textAt(*version, 12, 128), "SimServerEmulator 1.0");
    EXPECT_EQ(wordAt(*version, 144), 1u);

    ByteWriter keepAlive;
    keepAlive.u32(3).u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0xFFFFFFFF);
    client.sendFrame(3, keepAlive.take());
    auto ka = emu.waitForMessage(MessageKind::AppFlowControl, 2, 2s);
    ASSERT_TRUE(ka);
    EXPECT_EQ(ka->mode, 3u);
}

TEST_F(AppSideTest, ListBeforeFlowControlOptionSendsTheRunningScenarioFirst) {
    EmulatorOptions o = testOptions();
    o.listBeforeFlowControl = true;
    o.autoRun = true;
    SimServerEmulator early(o);
    ASSERT_TRUE(early.start());
    ASSERT_TRUE(client.connect(early.appPort()));
    client.sendFrame(3, flowStart());
    auto first = client.readFrame(2s);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->kind, 0u) << "the list comes before the flow-control answer";
    EXPECT_EQ(codeOf(*first), 0x0002);
    EXPECT_EQ(wordAt(*first, 12), 1u);
    EXPECT_EQ(wordAt(*first, 16), early.scenario().sceId);
    EXPECT_EQ(wordAt(*first, 24), 5u) << "running";
    EXPECT_EQ(floatAt(*first, 28), 1.0f);
    auto second = client.readFrame(2s);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->kind, 3u);
    EXPECT_EQ(wordAt(*second, 0), 1u);
}

TEST_F(AppSideTest, RunPauseSpeedStopFollowTheScenarioWithEvents) {
    ASSERT_TRUE(handshake(client, 1));
    const std::uint32_t sce = runFromClient();
    ASSERT_NE(sce, 0u) << "run refused";
    auto started = client.readUntil(codeIs(0x0112), 2s);
    ASSERT_TRUE(started);
    EXPECT_EQ(wordAt(*started, 12), sce);
    EXPECT_EQ(wordAt(*started, 16), 1u);
    EXPECT_EQ(emu.value("HW_PATSPEED")->value, 1.0);

    client.sendFrame(0, command(0x0050, 8, 9));
    auto busy = client.readUntil(codeIs(0x0150), 2s);
    ASSERT_TRUE(busy);
    EXPECT_EQ(wordAt(*busy, 24), 0u) << "a second run while one is active is refused";
    EXPECT_EQ(emu.scenario().sceId, sce);

    client.sendFrame(0, command(0x0005, sce, 1));
    auto paused = client.readUntil(codeIs(0x0113), 2s);
    ASSERT_TRUE(paused);
    EXPECT_EQ(wordAt(*paused, 16), 1u);
    EXPECT_EQ(emu.value("HW_PATSPEED")->value, 0.0);
    client.sendFrame(0, head(1, 1, 0x0001).take());
    auto list = client.readUntil(codeIs(0x0002), 2s);
    ASSERT_TRUE(list);
    EXPECT_EQ(wordAt(*list, 24), 5u);
    EXPECT_EQ(floatAt(*list, 28), 0.0f) << "a paused scenario lists with speed 0";

    client.sendFrame(0, command(0x0005, sce, 0));
    auto resumed = client.readUntil(codeIs(0x0117), 2s);
    ASSERT_TRUE(resumed);
    EXPECT_EQ(floatAt(*resumed, 16), 1.0f);
    client.sendFrame(0, head(1, 2, 0x0004).u32(sce).f32(4.0f).take());
    auto speed = client.readUntil(codeIs(0x0117), 2s);
    ASSERT_TRUE(speed);
    EXPECT_EQ(floatAt(*speed, 16), 4.0f);
    EXPECT_EQ(wordAt(*speed, 20), 1u);
    EXPECT_EQ(emu.scenario().speed, 4.0f);

    client.sendFrame(0, command(0x000E, sce + 1, 0));
    auto wrongStop = client.readUntil(codeIs(0x0114), 2s);
    ASSERT_TRUE(wrongStop);
    EXPECT_EQ(wordAt(*wrongStop, 16), 0u) << "stopping another scenario fails";
    client.sendFrame(0, command(0x000E, sce, 0));
    auto stopped = client.readUntil(codeIs(0x0114), 2s);
    ASSERT_TRUE(stopped);
    EXPECT_EQ(wordAt(*stopped, 16), 1u);
    EXPECT_EQ(emu.scenario().sceId, 0u);
    EXPECT_EQ(emu.value("HW_PATSPEED")->value, 0.0);
}

TEST_F(AppSideTest, LoadThenStartLoaded) {
    ASSERT_TRUE(handshake(client, 1));
    client.sendFrame(0, command(0x0002, 0, 42));
    auto loadedEvent = client.readFrame(2s);
    ASSERT_TRUE(loadedEvent);
    ASSERT_EQ(codeOf(*loadedEvent), 0x0111) << "the event precedes the reply";
    const std::uint32_t sce = wordAt(*loadedEvent, 12);
    EXPECT_EQ(wordAt(*loadedEvent, 16), 42u);
    auto reply = client.readUntil(codeIs(0x0102), 2s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->payload.size(), 28u);
    EXPECT_EQ(wordAt(*reply, 20), sce);
    EXPECT_EQ(wordAt(*reply, 24), 1u);
    EXPECT_EQ(emu.scenario().phase, ScenarioPhase::Loaded);

    client.sendFrame(0, command(0x0003, sce + 5, 1));
    auto refused = client.readUntil(codeIs(0x0103), 2s);
    ASSERT_TRUE(refused);
    EXPECT_EQ(wordAt(*refused, 16), 0u);
    client.sendFrame(0, command(0x0003, sce, 1));
    auto ok = client.readUntil(codeIs(0x0103), 2s);
    ASSERT_TRUE(ok);
    EXPECT_EQ(wordAt(*ok, 16), 1u);
    EXPECT_TRUE(client.readUntil(codeIs(0x0112), 2s)) << "no started event";
    EXPECT_EQ(emu.scenario().phase, ScenarioPhase::Running);
}

TEST_F(AppSideTest, SubscriptionsAreScopedToTheActiveScenario) {
    ASSERT_TRUE(handshake(client, 1));
    const std::uint32_t sce = runFromClient();
    ASSERT_NE(sce, 0u);

    client.sendFrame(0, subscription(sce + 1, {"HRPM"}));
    client.sendFrame(0, head(1, 2, 0x51).u32(0).take());
    auto next = client.readUntil(
        [](const Frame& f) { return codeOf(f) == 0x0106 || codeOf(f) == 0x0151; }, 2s);
    ASSERT_TRUE(next);
    EXPECT_EQ(codeOf(*next), 0x0151) << "a subscription for another scenario got a reply";

    client.sendFrame(0, subscription(sce, {"HRPM", "NOPE", "SAO2"}));
    auto reply = client.readUntil(codeIs(0x0106), 2s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(wordAt(*reply, 12), sce);
    ASSERT_EQ(wordAt(*reply, 16), 2u);
    EXPECT_EQ(textAt(*reply, 20 + 16, 32), "HRPM");
    EXPECT_EQ(floatAt(*reply, 20 + 12), 72.0f);
    const std::uint32_t hrId = wordAt(*reply, 20);
    EXPECT_EQ(hrId / AppSide::kIdStride, sce);

    ASSERT_TRUE(emu.stopScenario());
    EXPECT_TRUE(emu.subscriptions(Protocol::App).empty()) << "ids die with the scenario";
    const std::uint32_t next2 = emu.runScenario();
    ASSERT_NE(next2, sce);
    ASSERT_TRUE(client.readUntil(codeIs(0x0112), 2s)) << "operator's run sent no event";
    client.sendFrame(0, subscription(next2, {"HRPM"}));
    reply = client.readUntil(codeIs(0x0106), 2s);
    ASSERT_TRUE(reply);
    EXPECT_NE(wordAt(*reply, 20), hrId) << "a new scenario hands out new ids";
}

TEST_F(AppSideTest, AReconnectingClientKeepsReceivingUnderTheSameIds) {
    ASSERT_TRUE(handshake(client, 1));
    const std::uint32_t sce = runFromClient();
    client.sendFrame(0, subscription(sce, {"HRPM"}));
    auto reply = client.readUntil(codeIs(0x0106), 2s);
    ASSERT_TRUE(reply);
    const std::uint32_t hrId = wordAt(*reply, 20);

    client.close();
    ASSERT_TRUE(emu.waitForDisconnections(Protocol::App, 1, 2s));
    emu.set("HRPM", 140);  // changes while nobody listens are not lost
    ASSERT_TRUE(client.connect(emu.appPort()));
    client.sendFrame(3, flowStart());
    ASSERT_TRUE(client.readUntil(isFlowAnswer, 2s));
    auto update = client.readUntil(codeIs(0x0008), 2s);
    ASSERT_TRUE(update) << "no patient update after reconnecting";
    ASSERT_EQ(wordAt(*update, 20), 1u);
    EXPECT_EQ(wordAt(*update, 24), hrId);
    EXPECT_EQ(floatAt(*update, 28), 140.0f);
}

TEST_F(AppSideTest, PatientStreamBatchesWaveformsAndSendsChangedNumerics) {
    ASSERT_TRUE(handshake(client, 1));
    const std::uint32_t sce = runFromClient();
    std::vector<std::string> names = waveformNames();
    names.push_back("HRPM");
    // The stream cannot start before the subscription is sent: the pace is measured from here.
    const auto subscribed = std::chrono::steady_clock::now();
    const std::uint64_t before = emu.waveformSamplesSent();
    client.sendFrame(0, subscription(sce, names));
    auto reply = client.readUntil(codeIs(0x0106), 2s);
    ASSERT_TRUE(reply);
    std::map<std::uint32_t, std::string> byId;
    for (std::uint32_t i = 0; i < wordAt(*reply, 16); ++i) {
        byId[wordAt(*reply, 20 + 48 * i)] = textAt(*reply, 20 + 48 * i + 16, 32);
    }
    ASSERT_EQ(byId.size(), 6u);

    std::map<std::string, std::vector<float>> samples;
    bool sawHeartRate = false;
    emu.set("HRPM", 90);
    while (samples["ARTLINE"].size() < 120) {
        auto u = client.readUntil(codeIs(0x0008), 2s);
        ASSERT_TRUE(u) << "patient stream stopped after " << samples["ARTLINE"].size();
        EXPECT_EQ(wordAt(*u, 12), sce);
        EXPECT_EQ(wordAt(*u, 16), 0u) << "update kind";
        std::map<std::string, int> inThisUpdate;
        for (std::uint32_t i = 0; i < wordAt(*u, 20); ++i) {
            const std::string& name = byId.at(wordAt(*u, 24 + 8 * i));
            const float v = floatAt(*u, 28 + 8 * i);
            if (name == "HRPM") {
                EXPECT_EQ(v, 90.0f);
                sawHeartRate = true;
            } else {
                samples[name].push_back(v);
                ++inThisUpdate[name];
            }
        }
        for (const auto& w : waveformNames()) {
            EXPECT_EQ(inThisUpdate[w] % 4, 0) << w << " not in whole batches of 4";
            EXPECT_EQ(inThisUpdate[w], inThisUpdate["ARTLINE"]) << "waveforms out of step";
        }
    }
    EXPECT_TRUE(sawHeartRate) << "the HRPM change never came";
    // Never ahead of the clock: at most one sample per 12 ms since the subscription, plus one
    // batch. The count is read before the clock, so a batch made in between cannot be
    // counted without its time; a late emulator may catch up, which is no fault.
    const std::uint64_t sent = emu.waveformSamplesSent() - before;
    const auto elapsed = std::chrono::steady_clock::now() - subscribed;
    EXPECT_LE(sent, static_cast<std::uint64_t>(elapsed / std::chrono::milliseconds(12)) + 4);

    const auto& art = samples["ARTLINE"];
    const auto [lo, hi] = std::minmax_element(art.begin(), art.end());
    EXPECT_GE(*lo, 79.5f);
    EXPECT_LE(*hi, 120.5f);
    EXPECT_GT(*hi - *lo, 30.0f) << "120 samples at 12 ms span more than a beat";
    const auto& co2 = samples["CAPNOGRAM"];
    EXPECT_LE(*std::max_element(co2.begin(), co2.end()), 38.5f);
}

TEST_F(AppSideTest, PublishesAndTheCalibrationCommandReachTheStore) {
    ASSERT_TRUE(handshake(client, 1));
    const std::uint32_t sce = runFromClient();
    client.sendFrame(0, head(1, 2, 0x0007)
                            .u32(sce)
                            .u32(2)
                            .u32(1200)
                            .fixedText("HRPM", 32)
                            .u32(1200)
                            .fixedText("NEW_OUT", 32)
                            .take());
    auto reply = client.readUntil(codeIs(0x0107), 2s);
    ASSERT_TRUE(reply);
    ASSERT_EQ(wordAt(*reply, 16), 2u);
    const std::uint32_t hr = wordAt(*reply, 20);
    const std::uint32_t added = wordAt(*reply, 64);
    EXPECT_EQ(emu.outputs(Protocol::App).at("NEW_OUT"), added);

    const auto publish = [&](std::uint32_t mode, std::uint32_t id, float v) {
        client.sendFrame(0, head(1, 2, 0x0008).u32(sce).u32(mode).u32(1).u32(id).f32(v).take());
    };
    publish(0, added, 3.5f);
    publish(0x10000, added, 1.0f);  // delta
    publish(2, hr, 150.0f);         // override
    ASSERT_TRUE(emu.waitForMessage(MessageKind::AppPublish, 3, 2s));
    ASSERT_TRUE(testsupport::waitUntil([&] { return emu.value("HRPM")->value == 150; }, 2s));
    EXPECT_EQ(emu.value("NEW_OUT")->value, 4.5);
    publish(3, hr, 0.0f);  // reset the override
    ASSERT_TRUE(testsupport::waitUntil([&] { return emu.value("HRPM")->value == 72; }, 2s))
        << "override reset did not restore the value";

    client.sendFrame(0, head(4, 4, 0x0008).i32(1).u32(30).u32(85).take());
    ASSERT_TRUE(
        testsupport::waitUntil([&] { return emu.value("HW_PATMON_CALIB_ARG1")->value == 85; }, 2s));
    EXPECT_EQ(emu.value("HW_PATMON_CALIB_ACTION")->value, 30.0);
    EXPECT_EQ(emu.count(MessageKind::AppPublish), 4u) << "the calibration is not a publish";
}

TEST_F(AppSideTest, FaultsWorkOnTheAppPortToo) {
    ASSERT_TRUE(handshake(client, 1));
    client.clearReceived();
    emu.closeMidFrame(Protocol::App);
    EXPECT_TRUE(client.waitClosed(2s));
    ASSERT_GE(client.received().size(), 40u);
    EXPECT_EQ(client.received()[32], 1u) << "APP head";
}

TEST_F(AppSideTest, MuteSideRecordsButAnswersNothingUntilSwitchedOff) {
    emu.muteApp(true);
    ASSERT_TRUE(client.connect(emu.appPort()));
    ASSERT_TRUE(emu.waitForConnections(Protocol::App, 1, 2s));
    client.sendFrame(3, flowStart());
    client.sendFrame(0, head(1, 1, 0x0001).take());
    ASSERT_TRUE(emu.waitForMessage(MessageKind::AppScenarioListRequest, 1, 2s))
        << "a mute side still reads and records";
    EXPECT_EQ(emu.count(MessageKind::AppFlowControl), 1u);
    // Both requests were handled (recorded) before this read starts.
    EXPECT_FALSE(client.readFrame(300ms)) << "a mute side answered";

    emu.muteApp(false);
    EXPECT_FALSE(emu.appMuted());
    client.sendFrame(3, flowStart());
    EXPECT_TRUE(client.readUntil(isFlowAnswer, 2s)) << "no answer once unmuted";
}

TEST(AppSideOptions, MuteFromTheStart) {
    EmulatorOptions o = testOptions();
    o.muteApp = true;
    SimServerEmulator emu(o);
    ASSERT_TRUE(emu.start());
    EXPECT_TRUE(emu.appMuted());
    RawClient c;
    ASSERT_TRUE(c.connect(emu.appPort()));
    c.sendFrame(3, flowStart());
    ASSERT_TRUE(emu.waitForMessage(MessageKind::AppFlowControl, 1, 2s));
    EXPECT_FALSE(c.readFrame(300ms)) << "the start-up was answered";
}
