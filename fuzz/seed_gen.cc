// Writes the seed corpora from real encoder output:
//   fuzz_seed_gen <dir>  ->  <dir>/fuzz_stream_parser/*, <dir>/fuzz_json_answers/*
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "protocol/commands.h"
#include "protocol/records.h"

namespace tarnlink {
namespace {

using Bytes = std::vector<uint8_t>;

bool WriteFile(const std::string& path, const Bytes& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

// Stream seeds start with the chunking byte of the fuzz target.
Bytes Stream(uint8_t chunking, std::initializer_list<Packet> packets) {
  Bytes out{chunking};
  for (const Packet& p : packets) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Packet Raw(uint8_t type, uint8_t flags, const Bytes& payload) {
  Packet p{kStartByte, type, flags, 0, 0, 0};
  StoreBe16(p.data() + 4, static_cast<uint16_t>(payload.size()));
  p.insert(p.end(), payload.begin(), payload.end());
  AppendChecksum(p);
  return p;
}

std::vector<std::pair<std::string, Bytes>> StreamSeeds() {
  std::vector<VELA_CAN_TRANSMIT> can(60);
  for (uint32_t i = 0; i < can.size(); ++i) {
    can[i].id = 0x80000000u | i;
    can[i].len = 8;
    can[i].data[0] = static_cast<uint8_t>(i);
  }
  std::vector<VELA_CANFD_TRANSMIT> fd(18);
  for (auto& f : fd) {
    f.len = 15;
    f.flags = 1;
  }
  VELA_CANFD_AUTOSEND autosend{};
  autosend.enable = 1;
  autosend.index = 3;
  autosend.period = 100;
  const Packet request = EncodeRequest({1, 4, SizeRemainQueryBody(1)}, 1);
  const Packet answer = EncodeAnswer(EmulatedDeviceAnswers({7, 1, {}}), 3);
  Packet bad = BuildCanPackets(0, can.data(), 2, false)[0];
  bad.back() ^= 1;
  return {
      {"can60", Stream(2, {BuildCanPackets(1, can.data(), 60, true)[0]})},
      {"canfd18", Stream(1, {BuildCanFdPackets(0, fd.data(), 18, false)[0]})},
      {"autosend", Stream(0, {BuildAutoSendPacket(0, autosend, false)})},
      {"commands", Stream(1, {request, answer, EncodeNotice(0x0102030405060708u), EncodeNoticeAck(0x80)})},
      {"gps_text_report",
       Stream(3, {Raw(0x05, 0, Bytes(40, 0x11)), Raw(0x04, 2, {'o', 'k', 0}), Raw(0x03, 0, Bytes(24, 0x01))})},
      {"damaged", Stream(0, {Packet{0x13, 0x55, 0x00, 0x00, 0x00, 0x00, 0x19}, bad,
                             Packet{0x55, 0x04, 0x00, 0x00, 0x01, 0x00}, request})},
  };
}

std::vector<std::pair<std::string, Bytes>> JsonSeeds() {
  auto seed = [](uint8_t offset, uint8_t num, const std::string& text, bool zero) {
    Bytes out{offset, num};
    out.insert(out.end(), text.begin(), text.end());
    if (zero) out.push_back(0);
    return out;
  };
  const Bytes info = EmulatedDeviceAnswers({1, 1, {}}).body;
  const Bytes size = EmulatedDeviceAnswers({1, 4, {}}).body;
  Bytes info_seed{0, 4};
  info_seed.insert(info_seed.end(), info.begin(), info.end());
  Bytes size_seed{0, 4};
  size_seed.insert(size_seed.end(), size.begin(), size.end());
  const std::string entry =
      "{\"Enable\":1,\"Period\":100,\"Cnt\":0,\"MsgID\":291,\"MsgFlag\":16,\"MsgData\":[1,2,3,300,\"x\",-1.5]}";
  return {
      {"device_info", info_seed},
      {"size_remain", size_seed},
      {"autosend4", seed(4, 4,
                         "{\r\n\"Msg4\":" + entry + ",\r\n\"Msg5\":" + entry + ",\r\n\"Msg6\":" + entry +
                             ",\r\n\"Msg7\":{\"MsgData\":7}\r\n}",
                         true)},
      {"autosend_gap", seed(0, 4, "{\"Msg0\":" + entry + ",\"Msg2\":" + entry + "}", false)},
      {"numbers", seed(0, 1, "{\"Remain\":1e300,\"Msg0\":{\"Enable\":-1e999,\"Period\":65537.9}}", true)},
  };
}

bool WriteAll(const std::string& dir, const std::vector<std::pair<std::string, Bytes>>& seeds) {
  ::mkdir(dir.c_str(), 0755);
  for (const auto& [name, bytes] : seeds) {
    if (!WriteFile(dir + "/" + name, bytes)) return false;
  }
  return true;
}

}  // namespace
}  // namespace tarnlink

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  ::mkdir(root.c_str(), 0755);
  const bool ok = tarnlink::WriteAll(root + "/fuzz_stream_parser", tarnlink::StreamSeeds()) &&
                  tarnlink::WriteAll(root + "/fuzz_json_answers", tarnlink::JsonSeeds());
  if (!ok) std::fprintf(stderr, "%s: cannot write seeds under %s\n", argv[0], root.c_str());
  return ok ? 0 : 1;
}
