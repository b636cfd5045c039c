// The MQTT payloads and the serve command's gateway and broker settings.
#include "tools/serve/payload.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include "tools/serve/gateway_url.h"
#include "tools/serve/hub.h"
#include "tools/serve/mqtt_options.h"

namespace tarnlink::serve {
namespace {

using cli::Frame;

Frame Parse(const char* text) {
  Frame f;
  std::string error;
  EXPECT_TRUE(cli::ParseFrame(text, &f, &error)) << text << ": " << error;
  return f;
}

std::vector<cli::Received> Sample(bool with_error_frame) {
  std::vector<const char*> texts = {"123#DEADBEEF",
                                    "12345678#",
                                    "7FF#R",
                                    "123#R5",
                                    "1ABCDEF0##3"
                                    "00112233445566778899AABBCCDDEEFF"
                                    "00112233445566778899AABBCCDDEEFF",
                                    "001##0",
                                    "0FF##1AABBCCDDEEFF0011"};
  if (with_error_frame) texts.push_back("20000004#0004000000000000");
  std::vector<cli::Received> out;
  uint64_t stamp = 1000;
  for (const char* t : texts) {
    cli::Received r;
    r.channel = 1;
    r.frame = Parse(t);
    r.gateway_stamp = stamp++;
    r.host_time = std::chrono::system_clock::time_point(std::chrono::microseconds(1700000000123456 + stamp));
    out.push_back(r);
  }
  return out;
}

RxBatch Batch(const std::vector<cli::Received>& frames) {
  RxBatch b;
  b.gateway = "bench-1";
  b.channel = 1;
  b.seq = 41;
  b.dropped = 7;
  b.frames = frames.data();
  b.count = frames.size();
  return b;
}

TEST(MqttPayload, CandumpIsTheDumpLogAndReadsBack) {
  const auto frames = Sample(true);
  const std::string text = EncodeCandump(Batch(frames));
  size_t at = 0;
  for (const cli::Received& r : frames) {
    const size_t nl = text.find('\n', at);
    ASSERT_NE(nl, std::string::npos);
    const std::string line = text.substr(at, nl - at);
    const uint64_t us = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(r.host_time.time_since_epoch()).count());
    EXPECT_EQ(line, cli::LogLine(r.frame, 1, us / 1000000, us % 1000000));
    at = nl + 1;
  }
  EXPECT_EQ(at, text.size());
  // Sent back (error frames are not sendable, the rest all is).
  const auto sendable = Sample(false);
  std::vector<Frame> back;
  std::string error;
  ASSERT_TRUE(DecodeTx(EncodeCandump(Batch(sendable)), &back, &error)) << error;
  ASSERT_EQ(back.size(), sendable.size());
  for (size_t i = 0; i < back.size(); ++i) EXPECT_EQ(back[i], sendable[i].frame) << i;
}

TEST(MqttPayload, JsonCarriesTheBatchAndReadsBack) {
  const auto frames = Sample(true);
  const std::string text = EncodeJson(Batch(frames));
  cJSON* root = cJSON_Parse(text.c_str());
  ASSERT_NE(root, nullptr) << text;
  EXPECT_EQ(cJSON_GetObjectItem(root, "version")->valueint, kPayloadVersion);
  EXPECT_STREQ(cJSON_GetObjectItem(root, "gateway")->valuestring, "bench-1");
  EXPECT_EQ(cJSON_GetObjectItem(root, "channel")->valueint, 1);
  EXPECT_EQ(cJSON_GetObjectItem(root, "seq")->valueint, 41);
  EXPECT_EQ(cJSON_GetObjectItem(root, "dropped")->valueint, 7);
  const cJSON* list = cJSON_GetObjectItem(root, "frames");
  ASSERT_EQ(cJSON_GetArraySize(list), static_cast<int>(frames.size()));
  const cJSON* first = cJSON_GetArrayItem(list, 0);
  EXPECT_EQ(cJSON_GetObjectItem(first, "t")->valuedouble, 1700000000124457.0);
  EXPECT_EQ(cJSON_GetObjectItem(first, "id")->valueint, 0x123);
  EXPECT_STREQ(cJSON_GetObjectItem(first, "data")->valuestring, "DEADBEEF");
  cJSON_Delete(root);
  EXPECT_NE(text.find("\"flags\":[\"ext\",\"fd\",\"brs\",\"esi\"]"), std::string::npos) << text;
  EXPECT_NE(text.find("\"flags\":[\"rtr\"],\"data\":\"\",\"len\":5"), std::string::npos) << text;
  EXPECT_NE(text.find("\"flags\":[\"err\"]"), std::string::npos) << text;

  const auto sendable = Sample(false);
  std::vector<Frame> back;
  std::string error;
  ASSERT_TRUE(DecodeTx(EncodeJson(Batch(sendable)), &back, &error)) << error;
  ASSERT_EQ(back.size(), sendable.size());
  for (size_t i = 0; i < back.size(); ++i) EXPECT_EQ(back[i], sendable[i].frame) << i;
}

TEST(MqttPayload, AMalformedMessageIsRefusedWholeWithItsPlace) {
  struct Case {
    std::string payload;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"", "empty"},
      {"123#DEADBEEF\n123#XY\n", "line 2"},
      {"(1700000000.000001) ch0 123#11\n(17x) ch0 123#11", "line 2"},
      {"123#11 extra", "line 1"},
      {std::string("123#11\n12\0#3", 12), "line 2"},
      {"20000004#0004000000000000", "error frames"},
      {"(1700000000.000001) ch0 123##0001122334455667788", "CAN FD length"},
      {"{\"frames\":[{\"id\":291,\"data\":\"11\"},{\"id\":2048,\"data\":\"\"}]}", "frame 1"},
      {"{\"frames\":[{\"id\":291,\"data\":\"1\"}]}", "hex pairs"},
      {"{\"frames\":[{\"id\":291,\"data\":\"0011223344556677AA\"}]}", "9 data bytes"},
      {"{\"frames\":[{\"id\":291,\"flags\":[\"fd\"],\"data\":\"001122334455667788\"}]}", "CAN FD length"},
      {"{\"frames\":[{\"id\":291,\"flags\":[\"brs\"]}]}", "CAN FD"},
      {"{\"frames\":[{\"id\":291,\"flags\":[\"fd\",\"rtr\"]}]}", "remote"},
      {"{\"frames\":[{\"id\":291,\"flags\":[\"err\"]}]}", "error frames"},
      {"{\"frames\":[{\"id\":291,\"flags\":[\"bogus\"]}]}", "unknown flag"},
      {"{\"frames\":[{\"id\":-1}]}", "identifier"},
      {"{\"frames\":[{\"id\":1.5}]}", "identifier"},
      {"{\"frames\":[{\"id\":291,\"len\":3,\"data\":\"11\"}]}", "len"},
      {"{\"version\":2,\"frames\":[]}", "version"},
      {"{\"frames\":[]}", "no frame"},
      {"{\"frames\":[{\"id\":291}]", "JSON"},
      {"[1,2]", "line 1"},
      {std::string(kMaxTxPayload + 1, '\n'), "bytes"},
  };
  for (const Case& c : cases) {
    std::vector<Frame> out{Frame{}};
    std::string error;
    const bool ok = DecodeTx(c.payload, &out, &error);
    EXPECT_FALSE(ok) << c.payload.substr(0, 80);
    EXPECT_TRUE(out.empty()) << c.payload.substr(0, 80);
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.payload.substr(0, 80) << " -> " << error;
  }
  std::string many;
  for (size_t i = 0; i <= kMaxTxFrames; ++i) many += "123#11\n";
  std::vector<Frame> out;
  std::string error;
  EXPECT_FALSE(DecodeTx(many, &out, &error));
  EXPECT_TRUE(out.empty());
}

