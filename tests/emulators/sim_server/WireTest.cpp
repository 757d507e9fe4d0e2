// Byte layouts the emulator sends (golden bytes) and what its decoders make of
// short or broken input.
#include <gtest/gtest.h>

#include <cmath>

#include "emulators/sim_server/ByteCodec.h"
#include "emulators/sim_server/Frame.h"
#include "emulators/sim_server/SimMessages.h"
#include "tests/emulators/sim_server/RawClient.h"

using namespace simemu;
using simemu_test::head;

namespace {

Bytes ff(std::size_t n) {
    return Bytes(n, 0xFF);
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes name32(const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.resize(32, 0);
    return b;
}

}  // namespace

TEST(ByteCodec, WritesBigEndianAndReadsOnlyInsideTheBuffer) {
    ByteWriter w;
    w.u32(258).i32(-1).f32(1.0f).u16(0x1234).u8(7);
    EXPECT_EQ(w.bytes(),
              (Bytes{0, 0, 1, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0x3F, 0x80, 0, 0, 0x12, 0x34, 7}));

    const Bytes six{1, 2, 3, 4, 5, 6};
    ByteReader r(six);
    std::uint32_t v = 99;
    EXPECT_TRUE(r.u32(2, v));
    EXPECT_EQ(v, 0x03040506u);
    v = 99;
    EXPECT_FALSE(r.u32(3, v));
    EXPECT_EQ(v, 99u) << "a failed read must leave the output alone";
    std::uint16_t h = 0;
    EXPECT_TRUE(r.u16(4, h));
    EXPECT_FALSE(r.u16(5, h));
    std::string s;
    EXPECT_FALSE(r.fixedText(0, 7, s));
    EXPECT_FALSE(r.u32(SIZE_MAX - 1, v)) << "offset overflow must not wrap";
}

TEST(ByteCodec, FixedTextTruncatesPadsAndStopsAtZero) {
    ByteWriter w;
    w.fixedText("ABC", 5).fixedText("ABCDEFG", 4);
    EXPECT_EQ(w.bytes(), (Bytes{'A', 'B', 'C', 0, 0, 'A', 'B', 'C', 'D'}));
    std::string s;
    ByteReader(w.bytes()).fixedText(5, 4, s);
    EXPECT_EQ(s, "ABCD") << "a field without a zero byte is all text";
    ByteReader(w.bytes()).fixedText(0, 5, s);
    EXPECT_EQ(s, "ABC");
}

TEST(Frame, DataAndFlowControlHeadersAreExact) {
    Bytes payload = head(4, 2, 3).take();
    payload.resize(20, 0xAB);
    const Bytes data = encodeFrame(kFrameKindData, payload);
    EXPECT_EQ(data, cat({{0, 0, 0, 0x34, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0},
                         ff(16),
                         {4, 2, 0x7F, 0xFF, 0, 0, 0, 0x14, 0, 0x7F, 0, 3},
                         Bytes(8, 0xAB)}));

    const Bytes flowPayload{0,    0,    0,    1,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    3};
    const Bytes flow = encodeFrame(kFrameKindFlowControl, flowPayload);
    EXPECT_EQ(
        flow,
        cat({{0, 0, 0, 0x34, 0, 0, 0, 0x20, 0, 0, 0, 3, 0, 0, 0, 2}, ff(15), {0xFE}, flowPayload}))
        << "flow-control payloads have no head, so nothing in them is patched";
}

TEST(FrameAssembler, CutsFramesFromAnySplitOfTheStream) {
    Bytes p1 = head(4, 2, 6).u32(0x10000).u32(0).take();
    Bytes p2 = head(4, 2, 1).u32(0).u32(0).take();
    const Bytes stream = cat({encodeFrame(0, p1), encodeFrame(3, p2)});
    FrameAssembler a;
    std::vector<Frame> got;
    for (std::uint8_t b : stream) {  // one byte at a time
        a.feed(&b, 1);
        Frame f;
        while (a.next(f) == FrameAssembler::Status::Frame) {
            got.push_back(f);
        }
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].kind, 0u);
    EXPECT_EQ(got[1].kind, 3u);
    EXPECT_EQ(got[1].payload.size(), 20u);
    EXPECT_EQ(a.buffered(), 0u);
}

