#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "client/protocols/AppWire.h"
#include "client/protocols/HexBytes.h"
#include "client/protocols/ProtocolWire.h"
#include "client/protocols/SimWire.h"

using com_nax::wire::ByteReader;
using com_nax::wire::Bytes;
using prototest::hex;
using prototest::nameField;
namespace simwire = com_nax::simwire;
namespace appwire = com_nax::appwire;
namespace wire = com_nax::wire;

namespace {

const std::string kSimHead = "04 02 7F FF 00 00 00 00 00 7F ";
const std::string kAppHead = "01 02 7F FF 00 00 00 00 00 7F ";

}  // namespace

TEST(ByteHelpers, ReadsOutsideThePayloadGiveZeroAndTextStopsAtTheEnd) {
    const Bytes b = hex("01 02 03 04 05 06 41 42");
    ByteReader r(b);
    EXPECT_EQ(0x03040506u, r.u32(2));
    EXPECT_EQ(0u, r.u32(5));  // would reach past the end
    EXPECT_EQ(0x4142u, r.u16(6));
    EXPECT_EQ(0u, r.u16(7));
    EXPECT_EQ(0u, r.u8(8));
    EXPECT_EQ("AB", r.fixedText(6));
    EXPECT_EQ("", r.fixedText(100));
    const Bytes z = hex("41 00 42");
    EXPECT_EQ("A", ByteReader(z).fixedText(0));
    EXPECT_EQ("AB", ByteReader(b).fixedText(6, 2));
}

TEST(ByteHelpers, RateTableAndSaturatingTruncation) {
    EXPECT_EQ(0u, wire::rateWord(0));
    EXPECT_EQ(12000u, wire::rateWord(1));
    EXPECT_EQ(0u, wire::rateWord(2));
    EXPECT_EQ(120000u, wire::rateWord(3));
    EXPECT_EQ(0u, wire::rateWord(7));
    EXPECT_EQ(0u, wire::rateWord(-1));

    EXPECT_EQ(2, wire::truncateToInt32(2.9f));
    EXPECT_EQ(-2, wire::truncateToInt32(-2.9f));
    EXPECT_EQ(std::numeric_limits<std::int32_t>::max(), wire::truncateToInt32(1e10f));
    EXPECT_EQ(std::numeric_limits<std::int32_t>::max(), wire::truncateToInt32(2147483648.0f));
    EXPECT_EQ(std::numeric_limits<std::int32_t>::min(), wire::truncateToInt32(-1e10f));
    EXPECT_EQ(std::numeric_limits<std::int32_t>::max(),
              wire::truncateToInt32(std::numeric_limits<float>::infinity()));
    EXPECT_EQ(0, wire::truncateToInt32(std::nanf("")));
    EXPECT_EQ(2147483520, wire::truncateToInt32(2147483520.0f));  // largest float below 2^31
}

TEST(ByteHelpers, RecordCountIsBoundedByThePayload) {
    EXPECT_EQ(2u, wire::recordsPresent(44, 20, 12, 2));
    EXPECT_EQ(2u, wire::recordsPresent(40, 20, 12, 5));  // second record cut short still counts
    EXPECT_EQ(0u, wire::recordsPresent(20, 20, 12, 5));
    EXPECT_EQ(1u, wire::recordsPresent(21, 20, 12, 0xFFFFFFFFu));
}

TEST(SimRequests, InputSubscriptionCarriesRateWordsTwiceIntFlagAndPaddedNames) {
    const std::string name31(31, 'x');
    const Bytes got = simwire::inputSubscription(
        1, {{"HR", 0, false}, {"WAVE", 1, true}, {name31, 3, false}, {"S7", 7, false}});
    const Bytes want =
        hex(kSimHead + "00 01  00 01 00 00  00 00 00 04" + " 00 00 00 00 00 00 00 00 00 00 00 00 " +
            nameField("HR") + " 00 00 2E E0 00 00 2E E0 00 00 00 01 " + nameField("WAVE") +
            " 00 01 D4 C0 00 01 D4 C0 00 00 00 00 " + nameField(name31) +
            " 00 00 00 00 00 00 00 00 00 00 00 00 " + nameField("S7"));
    EXPECT_EQ(prototest::toHex(want), prototest::toHex(got));
    EXPECT_EQ(20u + 4 * 44, got.size());
    EXPECT_EQ(0, got[20 + 2 * 44 + 12 + 31]);  // the 31-character name keeps one zero
}

