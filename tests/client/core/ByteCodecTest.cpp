#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "client/core/ByteCodec.h"
#include "client/core/RawMessage.h"
#include "client/core/ReceivedValue.h"

using com_nax::ByteReader;
using com_nax::Bytes;
using com_nax::ByteWriter;
using com_nax::CSClient;
using com_nax::RawMessage;
using com_nax::ReceivedValue;

TEST(ByteCodec, WritesBigEndianFieldsIntoAMessage) {
    RawMessage m(RawMessage::MSG_DATA);
    m.writer().u8(0x01).u16(0x0203).u32(0x04050607).s32(-2).f32(1.0f).fixedText("AB", 4);
    const Bytes expected = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xFF, 0xFF, 0xFF,
                            0xFE, 0x3F, 0x80, 0x00, 0x00, 'A',  'B',  0,    0};
    EXPECT_EQ(expected, m.getBuffer());
    // A text longer than its field is cut at the field.
    Bytes cut;
    ByteWriter(cut).fixedText("ABCDEF", 4);
    EXPECT_EQ((Bytes{'A', 'B', 'C', 'D'}), cut);
}

TEST(ByteCodec, PatchesOnlyInsideTheBufferAndNeverGrowIt) {
    Bytes b(6, 0);
    ByteWriter w(b);
    EXPECT_TRUE(w.patchU32(2, 0x0A0B0C0D));
    EXPECT_FALSE(w.patchU32(3, 0xFFFFFFFF));
    EXPECT_FALSE(w.patchU16(5, 0xFFFF));
    EXPECT_TRUE(w.patchU16(4, 0x0E0F));  // overwrites the last two bytes
    EXPECT_FALSE(w.patchU8(6, 0xFF));
    EXPECT_FALSE(w.patchU32(std::numeric_limits<std::size_t>::max() - 1, 1));
    EXPECT_EQ((Bytes{0, 0, 0x0A, 0x0B, 0x0E, 0x0F}), b);
}

TEST(ByteCodec, ReadsFieldsAndTextWithoutPassingTheEnd) {
    const Bytes b = {'N', 'A', 'M', 'E', 0, 'X', 0x40, 0x20, 0x00, 0x00};
    const ByteReader r(b);
    EXPECT_EQ("NAME", r.fixedText(0));                          // ends at its zero byte
    EXPECT_EQ("X@ ", r.fixedText(5, 3));                        // no zero within the field
    EXPECT_EQ("AME", r.fixedText(1, 3));                        // the field's width, not more
    EXPECT_EQ("AB", ByteReader(Bytes{'A', 'B'}).fixedText(0));  // the buffer ends first
    EXPECT_EQ("", r.fixedText(10));                             // at the end
    EXPECT_EQ("", r.fixedText(std::numeric_limits<std::size_t>::max()));
    EXPECT_FLOAT_EQ(2.5f, r.f32(6));
    EXPECT_EQ(0u, r.u32(7));  // straddles the end
    EXPECT_EQ(0u, r.u16(std::numeric_limits<std::size_t>::max()));
    const ByteReader empty(nullptr, 0);
    EXPECT_EQ("", empty.fixedText(0));
    EXPECT_EQ(0u, empty.u8(0));
}

TEST(ReceivedValue, TakesTheRegisteredTypeOfTheInput) {
    CSClient::Parameter p;
    ASSERT_TRUE(
        com_nax::parameterOfType("I", CSClient::PARAM_INT, ReceivedValue::ofFloat(2.9f), true, p));
    EXPECT_EQ("I", p.id);
    EXPECT_EQ(CSClient::PARAM_INT, p.type);
    EXPECT_EQ(2, p.value.intValue);
    EXPECT_TRUE(p.override);
    ASSERT_TRUE(com_nax::parameterOfType("I", CSClient::PARAM_INT, ReceivedValue::ofFloat(-2.9f),
                                         false, p));
    EXPECT_EQ(-2, p.value.intValue);
    EXPECT_FALSE(p.override);
    ASSERT_TRUE(com_nax::parameterOfType("I", CSClient::PARAM_INT,
                                         ReceivedValue::ofFloat(std::nanf("")), false, p));
    EXPECT_EQ(0, p.value.intValue);
    // A float input sent with the integer flag reads as the number, not its bits.
    ASSERT_TRUE(com_nax::parameterOfType("F", CSClient::PARAM_FLOAT,
                                         ReceivedValue::ofBits(true, 7u), false, p));
    EXPECT_EQ(CSClient::PARAM_FLOAT, p.type);
    EXPECT_FLOAT_EQ(7.0f, p.value.floatValue);
    ASSERT_TRUE(com_nax::parameterOfType("F", CSClient::PARAM_INVALID,
                                         ReceivedValue::ofBits(false, 0x3FC00000u), false, p));
    EXPECT_FLOAT_EQ(1.5f, p.value.floatValue);
    // A type this client does not know gives no parameter and leaves `out` alone.
    EXPECT_FALSE(com_nax::parameterOfType("U", static_cast<CSClient::ParameterType>(9),
                                          ReceivedValue::ofFloat(1.0f), false, p));
    EXPECT_EQ("F", p.id);
}