TEST(GatewayEntry, FormsMapOntoTheConnectionOptions) {
  std::vector<GatewayEntry> list;
  std::string error;
  ASSERT_TRUE(
      ParseGatewayLines("# bench\n"
                        "a=tcp://192.0.2.10:4001?type=0x30&channels=0,1\r\n"
                        "\n"
                        "  b=udp://192.0.2.11:4002?local-port=5000&index=0  \n"
                        "c=server://:4003?wait=500&channels=1\n"
                        "d=tcp://gw.example:4004\n"
                        "e=tcp://127.0.0.1:4005?index=0\n",
                        &list, &error))
      << error;
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0].name, "a");
  EXPECT_FALSE(list[0].connect.udp);
  EXPECT_EQ(list[0].connect.host, "192.0.2.10");
  EXPECT_EQ(list[0].connect.port, 4001);
  EXPECT_EQ(list[0].connect.device_type(), 0x30u);
  EXPECT_EQ(list[0].channels, (std::vector<uint32_t>{0, 1}));
  EXPECT_TRUE(list[1].connect.udp);
  EXPECT_EQ(*list[1].connect.local_port, 5000);
  EXPECT_TRUE(list[2].connect.server);
  EXPECT_EQ(list[2].connect.effective_local_port(), 4003);
  EXPECT_EQ(list[2].connect.wait_ms, 500);
  EXPECT_EQ(list[3].connect.host, "gw.example");  // resolved later
  ASSERT_TRUE(FinishGatewayList(&list, &error)) << error;
  // e holds TCP index 0; a, c and d get the free ones in order.
  EXPECT_EQ(list[4].connect.index, 0u);
  EXPECT_EQ(list[0].connect.index, 1u);
  EXPECT_EQ(list[2].connect.index, 2u);
  EXPECT_EQ(list[3].connect.index, 3u);
  EXPECT_EQ(list[1].connect.index, 0u);  // the UDP library counts its own

  const char* bad[] = {"noequals",
                       "=tcp://1.2.3.4:1",
                       "much-too-long-name=tcp://1.2.3.4:1",
                       "a.b=tcp://1.2.3.4:1",
                       "a=ftp://1.2.3.4:1",
                       "a=tcp://1.2.3.4",
                       "a=tcp://1.2.3.4:0",
                       "a=tcp://1.2.3.4:70000",
                       "a=tcp://:4001",
                       "a=tcp://1.2.3.4:1?type=0",
                       "a=tcp://1.2.3.4:1?channels=0,9",
                       "a=tcp://1.2.3.4:1?channels=0,0",
                       "a=tcp://1.2.3.4:1?index=256",
                       "a=tcp://1.2.3.4:1?colour=red",
                       "a=tcp://1.2.3.4:1?index=1&index=2",
                       "a=tcp://bad host:1"};
  for (const char* b : bad) {
    GatewayEntry g;
    EXPECT_FALSE(ParseGatewayUrl(b, &g, &error)) << b;
  }
  for (const char* name : {"a", "bench_1-x", "elevenchars", "twelve_chars", "a.b", "", "a b", "ÄB"}) {
    EXPECT_EQ(ValidGatewayName(name), Hub::ValidGatewayName(name)) << name;
  }
  std::vector<GatewayEntry> twice;
  ASSERT_TRUE(ParseGatewayLines("a=tcp://1.2.3.4:1\na=tcp://1.2.3.4:2\n", &twice, &error));
  EXPECT_FALSE(FinishGatewayList(&twice, &error));
  EXPECT_NE(error.find("twice"), std::string::npos);
  std::vector<GatewayEntry> same_port;
  ASSERT_TRUE(ParseGatewayLines("a=server://:4001\nb=server://:4001\n", &same_port, &error));
  EXPECT_FALSE(FinishGatewayList(&same_port, &error));
  std::vector<GatewayEntry> numbered;
  EXPECT_FALSE(ParseGatewayLines("a=tcp://1.2.3.4:1\nb=oops\n", &numbered, &error));
  EXPECT_NE(error.find("line 2"), std::string::npos);
}