TEST(FrameAssembler, RejectsEmptyAndHugeFramesAndWaitsForShortOnes) {
    const auto statusOf = [](Bytes bytes) {
        FrameAssembler a;
        a.feed(bytes.data(), bytes.size());
        Frame f;
        return a.next(f);
    };
    Bytes header = encodeFrame(0, {});
    EXPECT_EQ(statusOf(header), FrameAssembler::Status::Invalid) << "length 32 has no payload";
    header[3] = 0x10;  // 16: shorter than its own header
    EXPECT_EQ(statusOf(header), FrameAssembler::Status::Invalid);
    header[0] = 0x7F;  // ~2 GiB: refused before anything is reserved
    EXPECT_EQ(statusOf(header), FrameAssembler::Status::Invalid);
    Bytes partial = encodeFrame(0, Bytes(20, 1));
    partial.pop_back();
    EXPECT_EQ(statusOf(partial), FrameAssembler::Status::NeedMore);
    EXPECT_EQ(statusOf(Bytes(7, 0)), FrameAssembler::Status::NeedMore);
}

TEST(SimMessages, VersionReplyLayout) {
    const Bytes frame = encodeFrame(0, sim::versionReply(1, "EMU 1", 2));
    ASSERT_EQ(frame.size(), 32u + 152u);
    const Bytes text = [] {
        Bytes t{'E', 'M', 'U', ' ', '1'};
        t.resize(128, 0);
        return t;
    }();
    EXPECT_EQ(frame, cat({{0, 0, 0, 0xB8, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0},
                          ff(16),
                          {4, 2, 0x7F, 0xFF, 0, 0, 0, 0x98, 0, 0x7F, 0x01, 0x06},
                          {0, 1, 0, 0},
                          text,
                          {0, 0, 0, 2, 0, 0, 0, 1}}));
}

TEST(SimMessages, SubscriptionRegistrationAndUpdateLayouts) {
    sim::ReplyRecord speed{101, "HW_PATSPEED", true, 1, 0};
    sim::ReplyRecord sao2{108, "SAO2", false, 97.5, 12000};
    EXPECT_EQ(sim::inputSubscriptionReply(1, {speed, sao2}),
              cat({{4, 2, 0x7F, 0xFF, 0, 0, 0, 0, 0, 0x7F, 0x01, 0x01},
                   {0, 1, 0, 0, 0, 0, 0, 2},
                   {0, 0, 0, 101, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1},
                   name32("HW_PATSPEED"),
                   {0, 0, 0, 108, 0, 0, 0x2E, 0xE0, 0, 0, 0x2E, 0xE0, 0, 0, 0, 0},
                   {0x42, 0xC3, 0, 0},  // 97.5f
                   name32("SAO2")}));

    sim::ReplyRecord out{130, "HW_OUT", false, 0, 0};
    EXPECT_EQ(sim::outputRegistrationReply(0x7FFF, {out}),
              cat({{4, 2, 0x7F, 0xFF, 0, 0, 0, 0, 0, 0x7F, 0x01, 0x02},
                   {0x7F, 0xFF, 0, 0, 0, 0, 0, 1},
                   {0, 0, 0, 130, 0, 0, 0x04, 0xB0, 0, 0, 0, 0, 0, 0, 0, 0},
                   name32("HW_OUT")}));

    EXPECT_EQ(sim::simulatorUpdate(1, {{101, true, -2}, {108, false, 1.0}}),
              cat({{4, 2, 0x7F, 0xFF, 0, 0, 0, 0, 0, 0x7F, 0, 3},
                   {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2},
                   {0, 0, 0, 101, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE},
                   {0, 0, 0, 108, 0, 0, 0, 0, 0x3F, 0x80, 0, 0}}));
}