TEST(SimRequests, OutputRegistrationUnregistrationPublishAndVersion) {
    EXPECT_EQ(hex(kSimHead + "00 02  7F FF 00 00  00 00 00 02" + " 00 00 04 B0 00 00 00 00 " +
                  nameField("OUT_F") + " 00 00 04 B0 00 00 00 01 " + nameField("OUT_I")),
              simwire::outputRegistration(0x7FFF, {{"OUT_F", false}, {"OUT_I", true}}));
    EXPECT_EQ(hex(kSimHead + "00 04  00 03 00 00  00 00 00 02  00 00 00 07  00 0F FF FF"),
              simwire::unregistration(simwire::kCodeInputUnsubscription, 3, {7, 0xFFFFF}));
    EXPECT_EQ(hex(kSimHead + "00 05  00 03 00 00  00 00 00 00"),
              simwire::unregistration(simwire::kCodeOutputUnregistration, 3, {}));
    EXPECT_EQ(hex(kSimHead + "00 03  00 01 00 00  00 01 00 00  00 00 00 02" +
                  " 00 00 00 09 00 00 00 01 FF FF FF FE" + " 00 0F FF FF 00 00 00 00 3F 80 00 00"),
              simwire::publish(1, 0x10000,
                               {{9, true, 0xFFFFFFFEu}, {0xFFFFF, false, wire::floatBits(1.0f)}}));
    EXPECT_EQ(hex(kSimHead + "00 06  00 01 00 00  00 00 00 00"), simwire::versionRequest(1));
}

TEST(SimReplies, DispatchChecksProtocolSubprotocolAndLength) {
    EXPECT_EQ(simwire::Kind::kInputReply, simwire::classify(ByteReader(hex(kSimHead + "01 01"))));
    EXPECT_EQ(simwire::Kind::kOutputReply, simwire::classify(ByteReader(hex(kSimHead + "01 02"))));
    EXPECT_EQ(simwire::Kind::kUpdate, simwire::classify(ByteReader(hex(kSimHead + "00 03"))));
    EXPECT_EQ(simwire::Kind::kVersionReply, simwire::classify(ByteReader(hex(kSimHead + "01 06"))));
    EXPECT_EQ(simwire::Kind::kOther, simwire::classify(ByteReader(hex(kSimHead + "01 07"))));
    EXPECT_EQ(simwire::Kind::kOther, simwire::classify(ByteReader(hex(kSimHead + "01"))));
    EXPECT_EQ(simwire::Kind::kOther,
              simwire::classify(ByteReader(hex("01 02 7F FF 00 00 00 00 00 7F 01 01"))));
    EXPECT_EQ(simwire::Kind::kOther,
              simwire::classify(ByteReader(hex("04 03 7F FF 00 00 00 00 00 7F 01 01"))));
}

TEST(SimReplies, DecodersReadGoldenRecords) {
    const Bytes input =
        hex(kSimHead + "01 01 00 01 00 00 00 00 00 02" +
            " 00 00 00 2A AA AA AA AA BB BB BB BB 00 00 00 01 FF FF FF FB " + nameField("HR") +
            " 00 00 00 2B 00 00 00 00 00 00 00 00 00 00 00 00 40 20 00 00 " +
            nameField(std::string(32, 'N')));
    const auto in = simwire::decodeInputReply(ByteReader(input));
    ASSERT_EQ(2u, in.size());
    EXPECT_EQ(42u, in[0].serverId);
    EXPECT_TRUE(in[0].isInt);
    EXPECT_EQ(-5, static_cast<std::int32_t>(in[0].valueBits));
    EXPECT_EQ("HR", in[0].name);
    EXPECT_FALSE(in[1].isInt);
    EXPECT_FLOAT_EQ(2.5f, wire::bitsToFloat(in[1].valueBits));
    EXPECT_EQ(std::string(32, 'N'), in[1].name);  // no terminator: all 32 bytes

    const Bytes output = hex(kSimHead + "01 02 00 00 00 00 00 00 00 01" + " 00 00 00 05 " +
                             std::string(24, '0') + nameField("OUT"));
    const auto out = simwire::decodeOutputReply(ByteReader(output));
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(5u, out[0].serverId);
    EXPECT_EQ("OUT", out[0].name);

    const Bytes update =
        hex(kSimHead + "00 03 00 00 00 00 00 00 00 00 00 00 00 02" +
            " 00 00 00 2A 00 00 00 01 00 00 00 3C" + " 00 00 00 2B 00 00 00 00 3F 00 00 00");
    const auto up = simwire::decodeUpdate(ByteReader(update));
    ASSERT_EQ(2u, up.size());
    EXPECT_EQ(42u, up[0].serverId);
    EXPECT_TRUE(up[0].isInt);
    EXPECT_EQ(60u, up[0].valueBits);
    EXPECT_FLOAT_EQ(0.5f, wire::bitsToFloat(up[1].valueBits));

    Bytes version = hex(kSimHead + "01 06 00 05 00 00");
    const std::string text = "SimServer 9";
    version.insert(version.end(), text.begin(), text.end());
    version.resize(144, 0);
    const Bytes tail = hex("00 00 00 03 00 00 00 01");
    version.insert(version.end(), tail.begin(), tail.end());
    const auto v = simwire::decodeVersionReply(ByteReader(version));
    EXPECT_TRUE(v.valid);
    EXPECT_EQ(5u, v.idWord >> 16);
    EXPECT_EQ(text, v.text);
    EXPECT_EQ(3u, v.protocolVersion);
}

