// cansend's syntax in, candump's formats out.
#include "tools/cli/frame_text.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/cli/parse.h"

namespace tarnlink::cli {
namespace {

using test::Parse;

std::string Reject(const std::string& text) {
  Frame f;
  f.id = 0x55;
  std::string error;
  EXPECT_FALSE(ParseFrame(text, &f, &error)) << text;
  EXPECT_EQ(f.id, 0x55u) << "a rejected text left the frame changed: " << text;
  return error;
}

TEST(FrameSyntax, IdentifierLengthSelectsStandardOrExtended) {
  EXPECT_EQ(Parse("123#").id, 0x123u);
  EXPECT_EQ(Parse("00000123#").id, 0x123u | VELA_ID_EFF_FLAG);  // small value, still extended
  EXPECT_EQ(Parse("1FFFFFFF#").id, 0x1FFFFFFFu | VELA_ID_EFF_FLAG);
  EXPECT_EQ(Parse("7ff#").id, 0x7FFu);
}

TEST(FrameSyntax, DataTakesHexPairsWithOptionalDots) {
  const Frame f = Parse("123#DE.AD.beef");
  ASSERT_EQ(f.len, 4);
  EXPECT_EQ(f.data[0], 0xDE);
  EXPECT_EQ(f.data[3], 0xEF);
  EXPECT_FALSE(f.fd);
  EXPECT_EQ(Parse("123#1122334455667788").len, 8);
}

TEST(FrameSyntax, RemoteFramesCarryAnOptionalLength) {
  EXPECT_EQ(Parse("123#R").id, 0x123u | VELA_ID_RTR_FLAG);
  EXPECT_EQ(Parse("123#R").len, 0);
  EXPECT_EQ(Parse("123#R8").len, 8);
  EXPECT_EQ(Parse("12345678#R2").id, 0x12345678u | VELA_ID_RTR_FLAG | VELA_ID_EFF_FLAG);
}

TEST(FrameSyntax, FdFramesTakeTheFlagsDigitAndArePaddedToAnFdLength) {
  const Frame f = Parse("123##3AABB");
  EXPECT_TRUE(f.fd);
  EXPECT_EQ(f.fd_flags, VELA_FD_BRS | VELA_FD_ESI);
  EXPECT_EQ(f.len, 2);
  EXPECT_EQ(Parse("123##0").len, 0);
  const Frame padded = Parse("123##1" + std::string(18, 'A'));  // 9 bytes
  EXPECT_EQ(padded.len, 12);
  EXPECT_EQ(padded.data[8], 0xAA);
  EXPECT_EQ(padded.data[9], 0x00);
  EXPECT_EQ(Parse("123##1" + std::string(128, 'F')).len, 64);
}

TEST(FrameSyntax, ErrorFlagInAnEightDigitIdentifierMakesAnErrorFrame) {
  const Frame f = Parse("20000004#0001000000000000");
  EXPECT_TRUE(f.error());
  EXPECT_FALSE(f.extended());
  EXPECT_EQ(f.identifier(), 0x004u);
}

TEST(FrameSyntax, MalformedTextsAreRejectedWithAReason) {
  EXPECT_FALSE(Reject("").empty());
  Reject("123");
  Reject("12#11");
  Reject("1234#11");
  Reject("800#11");
  Reject("20000000F#");
  Reject("4FFFFFFF#");  // the remote and extended bits are not identifier digits
  Reject("7FFFFFFF#");
  Reject("12G#11");
  Reject("123#1");
  Reject("123#112");
  Reject("123#1G");
  Reject("123#..11");
  Reject("123#.11");
  Reject("123#11.");
  Reject("123#1.1");
  EXPECT_NE(Reject("123#112233445566778899").find("##"), std::string::npos);
  Reject("123##");
  Reject("123##411");
  Reject("123##G11");
  Reject("123##1" + std::string(130, 'F'));
  Reject("123#R9");
  Reject("123#R12");
  Reject("123##R");
  Reject("20000004##111");
}

TEST(CandumpLog, FrameTextMatchesCandump) {
  EXPECT_EQ(LogText(Parse("123#DEADBEEF")), "123#DEADBEEF");
  EXPECT_EQ(LogText(Parse("12345678#")), "12345678#");
  EXPECT_EQ(LogText(Parse("00000001#11.22")), "00000001#1122");
  EXPECT_EQ(LogText(Parse("123#R")), "123#R");
  EXPECT_EQ(LogText(Parse("123#R4")), "123#R4");
  EXPECT_EQ(LogText(Parse("123##1AABB")), "123##1AABB");
  EXPECT_EQ(LogText(Parse("1ABCDEF0##2")), "1ABCDEF0##2");
  EXPECT_EQ(LogText(Parse("20000040#0000000000000000")), "20000040#0000000000000000");
}

TEST(CandumpLog, EveryFrameReadsBackFromItsOwnText) {
  const std::vector<std::string> texts = {
      "000#",  "7FF#0102030405060708",     "1FFFFFFF#R8", "123##1" + std::string(128, 'E'), "00000000##0",
      "5A5#R", "20000088#0080030000000000"};
  for (const std::string& t : texts) {
    const Frame f = Parse(t);
    EXPECT_EQ(Parse(LogText(f)), f) << t;
  }
}

TEST(CandumpLog, LineHasTheTimeStampAndChannelName) {
  EXPECT_EQ(LogLine(Parse("7FF#"), 3, 12, 34), "(0000000012.000034) ch3 7FF#");
  EXPECT_EQ(LogLine(Parse("123#11"), 0, 1700000000, 999999), "(1700000000.999999) ch0 123#11");
}

TEST(CandumpLog, LinesReadBackAsTheyWereWritten) {
  LogEntry e;
  std::string error;
  ASSERT_TRUE(ParseLogLine(LogLine(Parse("123##1AABB"), 2, 1700000000, 42), &e, &error)) << error;
  EXPECT_EQ(e.seconds, 1700000000u);
  EXPECT_EQ(e.micros, 42u);
  EXPECT_EQ(e.name, "ch2");
  EXPECT_EQ(e.frame, Parse("123##1AABB"));
  // candump's own lines: other names, a direction flag after the frame.
  ASSERT_TRUE(ParseLogLine("(1436509052.249713) vcan0 044#2A366C2BBA R\n", &e, &error)) << error;
  EXPECT_EQ(e.name, "vcan0");
  EXPECT_EQ(e.frame, Parse("044#2A366C2BBA"));
  for (const char* bad :
       {"", "# comment", "1436509052.249713 ch0 123#", "(1436509052.24971) ch0 123#", "(1436509052.2497a3) ch0 123#",
        "(.249713) ch0 123#", "(1436509052.249713) ch0", "(1436509052.249713) ch0 123#GG", "(1436509052.249713",
        // As tshark reads candump logs: no CAN FD length that is none, no stray text.
        "(1436509052.249713) ch0 123##1112233445566778899", "(1436509052.249713) ch0 123#11 extra",
        "(1436509052.249713) ch0 123#11 R R"}) {
    error.clear();
    EXPECT_FALSE(ParseLogLine(bad, &e, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(CandumpColumns, LayoutMatchesCandump) {
  EXPECT_EQ(ColumnsLine(Parse("123#DEADBEEF"), 0), " ch0  123   [4]  DE AD BE EF");
  EXPECT_EQ(ColumnsLine(Parse("12345678#1122"), 1), " ch1  12345678   [2]  11 22");
  EXPECT_EQ(ColumnsLine(Parse("123#R2"), 0), " ch0  123   [2]  remote request");
  EXPECT_EQ(ColumnsLine(Parse("123##1" + std::string(24, 'A')), 0),
            " ch0  123  [12]  AA AA AA AA AA AA AA AA AA AA AA AA");
  EXPECT_EQ(ColumnsLine(Parse("123#11"), 2, 4), "  ch2  123   [1]  11");
}

TEST(CandumpColumns, OversizedLengthFromTheWireIsNotReadPastTheData) {
  VELA_CAN_RECEIVE r{};
  r.id = 0x100;
  r.len = 15;  // a classic record carries at most 8 bytes
  EXPECT_EQ(ColumnsLine(FromReceive(r), 0), " ch0  100   [8]  00 00 00 00 00 00 00 00");
  VELA_CANFD_RECEIVE fd{};
  fd.len = 200;
  EXPECT_EQ(LogText(FromReceive(fd)).size(), std::string("000##0").size() + 128);
}

TEST(DriverRecords, FdFlagsSurviveTheConversionsThatCarryThem) {
  VELA_CANFD_RECEIVE r{};
  r.id = 0x18DAF110u | VELA_ID_EFF_FLAG;
  r.len = 12;
  r.flags = VELA_FD_BRS | VELA_FD_ESI | 0x80;  // the high bit is not a receive flag
  r.data[11] = 0x5A;
  const Frame f = FromReceive(r);
  EXPECT_EQ(f.fd_flags, VELA_FD_BRS | VELA_FD_ESI);
  EXPECT_EQ(LogText(f), "18DAF110##3" + std::string(22, '0') + "5A");
  // ESI is what a receiver saw: never transmitted.
  const VELA_CANFD_TRANSMIT t = ToTransmitFd(f);
  EXPECT_EQ(t.flags, VELA_FD_BRS);
  EXPECT_EQ(t.id, r.id);
  EXPECT_EQ(t.data[11], 0x5A);
}

TEST(DriverRecords, ErrorFlagNeverReachesATransmitRecord) {
  const Frame f = Parse("20000004#0001000000000000");
  EXPECT_EQ(ToTransmit(f).id & VELA_ID_ERR_FLAG, 0u);
  EXPECT_EQ(ToTransmit(Parse("123#R3")).id, 0x123u | VELA_ID_RTR_FLAG);
}

VELA_CHANNEL_ERR_INFO Info(uint32_t code, uint8_t d0 = 0, uint8_t d1 = 0, uint8_t d2 = 0) {
  VELA_CHANNEL_ERR_INFO i{};
  i.error_code = code;
  i.detail[0] = d0;
  i.detail[1] = d1;
  i.detail[2] = d2;
  return i;
}

std::string ErrorText(const VELA_CHANNEL_ERR_INFO& info) {
  Frame f;
  EXPECT_TRUE(ErrorInfoToFrame(info, &f));
  return LogText(f);
}

TEST(ErrorFrames, EachErrorCodeBecomesItsSocketCanClass) {
  EXPECT_EQ(ErrorText(Info(VELA_ERR_OVERFLOW)), "20000004#0001000000000000");
  EXPECT_EQ(ErrorText(Info(VELA_ERR_WARNING)), "20000004#000C000000000000");
  EXPECT_EQ(ErrorText(Info(VELA_ERR_PASSIVE)), "20000004#0030000000000000");
  EXPECT_EQ(ErrorText(Info(VELA_ERR_BUS_OFF, 0, 0x12, 0x34)), "20000040#0000000000001234");
  // The gateway's own code: no class, the code in byte 0.
  EXPECT_EQ(ErrorText(Info(0xE7)), "20000000#E700000000000000");
}

TEST(ErrorFrames, BusErrorCaptureSplitsIntoKindDirectionAndLocation) {
  // Stuff error while receiving, in the data field (segment 0x0A).
  EXPECT_EQ(ErrorText(Info(VELA_ERR_BUS, 0xAA)), "20000088#0000040A00AA0000");
  // Form error while transmitting.
  EXPECT_EQ(ErrorText(Info(VELA_ERR_BUS, 0x40)), "20000088#0000820000400000");
  // "Other" kind on channel 3 (C0 | channel), transmitting, location 3.
  EXPECT_EQ(ErrorText(Info(VELA_ERR_BUS, 0xC3)), "20000088#0000800300C30000");
  Frame f;
  ErrorInfoToFrame(Info(VELA_ERR_BUS, 0x80), &f);
  EXPECT_NE(DescribeErrorFrame(f).find("stuff,tx"), std::string::npos) << DescribeErrorFrame(f);
}

TEST(ErrorFrames, NoInformationGivesNoFrame) {
  Frame f;
  EXPECT_FALSE(ErrorInfoToFrame(Info(0, 1, 2, 3), &f));
}

TEST(ErrorFrames, ColumnsSpellTheErrorOut) {
  Frame f;
  ErrorInfoToFrame(Info(VELA_ERR_BUS_OFF), &f);
  EXPECT_NE(ColumnsLine(f, 0).find("ERRORFRAME bus-off"), std::string::npos) << ColumnsLine(f, 0);
  ErrorInfoToFrame(Info(VELA_ERR_OVERFLOW), &f);
  EXPECT_NE(ColumnsLine(f, 0).find("rx-overflow"), std::string::npos);
}

TEST(FdLengths, RoundUpToTheNextValidLength) {
  EXPECT_EQ(FdLengthRoundUp(8), 8);
  EXPECT_EQ(FdLengthRoundUp(9), 12);
  EXPECT_EQ(FdLengthRoundUp(13), 16);
  EXPECT_EQ(FdLengthRoundUp(33), 48);
  EXPECT_EQ(FdLengthRoundUp(49), 64);
  EXPECT_EQ(FdLengthRoundUp(64), 64);
}

TEST(EventLines, LogFormatGivesCommentsTheColumnsPlainLines) {
  EXPECT_EQ(MarkerLine(0, 123456, true), "# ch0 marker 123456");
  EXPECT_EQ(MarkerLine(12, UINT64_MAX, false, 4), " ch12  marker 18446744073709551615");
  VELA_CHANNEL_REPORT r{};
  r.value0 = 1;
  r.value1 = UINT64_MAX;
  r.byte17 = 0xFF;
  r.value16 = 0xFFFF;
  r.value32 = 0xFFFFFFFFu;
  EXPECT_EQ(ReportLine(1, r, true),
            "# ch1 report value0 1 value1 18446744073709551615 byte17 255 value16 65535 value32 4294967295");
  EXPECT_EQ(ReportLine(1, r, false).rfind(" ch1  report value0 1 ", 0), 0u);
}

TEST(EventLines, GpsValuesMarkedInvalidPrintAsDash) {
  VELA_GPS g{};
  g.valid = 0x1F;
  g.year = 2026;
  g.month = 12;
  g.day = 9;
  g.hour = 10;
  g.latitude = -33.5f;
  g.longitude = 151.25f;
  g.altitude = -12.5f;
  g.speed = 3.5f;
  g.course = 270.25f;
  EXPECT_EQ(GpsLine(g, true),
            "# gps 2026-12-09 10:00:00 lat -33.500000 lon 151.250000 alt -12.5 speed 3.5 course 270.25");
  g.valid = 0x04;  // speed only
  EXPECT_EQ(GpsLine(g, false), " gps  - lat - lon - alt - speed 3.5 course -");
}

}  // namespace
}  // namespace tarnlink::cli
