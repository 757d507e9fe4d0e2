#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client/core/RawMessage.h"

using com_nax::RawMessage;

namespace {

std::vector<unsigned char> bytesOf(const RawMessage& m) {
    return m.getBuffer();
}

RawMessage fromBytes(const std::vector<unsigned char>& bytes,
                     RawMessage::Type type = RawMessage::MSG_DATA) {
    return RawMessage(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<unsigned>(bytes.size()), type);
}

}  // namespace

TEST(RawMessage, AppendsBigEndianValues) {
    RawMessage m(RawMessage::MSG_DATA);
    m.write(1.0f);
    m.write(-1);
    m.write(258u);
    m.write(static_cast<unsigned char>(0xAB));
    m.write("xy", 2);
    const std::vector<unsigned char> expected = {0x3F, 0x80, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF,
                                                 0x00, 0x00, 0x01, 0x02, 0xAB, 'x',  'y'};
    EXPECT_EQ(bytesOf(m), expected);
    EXPECT_FLOAT_EQ(m.getFloat(0), 1.0f);
    EXPECT_EQ(m.getInt(4), -1);
    EXPECT_EQ(m.getDoubleWord(8), 258u);
}

TEST(RawMessage, ReadsOutsideTheBufferGiveZero) {
    const RawMessage m = fromBytes({0x80, 0x02, 0x11, 0x22, 0x33, 0x44});
    EXPECT_EQ(m.getDoubleWord(2), 0x11223344u);
    EXPECT_EQ(m.getDoubleWord(3), 0u);
    EXPECT_EQ(m.getWord(4), 0x3344u);
    EXPECT_EQ(m.getWord(5), 0u);
    EXPECT_EQ(m.getInt(0xFFFFFFFEu), 0);  // no wrap-around of index + 4
    EXPECT_EQ(m.getFloat(3), 0.0f);
    EXPECT_EQ(m.getProtocol(), -128);
    EXPECT_EQ(m.getSubprotocol(), 2);

    const RawMessage empty(RawMessage::MSG_DATA);
    EXPECT_EQ(empty.getProtocol(), 0);
    EXPECT_EQ(empty.getSubprotocol(), 0);
    EXPECT_EQ(fromBytes({0x04}).getSubprotocol(), 0);
}

TEST(RawMessage, WriteAtNeedsAByteAfterTheFourAndNeverGrows) {
    RawMessage m = fromBytes({0, 0, 0, 0, 0, 0});
    m.writeAt(1, 7u);
    EXPECT_EQ(bytesOf(m), (std::vector<unsigned char>{0, 0, 0, 0, 7, 0}));
    m.writeAt(2, 9u);
    m.writeAt(3, 9u);
    m.writeAt(0xFFFFFFFDu, 9u);
    EXPECT_EQ(bytesOf(m), (std::vector<unsigned char>{0, 0, 0, 0, 7, 0}));
    m.writeAt(5, static_cast<unsigned char>(0xEE));
    m.writeAt(6, static_cast<unsigned char>(0xEE));
    EXPECT_EQ(bytesOf(m), (std::vector<unsigned char>{0, 0, 0, 0, 7, 0xEE}));
}

TEST(RawMessage, ShowPrintsFourBytesPerLine) {
    testing::internal::CaptureStdout();
    fromBytes({1, 2, 3, 4, 5}).show();
    RawMessage(RawMessage::MSG_DATA).show();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "0x01 0x02 0x03 0x04 \n0x05 ");
}