TEST(SimReplies, TruncatedRepliesReadMissingFieldsAsZero) {
    // Two records announced, the second cut inside its value field.
    Bytes update = hex(kSimHead + "00 03 00 00 00 00 00 00 00 00 00 00 00 02" +
                       " 00 00 00 2A 00 00 00 01 00 00 00 3C 00 00 00 2B 00 00");
    auto up = simwire::decodeUpdate(ByteReader(update));
    ASSERT_EQ(2u, up.size());
    EXPECT_EQ(0x2Bu, up[1].serverId);
    EXPECT_FALSE(up[1].isInt);
    // A wild count over a short payload walks only the records that are there.
    update = hex(kSimHead + "00 03 00 00 00 00 FF FF FF FF FF FF FF FF 00 00 00 01");
    EXPECT_EQ(1u, simwire::decodeUpdate(ByteReader(update)).size());
    EXPECT_TRUE(simwire::decodeInputReply(ByteReader(hex(kSimHead + "01 01 00 00"))).empty());
    const auto in = simwire::decodeInputReply(
        ByteReader(hex(kSimHead + "01 01 00 00 00 00 00 00 00 01 00 00 00 07 00 00")));
    ASSERT_EQ(1u, in.size());
    EXPECT_EQ(7u, in[0].serverId);
    EXPECT_EQ("", in[0].name);
    EXPECT_TRUE(simwire::decodeOutputReply(ByteReader(hex(kSimHead + "01 02"))).empty());
    // A version reply cut before its status word is not valid.
    Bytes version(148, 0);
    version[0] = 4;
    EXPECT_FALSE(simwire::decodeVersionReply(ByteReader(version)).valid);
}

TEST(AppRequests, ParameterRequestsCarryTheScenarioId) {
    EXPECT_EQ(hex(kAppHead + "00 06  00 00 00 09  00 00 00 02" + " 00 00 2E E0 00 00 00 00 " +
                  nameField("ARTLINE") + " 00 01 D4 C0 00 00 00 00 " + nameField("HRPM")),
              appwire::inputSubscription(9, {{"ARTLINE", 1}, {"HRPM", 3}}));
    EXPECT_EQ(hex(kAppHead + "00 07  00 00 00 09  00 00 00 01  00 00 04 B0 " + nameField("O")),
              appwire::outputRegistration(9, {"O"}));
    EXPECT_EQ(hex(kAppHead + "00 14  00 00 00 09  00 00 00 01  00 00 00 11"),
              appwire::unregistration(appwire::kCodeInputUnsubscription, 9, {0x11}));
    EXPECT_EQ(hex(kAppHead + "00 15  00 00 00 09  00 00 00 00"),
              appwire::unregistration(appwire::kCodeOutputUnregistration, 9, {}));
    EXPECT_EQ(
        hex(kAppHead + "00 08  00 00 00 09  00 00 00 02  00 00 00 01" + " 00 00 00 11 40 E0 00 00"),
        appwire::publish(false, 9, 2, {{0x11, 7.0f}}));
    EXPECT_EQ(hex(kAppHead + "00 38  00 00 00 09  00 01 00 00  00 00 00 00"),
              appwire::publish(true, 9, 0x10000, {}));
    EXPECT_EQ(hex(kAppHead + "00 12  00 00 00 09  00 00 00 00  00 00 00 01  00 00 00 11" +
                  " 3F 80 00 00  00 00 00 63"),
              appwire::signal(9, 0x11, 1.0f, 99));
    EXPECT_EQ(hex(kAppHead + "00 51  00 00 00 00"), appwire::versionRequest());
}