TEST(MqttOptionsTest, UrlsPrefixesAndTheLoginFile) {
  MqttOptions o;
  std::string error;
  ASSERT_TRUE(ParseMqttUrl("mqtt://broker.lab", &o, &error));
  EXPECT_EQ(o.host, "broker.lab");
  EXPECT_EQ(o.port, 1883);
  EXPECT_FALSE(o.tls);
  ASSERT_TRUE(ParseMqttUrl("mqtts://127.0.0.1:18883/", &o, &error));
  EXPECT_TRUE(o.tls);
  EXPECT_EQ(o.port, 18883);
  for (const char* bad : {"tcp://x:1", "mqtt://", "mqtt://:1883", "mqtt://h:0", "mqtt://h:x", "mqtt://a b:1"}) {
    EXPECT_FALSE(ParseMqttUrl(bad, &o, &error)) << bad;
  }
  EXPECT_TRUE(ValidTopicPrefix("lab/bench"));
  for (const char* bad : {"", "/a", "a/", "a/+/b", "a#", "a//b"}) EXPECT_FALSE(ValidTopicPrefix(bad)) << bad;

  char dir[] = "/tmp/tarnlink-auth-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/login";
  std::ofstream(path) << "bench:pa:ss\n";
  chmod(path.c_str(), 0644);
  EXPECT_FALSE(ReadMqttAuthFile(path, &o, &error));
  EXPECT_NE(error.find("chmod 600"), std::string::npos);
  chmod(path.c_str(), 0600);
  ASSERT_TRUE(ReadMqttAuthFile(path, &o, &error)) << error;
  EXPECT_EQ(o.user, "bench");
  EXPECT_EQ(o.password, "pa:ss");
  std::ofstream(path) << "no colon\n";
  EXPECT_FALSE(ReadMqttAuthFile(path, &o, &error));
  std::remove(path.c_str());
  rmdir(dir);
}

}  // namespace
}  // namespace tarnlink::serve