TEST(RawMessage, DataFrameCarriesLengthsAndTemplate) {
    std::vector<unsigned char> payload(20);
    for (unsigned i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<unsigned char>(0xA0 + i);
    }
    const RawMessage message = fromBytes(payload);
    RawMessage frame;
    ASSERT_TRUE(RawMessage::buildFrame(message, frame));
    std::vector<unsigned char> expected = {0, 0, 0, 0x34, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0};
    expected.insert(expected.end(), 16, 0xFF);
    std::vector<unsigned char> patched = payload;
    patched[4] = 0;
    patched[5] = 0;
    patched[6] = 0;
    patched[7] = 0x14;
    expected.insert(expected.end(), patched.begin(), patched.end());
    EXPECT_EQ(bytesOf(frame), expected);
    EXPECT_EQ(bytesOf(message), payload) << "the caller's message must stay unchanged";
}

TEST(RawMessage, FlowControlFrameKeepsPayload) {
    std::vector<unsigned char> payload(20, 0x00);
    payload[3] = 0x01;
    const RawMessage message = fromBytes(payload, RawMessage::MSG_FLOW_CONTROL);
    RawMessage frame;
    ASSERT_TRUE(RawMessage::buildFrame(message, frame));
    std::vector<unsigned char> expected = {0, 0, 0, 0x34, 0, 0, 0, 0x20, 0, 0, 0, 3, 0, 0, 0, 2};
    expected.insert(expected.end(), 15, 0xFF);
    expected.push_back(0xFE);
    expected.insert(expected.end(), payload.begin(), payload.end());
    EXPECT_EQ(bytesOf(frame), expected);

    RawMessage none;
    EXPECT_FALSE(RawMessage::buildFrame(RawMessage(RawMessage::MSG_INVALID), none));
    EXPECT_TRUE(none.empty());
}

TEST(RawMessage, HeaderParsingMapsKindsAndRefusesBadLengths) {
    auto header = [](uint32_t length, uint32_t kind) {
        RawMessage h(RawMessage::MSG_INVALID);
        h.write(length);
        h.write(32u);
        h.write(kind);
        h.write(0u);
        for (int i = 0; i < 16; ++i) {
            h.write(static_cast<unsigned char>(0xFF));
        }
        return h;
    };
    uint32_t frameLength = 0;
    uint32_t payloadLength = 0;
    RawMessage::Type type = RawMessage::MSG_DATA;
    EXPECT_EQ(RawMessage::parseFrameHeader(header(40, 7), frameLength, payloadLength, type),
              RawMessage::HEADER_OK);
    EXPECT_EQ(type, RawMessage::MSG_INVALID);
    EXPECT_EQ(payloadLength, 8u);
    EXPECT_EQ(RawMessage::parseFrameHeader(header(33, 3), frameLength, payloadLength, type),
              RawMessage::HEADER_OK);
    EXPECT_EQ(type, RawMessage::MSG_FLOW_CONTROL);
    EXPECT_EQ(RawMessage::parseFrameHeader(header(33, 0), frameLength, payloadLength, type),
              RawMessage::HEADER_OK);
    EXPECT_EQ(type, RawMessage::MSG_DATA);

    EXPECT_EQ(RawMessage::parseFrameHeader(header(32, 0), frameLength, payloadLength, type),
              RawMessage::HEADER_INVALID_LENGTH);
    EXPECT_EQ(frameLength, 32u);
    const uint32_t cap = 32 + RawMessage::MAX_PAYLOAD_SIZE;
    EXPECT_EQ(RawMessage::parseFrameHeader(header(cap, 0), frameLength, payloadLength, type),
              RawMessage::HEADER_OK);
    EXPECT_EQ(RawMessage::parseFrameHeader(header(cap + 1, 0), frameLength, payloadLength, type),
              RawMessage::HEADER_INVALID_LENGTH);
    EXPECT_EQ(
        RawMessage::parseFrameHeader(header(0xFFFFFFFFu, 0), frameLength, payloadLength, type),
        RawMessage::HEADER_INVALID_LENGTH);

    RawMessage truncated = header(40, 0);
    truncated.resize(31);
    EXPECT_EQ(RawMessage::parseFrameHeader(truncated, frameLength, payloadLength, type),
              RawMessage::HEADER_INCOMPLETE);
}