TEST(AppRequests, ListEventSubscriptionAndFlowControl) {
    EXPECT_EQ(hex("01 01 7F FF 00 00 00 00 00 7F 00 01"), appwire::listRequest());
    const std::string ev = "01 01 7F FF 00 00 00 1C 00 7F 00 20 ";
    EXPECT_EQ(hex(ev + "00 00 00 00 7F FF FF FF 7F FF FF FF 7F FF FF FF"),
              appwire::eventSubscription(0, 5));
    EXPECT_EQ(hex(ev + "00 00 01 00 00 00 00 05 7F FF FF FF 7F FF FF FF"),
              appwire::eventSubscription(256, 5));
    EXPECT_EQ(hex(ev + "00 00 02 00 7F FF FF FF FF FF FF FF 7F FF FF FF"),
              appwire::eventSubscription(512, -1));
    EXPECT_EQ(hex(ev + "00 00 08 00 7F FF FF FF 7F FF FF FF 00 00 00 05"),
              appwire::eventSubscription(2048, 5));
    EXPECT_EQ(hex(ev + "00 00 00 03"), appwire::eventSubscription(3, 5));

    EXPECT_EQ(hex("00 00 00 00 FF FF FF FF FF FF FF FF FF FF FF FF 00 00 00 03"),
              appwire::flowControl(0));
    EXPECT_EQ(hex("00 00 00 02 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF"),
              appwire::flowControl(2));
    EXPECT_EQ(hex("00 00 00 03 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF"),
              appwire::flowControl(3));
    EXPECT_TRUE(appwire::flowControl(9).empty());
}

TEST(AppRequests, ScenarioCommandLayouts) {
    EXPECT_EQ(hex(kAppHead + "00 0F  00 00 00 04  00 00 00 03  2D 31 35"),
              appwire::bookmark(4, -15));
    EXPECT_EQ(hex(kAppHead + "00 04  00 00 00 04  40 80 00 00"), appwire::changeSpeed(4, 4.0f));
    EXPECT_EQ(
        hex(kAppHead + "00 13  00 00 00 04  00 00 00 00  00 00 00 02  3F 00 00 00" + " 41 42 00"),
        appwire::administerDrug(4, 2, 0.5f, "AB"));
    EXPECT_EQ(hex(kAppHead + "00 19  00 00 00 04  00 00 00 00  41 42 00"),
              appwire::resetDrug(4, "AB"));
    EXPECT_EQ(hex(kAppHead + "00 30  00 00 00 04  00 00 00 01  00 00 00 01"),
              appwire::command(appwire::kCodeDelivery, {4, 1, 1}));
    EXPECT_EQ(hex("04 04 7F FF 00 00 00 00 00 7F 00 08  00 00 00 01  00 00 00 02  00 00 00 03"),
              appwire::relayCalibration(2, 3));
}

