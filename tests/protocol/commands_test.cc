#include "protocol/commands.h"

#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

namespace tarnlink {
namespace {

std::vector<uint8_t> Body(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

TEST(CommandEncodingTest, DeviceInfoRequestIsNineBytes) {
  CommandMessage request;
  request.message_id = 1;
  request.code = static_cast<uint8_t>(CommandCode::kDeviceInfo);
  EXPECT_EQ(EncodeRequest(request, 1), (Packet{0x55, 0x50, 0x02, 0x00, 0x00, 0x02, 0x01, 0x01, 0x05}));
  EXPECT_EQ(EncodeRequest(request, 8)[2], 0x00) << "sequence wraps at 8";
}

TEST(CommandEncodingTest, SizeRemainRequestCarriesItsZeroByte) {
  const std::vector<uint8_t> body = SizeRemainQueryBody(1);
  EXPECT_EQ(body, Body(std::string("{\r\n\"Chn\":1\r\n}") + '\0'));
  ASSERT_EQ(body.size(), 14u);
  CommandMessage request{2, static_cast<uint8_t>(CommandCode::kSizeRemainQuery), body};
  const Packet p = EncodeRequest(request, 2);
  EXPECT_EQ(PayloadLengthOf(PacketView{p.data(), p.size()}), 16);
  EXPECT_EQ(p.size(), 6u + 16 + 1);
  EXPECT_EQ(p[6 + 2 + 13], 0x00);
  EXPECT_EQ(PacketChecksum(p.data(), p.size() - 1), p.back());
}

TEST(CommandEncodingTest, RequestBodiesFollowTheFixedTexts) {
  EXPECT_EQ(AutoSendReadBody(1, 4, 4), Body(std::string("{\r\n\"Chn\":1,\r\n\"Offset\":4,\r\n\"Num\":4\r\n}") + '\0'));
  EXPECT_EQ(DeviceQueryBody(3), Body(std::string("{\r\n\"Type\":3\r\n}") + '\0'));
  EXPECT_EQ(ChannelActionBody(0), Body(std::string("{\r\n\"Chn\":0\r\n}") + '\0'));
}

TEST(CommandEncodingTest, NoticeAndAckBytes) {
  EXPECT_EQ(EncodeNotice(0x0102030405060708u),
            (Packet{0x55, 0x80, 0x00, 0x00, 0x00, 0x08, 1, 2, 3, 4, 5, 6, 7, 8, 0x55 ^ 0x80 ^ 0x08 ^ 0x08}));
  EXPECT_EQ(EncodeNoticeAck(0x00), (Packet{0x55, 0x81, 0x00, 0x00, 0x00, 0x00, 0xD4}));
  EXPECT_EQ(EncodeNoticeAck(0x80), (Packet{0x55, 0x81, 0x80, 0x00, 0x00, 0x00, 0x54}));
}

TEST(CommandParsingTest, SplitsAnswersAndRejectsShortPayloads) {
  CommandMessage sent{9, 1, Body("{}")};
  const Packet p = EncodeAnswer(sent, 5);
  uint8_t sequence = 0;
  bool is_answer = false;
  CommandMessage got;
  ASSERT_TRUE(ParseCommandPacket(PacketView{p.data(), p.size()}, &sequence, &is_answer, &got));
  EXPECT_EQ(sequence, 5);
  EXPECT_TRUE(is_answer);
  EXPECT_EQ(got.message_id, 9);
  EXPECT_EQ(got.body, sent.body);

  const Packet n0{0x55, 0x50, 0x02, 0x00, 0x00, 0x00, 0x07};
  const Packet n1{0x55, 0x50, 0x02, 0x00, 0x00, 0x01, 0x01, 0x06};
  EXPECT_FALSE(ParseCommandPacket(PacketView{n0.data(), n0.size()}, &sequence, &is_answer, &got));
  EXPECT_FALSE(ParseCommandPacket(PacketView{n1.data(), n1.size()}, &sequence, &is_answer, &got));
  const Packet text{0x55, 0x04, 0x01, 0x00, 0x00, 0x02, 0x7B, 0x7D, 0x00};
  EXPECT_FALSE(ParseCommandPacket(PacketView{text.data(), text.size()}, &sequence, &is_answer, &got))
      << "not a command";
}

TEST(EmulatedAnswerTest, DeviceInfoRequestGetsEmulatorText) {
  const CommandMessage request{7, 1, Body("ignored")};
  const CommandMessage answer = EmulatedDeviceAnswers(request);
  const Packet p = EncodeAnswer(answer, 3);
  EXPECT_EQ(p[2], 0x07);
  EXPECT_EQ(p[6], 7);
  EXPECT_EQ(p[7], 1);
  const std::string text =
      "{\r\n\"Model\":\"Emulator Device\",\r\n\"Firmware\":\"V1.00.00\",\r\n\"Hardware\":\"V1.00.00\",\r\n"
      "\"SN\":\"1234567890\"\r\n}";
  EXPECT_EQ(answer.body, Body(text + '\0'));
  DeviceInfoAnswer info;
  ASSERT_TRUE(ReadDeviceInfoAnswer(answer.body, &info));
  EXPECT_EQ(info.model, "Emulator Device");
  EXPECT_EQ(info.firmware, "V1.00.00");
  EXPECT_EQ(info.hardware, "V1.00.00");
  EXPECT_EQ(info.serial, "1234567890");
}

TEST(EmulatedAnswerTest, BodiesByCode) {
  EXPECT_EQ(EmulatedDeviceAnswers({1, 2, {}}).body, Body(std::string("{\r\n\r\n}") + '\0'));
  EXPECT_TRUE(EmulatedDeviceAnswers({1, 3, {}}).body.empty());
  const CommandMessage size = EmulatedDeviceAnswers({1, 4, {}});
  EXPECT_EQ(size.body, Body(std::string("{\r\n\"Size\":1,\r\n\"Remain\":1\r\n}") + '\0'));
  for (uint8_t code : {5, 6, 0, 255}) {
    const CommandMessage a = EmulatedDeviceAnswers({4, code, {}});
    EXPECT_EQ(a.code, 1);
    EXPECT_EQ(a.message_id, 4);
    const Packet p = EncodeAnswer(a, 0);
    EXPECT_EQ(PayloadLengthOf(PacketView{p.data(), p.size()}), 2) << int{code};
  }
}

TEST(AnswerReaderTest, TextEndsAtFirstZeroByteOrBodyEnd) {
  uint32_t remain = 0;
  ASSERT_TRUE(ReadSizeRemainAnswer(Body("{\"Remain\":42}"), &remain)) << "no zero byte: whole body";
  EXPECT_EQ(remain, 42u);
  ASSERT_TRUE(ReadSizeRemainAnswer(Body(std::string("{\"Remain\":7.9}") + '\0' + "garbage{"), &remain));
  EXPECT_EQ(remain, 7u);
  EXPECT_FALSE(ReadSizeRemainAnswer(Body(std::string("{\"Rem") + '\0' + "ain\":1}"), &remain));
  EXPECT_FALSE(ReadSizeRemainAnswer({}, &remain));
  EXPECT_EQ(AnswerText(Body(std::string("ab") + '\0' + "cd")), "ab");
}

TEST(AnswerReaderTest, MissingOrWrongKindMembersReadEmpty) {
  uint32_t remain = 99;
  ASSERT_TRUE(ReadSizeRemainAnswer(Body("{\"Size\":5,\"Remain\":\"3\"}"), &remain));
  EXPECT_EQ(remain, 0u);
  DeviceInfoAnswer info;
  info.model = "stale";
  ASSERT_TRUE(ReadDeviceInfoAnswer(Body("{\"Model\":12,\"SN\":\"A1\",\"model\":\"x\"}"), &info));
  EXPECT_EQ(info.model, "");
  EXPECT_EQ(info.serial, "A1");
  EXPECT_FALSE(ReadDeviceInfoAnswer(Body("Model: x"), &info));
}

TEST(AutoSendAnswerTest, StopsAtFirstMissingIndex) {
  const auto body = Body("{\"Msg4\":{\"Enable\":1},\"Msg6\":{\"Enable\":1}}");
  std::vector<AutoSendEntry> out;
  EXPECT_EQ(ReadAutoSendAnswer(body, 1, 4, 4, out), 1u);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].index, 4);
  EXPECT_EQ(ReadAutoSendAnswer(Body("not json"), 1, 0, 4, out), 0u);
  EXPECT_EQ(out.size(), 1u) << "appends only";
}

TEST(AutoSendAnswerTest, EntryFieldsAreTruncatedAndNarrowed) {
  std::string data = "[300,\"x\",-1.9,2.9";
  for (int i = 4; i < 70; ++i) data += "," + std::to_string(i);
  data += "]";
  const std::string text =
      "{\"Msg0\":{\"Enable\":257,\"Period\":65537.7,\"Cnt\":3,\"MsgID\":4294967295,"
      "\"MsgFlag\":16,\"MsgData\":" +
      data + "},\"Msg1\":{\"MsgData\":5}}";
  std::vector<AutoSendEntry> out;
  ASSERT_EQ(ReadAutoSendAnswer(Body(text), 2, 0, 2, out), 2u);
  const AutoSendEntry& e = out[0];
  EXPECT_EQ(e.enable, 1);
  EXPECT_EQ(e.period, 1);
  EXPECT_EQ(e.count, 3);
  EXPECT_EQ(e.reserved, 0);
  EXPECT_EQ(e.frame.timestamp, 0u);
  EXPECT_EQ(e.frame.id, 0xFFFFFFFFu);
  EXPECT_EQ(e.frame.flags, 16);
  EXPECT_EQ(e.frame.channel, 2);
  EXPECT_EQ(e.frame.len, 64) << "70 elements give 64 bytes";
  EXPECT_EQ(e.frame.data[0], 44) << "300 mod 256";
  EXPECT_EQ(e.frame.data[1], 0) << "a string element";
  EXPECT_EQ(e.frame.data[2], 0xFF) << "-1.9 truncates to -1";
  EXPECT_EQ(e.frame.data[3], 2);
  EXPECT_EQ(e.frame.data[63], 63);
  EXPECT_EQ(out[1].index, 1);
  EXPECT_EQ(out[1].frame.len, 0) << "MsgData not an array";
}

TEST(JsonNumberTest, TruncatesTowardZeroAndSaturates) {
  EXPECT_EQ(TruncateJsonNumber(-2.9), -2);
  EXPECT_EQ(TruncateJsonNumber(2.9), 2);
  EXPECT_EQ(TruncateJsonNumber(std::nan("")), 0);
  EXPECT_EQ(TruncateJsonNumber(INFINITY), 0);
  EXPECT_EQ(TruncateJsonNumber(1e300), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(TruncateJsonNumber(-1e300), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(TruncateJsonNumber(-9223372036854775808.0), std::numeric_limits<int64_t>::min());
}

}  // namespace
}  // namespace tarnlink