TEST(SimMessages, IntegerValuesSaturateAndNanIsZero) {
    EXPECT_EQ(sim::valueBits(true, 3e10), 0x7FFFFFFFu);
    EXPECT_EQ(sim::valueBits(true, -3e10), 0x80000000u);
    EXPECT_EQ(sim::valueBits(true, std::nan("")), 0u);
    EXPECT_EQ(sim::valueBits(true, 2.9), 2u);
}

TEST(SimMessages, DecodesEveryRequestKind) {
    // Input subscription: simulator id 1, one 44-byte entry (rate twice, int flag, name).
    Frame sub{0, head(4, 2, 1)
                     .u32(0x10000)
                     .u32(1)
                     .u32(12000)
                     .u32(12000)
                     .u32(1)
                     .fixedText("HW_PATSPEED", 32)
                     .take()};
    auto m = sim::decode(sub);
    EXPECT_EQ(m.kind, MessageKind::SimInputSubscription);
    EXPECT_FALSE(m.malformed);
    EXPECT_EQ(m.scope, 1u);
    ASSERT_EQ(m.entries.size(), 1u);
    EXPECT_EQ(m.entries[0].name, "HW_PATSPEED");
    EXPECT_EQ(m.entries[0].rate, 12000u);
    EXPECT_EQ(m.entries[0].intFlag, 1u);

    Frame pub{0, head(4, 2, 3)
                     .u32(0x20000)
                     .u32(0)
                     .u32(2)
                     .u32(130)
                     .u32(1)
                     .i32(-7)
                     .u32(131)
                     .u32(0)
                     .f32(2.5f)
                     .take()};
    m = sim::decode(pub);
    EXPECT_EQ(m.kind, MessageKind::SimPublish);
    EXPECT_EQ(m.scope, 2u);
    ASSERT_EQ(m.entries.size(), 2u);
    EXPECT_EQ(m.entries[0].value, -7.0);
    EXPECT_EQ(m.entries[1].value, 2.5);

    Frame reg{0, head(4, 2, 2).u32(0).u32(1).u32(1200).u32(0).fixedText("OUT", 32).take()};
    EXPECT_EQ(sim::decode(reg).entries.at(0).name, "OUT");
    Frame unsub{0, head(4, 2, 4).u32(0).u32(2).u32(101).u32(102).take()};
    EXPECT_EQ(sim::decode(unsub).entries.at(1).serverId, 102u);
    EXPECT_EQ(sim::decode(Frame{0, head(4, 2, 6).u32(0x10000).u32(0).take()}).kind,
              MessageKind::SimVersionRequest);
    EXPECT_EQ(sim::decode(Frame{0, head(1, 2, 6).u32(0).take()}).kind, MessageKind::SimUnknown)
        << "another protocol byte is not a SIM request";
    EXPECT_EQ(sim::decode(Frame{3, head(4, 2, 6).u32(0).take()}).kind, MessageKind::SimUnknown);
}

TEST(SimMessages, TruncatedRequestsAreMarkedAndNeverOverread) {
    const Bytes full = head(4, 2, 1)
                           .u32(0x10000)
                           .u32(2)
                           .u32(0)
                           .u32(0)
                           .u32(1)
                           .fixedText("A", 32)
                           .u32(0)
                           .u32(0)
                           .u32(0)
                           .fixedText("B", 32)
                           .take();
    ASSERT_FALSE(sim::decode(Frame{0, full}).malformed);
    for (std::size_t len = 0; len < full.size(); ++len) {
        // Each prefix lives in its own allocation so that ASan sees any overread.
        const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
        const auto m = sim::decode(Frame{0, prefix});
        if (len >= 12) {
            EXPECT_TRUE(m.malformed) << "prefix of " << len << " bytes";
            EXPECT_LE(m.entries.size(), 1u);
        }
    }
    // A count far beyond the bytes present must not allocate or loop for it.
    const Bytes lying = head(4, 2, 4).u32(0).u32(0xFFFFFFFF).u32(5).take();
    const auto m = sim::decode(Frame{0, lying});
    EXPECT_TRUE(m.malformed);
    EXPECT_EQ(m.entries.size(), 1u);
}