TEST(AppReplies, DecodersAndTheirLengthRules) {
    const std::string list = "01 01 7F FF 00 00 00 00 00 7F 00 02 ";
    auto l = appwire::decodeListResponse(
        ByteReader(hex(list + "00 00 00 01 00 00 00 07 00 00 00 08 00 00 00 05 40 00 00 00")));
    EXPECT_EQ(1u, l.count);
    EXPECT_EQ(7u, l.sceId);
    EXPECT_EQ(8u, l.firstKey);
    EXPECT_EQ(5u, l.state);
    EXPECT_FLOAT_EQ(2.0f, l.speed);
    l = appwire::decodeListResponse(ByteReader(hex(list + "00 00 00 01 00 00 00 07")));
    EXPECT_EQ(7u, l.sceId);
    EXPECT_EQ(0u, l.state);

    const auto run = appwire::decodeRunReply(
        ByteReader(hex(kAppHead + "01 50 00 00 00 01 00 00 00 02 00 00 00 03 00 00 00 01")));
    EXPECT_EQ(1u, run.firstKey);
    EXPECT_EQ(2u, run.secondKey);
    EXPECT_EQ(3u, run.sceId);
    EXPECT_EQ(1u, run.status);

    const std::string load = kAppHead + "01 02 00 00 00 00 00 00 00 0A 00 00 00 0B ";
    auto lr = appwire::decodeLoadReply(ByteReader(hex(load)));  // 24 bytes, no status
    EXPECT_TRUE(lr.present);
    EXPECT_TRUE(lr.success);
    EXPECT_EQ(10u, lr.firstKey);
    EXPECT_EQ(11u, lr.sceId);
    EXPECT_FALSE(appwire::decodeLoadReply(ByteReader(hex(load + "00 00 00 00"))).success);
    EXPECT_TRUE(appwire::decodeLoadReply(ByteReader(hex(load + "00 00 00 01"))).success);
    EXPECT_TRUE(appwire::decodeLoadReply(ByteReader(hex(load + "00 00 00 00 00"))).success);
    EXPECT_FALSE(appwire::decodeLoadReply(ByteReader(hex(kAppHead + "01 02 00 00"))).present);

    EXPECT_FALSE(
        appwire::decodeStartLoadedReply(ByteReader(hex(kAppHead + "01 03 00 00 00 05"))).present);
    const auto sl = appwire::decodeStartLoadedReply(
        ByteReader(hex(kAppHead + "01 03 00 00 00 05 00 00 00 00")));
    EXPECT_TRUE(sl.present);
    EXPECT_EQ(5u, sl.sceId);
    EXPECT_EQ(0u, sl.status);

    const std::string ev = "01 03 7F FF 00 00 00 00 00 7F ";
    auto e =
        appwire::decodeEvent(ByteReader(hex(ev + "01 11 00 00 00 05 00 00 00 08 00 00 00 01")));
    EXPECT_TRUE(e.present);
    EXPECT_EQ(8u, e.firstKey);
    EXPECT_EQ(1u, e.status);
    e = appwire::decodeEvent(ByteReader(hex(ev + "01 12 00 00 00 05 00 00 00 01")));
    EXPECT_TRUE(e.present);
    EXPECT_EQ(5u, e.sceId);
    EXPECT_EQ(1u, e.status);
    EXPECT_FALSE(appwire::decodeEvent(ByteReader(hex(ev + "01 14 00 00 00 05"))).present);
    EXPECT_FALSE(
        appwire::decodeEvent(ByteReader(hex(ev + "01 17 00 00 00 05 40 80 00 00"))).present);
    e = appwire::decodeEvent(ByteReader(hex(ev + "01 17 00 00 00 05 40 80 00 00 00 00 00 01")));
    EXPECT_TRUE(e.present);
    EXPECT_FLOAT_EQ(4.0f, e.speed);

    const auto pu = appwire::decodePatientUpdate(ByteReader(
        hex(kAppHead + "00 08 00 00 00 00 00 00 00 02 00 00 00 02 00 00 00 11 40 39 99 9A" +
            " 00 00 00 12 C0 39 99 9A")));
    EXPECT_EQ(2u, pu.kind);
    ASSERT_EQ(2u, pu.records.size());
    EXPECT_EQ(0x12u, pu.records[1].serverId);
    EXPECT_FLOAT_EQ(-2.9f, pu.records[1].value);
    EXPECT_TRUE(appwire::decodePatientUpdate(
                    ByteReader(hex(kAppHead + "00 08 00 00 00 00 00 00 00 00 FF FF FF FF")))
                    .records.empty());

    const auto in = appwire::decodeInputReply(
        ByteReader(hex(kAppHead + "01 06 00 00 00 07 00 00 00 01 00 00 00 21 " +
                       std::string(16, '0') + "40 00 00 00 " + nameField("HRPM"))));
    EXPECT_EQ(7u, appwire::replySceId(ByteReader(hex(kAppHead + "01 06 00 00 00 07"))));
    ASSERT_EQ(1u, in.size());
    EXPECT_EQ(0x21u, in[0].serverId);
    EXPECT_FLOAT_EQ(2.0f, in[0].value);
    EXPECT_EQ("HRPM", in[0].name);
    const auto out = appwire::decodeOutputReply(
        ByteReader(hex(kAppHead + "01 07 00 00 00 07 00 00 00 01 00 00 00 22 " +
                       std::string(16, '0') + nameField("OUT"))));
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ("OUT", out[0].name);

    Bytes version = hex(kAppHead + "01 51 41 42 00 43");
    version.resize(144, 0);
    EXPECT_FALSE(appwire::decodeVersionReply(ByteReader(version)).valid);
    const Bytes ok = hex("00 00 00 01");
    version.insert(version.end(), ok.begin(), ok.end());
    const auto v = appwire::decodeVersionReply(ByteReader(version));
    EXPECT_TRUE(v.valid);
    EXPECT_EQ("AB", v.text);
}
