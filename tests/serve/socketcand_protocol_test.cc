// The socketcand parser and formatter without sockets: what clients write,
// what the server writes back, and the byte sequences that must not become
// frames.
#include "tools/serve/socketcand_protocol.h"

#include <string>

#include "gtest/gtest.h"
#include "tools/serve/socketcand_server.h"

namespace tarnlink::serve::socketcand {
namespace {

Command Parsed(std::string_view token) {
  Command c;
  EXPECT_EQ(ParseCommand(token, &c), Parse::kOk) << token;
  return c;
}

TEST(SocketcandProtocol, SplitsTheStreamIntoTokens) {
  std::string_view token;
  size_t used = 0;
  EXPECT_EQ(NextToken("  < open ch0 >< rawmode >", &token, &used), Scan::kToken);
  EXPECT_EQ(token, " open ch0 ");
  EXPECT_EQ(used, 14u);
  EXPECT_EQ(NextToken("< send 123", &token, &used), Scan::kNeedMore);
  EXPECT_EQ(NextToken(" \r\n", &token, &used), Scan::kNeedMore);
  EXPECT_EQ(used, 3u);
  // Bytes outside a token are dropped up to the next '<'; a token cut short
  // by a '<' is dropped whole, so its half never combines with the next.
  EXPECT_EQ(NextToken("send 123 1 AA >< echo >", &token, &used), Scan::kGarbage);
  EXPECT_EQ(used, 15u);
  EXPECT_EQ(NextToken("< send 123 1 < echo >", &token, &used), Scan::kGarbage);
  EXPECT_EQ(used, 13u);
  EXPECT_EQ(NextToken("<" + std::string(kMaxToken, 'a'), &token, &used), Scan::kOverlong);
  EXPECT_EQ(NextToken("<" + std::string(kMaxToken - 2, 'a'), &token, &used), Scan::kNeedMore);
}

TEST(SocketcandProtocol, ParsesWhatClientsSend) {
  EXPECT_EQ(Parsed(" open ch0 ").bus, "ch0");
  EXPECT_EQ(Parsed("rawmode").verb, Verb::kRawMode);
  EXPECT_EQ(Parsed("isotpmode").verb, Verb::kIsoTpMode);

  // python-can: "< send 123 3 1 f1 0 >", LEN as %X.
  Command c = Parsed(" send 123 3 1 f1 0 ");
  EXPECT_EQ(c.verb, Verb::kSend);
  EXPECT_EQ(c.frame.id, 0x123u);
  ASSERT_EQ(c.frame.len, 3);
  EXPECT_EQ(c.frame.data[1], 0xF1);
  // Eight digits, or a value above 7FF, is extended.
  EXPECT_EQ(Parsed("send 00000123 0").frame.id, 0x123u | VELA_ID_EFF_FLAG);
  EXPECT_EQ(Parsed("send 12345 0").frame.id, 0x12345u | VELA_ID_EFF_FLAG);
  EXPECT_EQ(Parsed("sendrtr 7FF 4").frame.id, 0x7FFu | VELA_ID_RTR_FLAG);

  // FD: LEN hex (40) or decimal (64) as long as the bytes match it; a length
  // between the valid ones is padded as a controller pads.
  std::string fd = "fdsend 1ABCDEF0 1 40";
  for (int i = 0; i < 64; ++i) fd += " " + std::to_string(i % 10);
  c = Parsed(fd);
  EXPECT_TRUE(c.frame.fd);
  EXPECT_EQ(c.frame.fd_flags, VELA_FD_BRS);
  EXPECT_EQ(c.frame.len, 64);
  EXPECT_EQ(Parsed("fdsend 123 0 9 1 2 3 4 5 6 7 8 9").frame.len, 12);

  c = Parsed("add 1 500000 123 2 AA BB");
  EXPECT_EQ(c.interval_us, 1500000u);
  EXPECT_EQ(c.frame.len, 2);
  c = Parsed("filter 0 100000 123 2 FF 0");
  EXPECT_EQ(c.verb, Verb::kFilter);
  EXPECT_EQ(c.frame.data[0], 0xFF);
  EXPECT_EQ(Parsed("subscribe 0 0 18DAF110").id, 0x18DAF110u | VELA_ID_EFF_FLAG);
  EXPECT_EQ(Parsed("statistics 1000").ms, 1000u);
}

TEST(SocketcandProtocol, RefusesWhatDoesNotFitInsteadOfGuessing) {
  Command c;
  for (const char* bad :
       {"send 123 3 1 2", "send 123 2 1 2 3", "send 123 9 1 2 3 4 5 6 7 8 9", "send 800000000 0", "send XYZ 0",
        "send 123 1 100", "sendrtr 123 9", "fdsend 123 2 1 1", "add 0 0 123 0", "open", "open ch0 ch1",
        "open 12345678901234567", "rawmode now", "statistics -1", "delete", "subscribe 1 2", "send 123 1 +1"}) {
    EXPECT_EQ(ParseCommand(bad, &c), Parse::kInvalid) << bad;
  }
  for (const char* unknown : {"", "  ", "hello", "SEND 123 0", "frame 123 1.0 AA"}) {
    EXPECT_EQ(ParseCommand(unknown, &c), Parse::kUnknown) << unknown;
  }
}

TEST(SocketcandProtocol, FormatsFramesAsClientsParseThem) {
  std::string out;
  Frame f;
  f.id = 0x123;
  f.len = 3;
  f.data[0] = 0xDE;
  f.data[1] = 0xAD;
  f.data[2] = 0x0F;
  AppendFrame(f, 1700000000000123ull, &out);
  EXPECT_EQ(out, " < frame 123 1700000000.000123 DEAD0F >");
  out.clear();
  f.id = 0x1ABCDEF | VELA_ID_EFF_FLAG;
  f.len = 0;
  AppendFrame(f, 5, &out);
  EXPECT_EQ(out, " < frame 01ABCDEF 0.000005  >");
  out.clear();
  f.id = 0x7FF | VELA_ID_RTR_FLAG;
  f.len = 4;
  AppendFrame(f, 0, &out);
  EXPECT_EQ(out, " < rtr 7FF 0.000000 4 >");
  out.clear();
  f.id = 0x040 | VELA_ID_ERR_FLAG | VELA_ID_EFF_FLAG;
  f.len = 8;
  AppendFrame(f, 1000000, &out);
  EXPECT_EQ(out, " < error 040 1.000000 >");
  out.clear();
  Frame fd;
  fd.id = 0x456;
  fd.fd = true;
  fd.fd_flags = VELA_FD_BRS | VELA_FD_ESI;
  fd.len = 2;
  fd.data[0] = 0xAB;
  AppendFrame(fd, 2500000, &out);
  EXPECT_EQ(out, " < fdframe 456 03 2.500000 AB00 >");
  out.clear();
  AppendStat(10, 2, 0, 0, &out);
  EXPECT_EQ(out, " < stat 10 2 0 0 >");
}

TEST(SocketcandProtocol, AllowListNetworks) {
  Cidr c;
  uint32_t a = 0;
  ASSERT_TRUE(ParseCidr("192.168.1.0/24", &c));
  ASSERT_TRUE(ParseIpv4("192.168.1.77", &a));
  EXPECT_TRUE(c.Contains(a));
  ASSERT_TRUE(ParseIpv4("192.168.2.1", &a));
  EXPECT_FALSE(c.Contains(a));
  ASSERT_TRUE(ParseCidr("10.1.2.3", &c));
  EXPECT_TRUE(c.Contains(0x0A010203));
  EXPECT_FALSE(c.Contains(0x0A010204));
  ASSERT_TRUE(ParseCidr("0.0.0.0/0", &c));
  EXPECT_TRUE(c.Contains(0xFFFFFFFF));
  for (const char* bad : {"", "1.2.3", "1.2.3.4/33", "256.1.1.1", "1.2.3.4/", "1.2.3.4.5", "a.b.c.d", "1.2.3.4/x"}) {
    EXPECT_FALSE(ParseCidr(bad, &c)) << bad;
  }
}

}  // namespace
}  // namespace tarnlink::serve::socketcand
