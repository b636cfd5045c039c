// Writes the seed corpora of every fuzz target: real encoder output for the
// codecs, and inputs in the byte language of the device and export targets
// (valid packets, reads and exchanges; see fuzz_on_receive.cc, fuzz_exports.cc),
// and the tool's captures, logs, frame texts and extcap command lines as its
// tests use them:
//   fuzz_seed_gen <dir>  ->  <dir>/fuzz_stream_parser/*, <dir>/fuzz_json_answers/*,
//                            <dir>/fuzz_on_receive/*, <dir>/fuzz_exports/*, <dir>/fuzz_capture/*,
//                            <dir>/fuzz_play_input/*, <dir>/fuzz_frame_text/*, <dir>/fuzz_extcap_args/*
// The committed seeds are fuzz_seed_gen fuzz/corpus.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "protocol/commands.h"
#include "protocol/records.h"
#include "tools/cli/pcapng.h"

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
  Packet bad;
  BuildCanPacket(0, can.data(), 2, false, bad);
  bad.back() ^= 1;
  Packet can60;
  BuildCanPacket(1, can.data(), 60, true, can60);
  Packet canfd18;
  BuildCanFdPacket(0, fd.data(), 18, false, canfd18);
  return {
      {"can60", Stream(2, {can60})},
      {"canfd18", Stream(1, {canfd18})},
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

// ---- fuzz_on_receive and fuzz_exports: packets written out byte by byte ----

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Zeros(size_t n) { return Bytes(n, 0); }

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Le16(size_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }

Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

// A data record of either size: stamp, identifier, flags, channel, length, data.
Bytes Record(size_t size, uint8_t channel, uint32_t id, const Bytes& data, uint16_t flags, uint64_t stamp) {
  Bytes r(size, 0);
  StoreBe64(r.data(), stamp);
  StoreBe32(r.data() + 8, id);
  StoreBe16(r.data() + 12, flags);
  r[14] = channel;
  r[15] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), r.begin() + 16);
  return r;
}

Bytes Range(uint8_t n) {
  Bytes out(n);
  for (uint8_t i = 0; i < n; ++i) out[i] = i;
  return out;
}

// One chunk for a peer (0-3): peer byte, length - 1 (little-endian), bytes.
Bytes Chunk(uint8_t peer, const Bytes& b) { return Cat({{static_cast<uint8_t>(peer & 3)}, Le16(b.size() - 1), b}); }

// A read of queue `op` on a channel, capacity cap.
Bytes Read(uint8_t op, uint8_t channel = 0, uint8_t cap = 16) {
  return {0x80, op, channel, static_cast<uint8_t>(cap - 1)};
}

// An answer given by the fake transport: result 1, body.
Bytes Answer(const Bytes& body) { return Cat({{0x0f, 0x01}, Le16(body.size()), body}); }

std::vector<std::pair<std::string, Bytes>> OnReceiveSeeds() {
  Bytes cans;
  for (uint8_t c = 0; c < 6; ++c) {
    const Bytes r = Record(kCanRecordSize, c % 4, 0x100u + c, Range(8), 0, c);
    cans.insert(cans.end(), r.begin(), r.end());
  }
  Bytes fds;
  for (uint8_t c = 0; c < 3; ++c) {
    const Bytes r = Record(kCanFdRecordSize, c % 4, 0x200u + c, Range(64), 0x0110, 0);
    fds.insert(fds.end(), r.begin(), r.end());
  }
  const Bytes can_packet = Raw(0x00, 0, cans);
  const Bytes whole = Raw(0x01, 0, fds);
  const Bytes errors = Cat({Record(kCanRecordSize, 0, 0, {0xE1, 2, 0, 7, 9, 0, 0, 0}, 0x0080, 0),
                            Record(kCanRecordSize, 1, 0, {}, 0x0004, 77)});
  Bytes gps(kGpsRecordSize, 0);
  StoreBe64(gps.data(), (uint64_t{1} << 63) | 1700000000u);
  Bytes report(kChannelReportSize, 0);
  report[16] = 1;
  const std::string info =
      "{\r\n\"Model\":\"X\",\"FirmwareVersion\":\"V1.02\",\"HardwareVersion\":\"V2.00\",\"SN\":\"123\"\r\n}";
  const std::string autosend =
      "{\"Msg0\":{\"Enable\":1,\"Index\":0,\"Period\":100,\"ID\":256,\"Len\":8,\"Data\":[1,2,3,4,5,6,7,8]}}";
  return {
      {"can_read", Cat({{2}, Chunk(0, can_packet), Read(0, 0), Read(0, 1), Read(7, 2)})},
      {"canfd_split_peers", Cat({{2},
                                 Chunk(0, Bytes(whole.begin(), whole.begin() + 50)),
                                 Chunk(1, can_packet),
                                 Chunk(0, Bytes(whole.begin() + 50, whole.end())),
                                 Read(1, 0),
                                 Read(1, 1)})},
      {"error_marker", Cat({{1}, Chunk(0, Raw(0x00, 0, errors)), Read(2, 0), Read(3, 1), Read(7, 0)})},
      {"gps_report_text",
       Cat({{2},
            Chunk(2, Cat({Raw(0x05, 0, Cat({gps, gps})), Raw(0x03, 0, report), Raw(0x04, 2, Text("hello"))})),
            Read(5),
            Read(6),
            Read(4, 1)})},
      {"gateway_request_notice", Cat({{0},
                                      Chunk(0, Raw(0x50, 0x02, Cat({{1, 1}, Text("{}"), {0}}))),
                                      {7},
                                      Chunk(3, Raw(0x80, 0, Zeros(8))),
                                      {7}})},
      {"device_info_answer", Cat({{1},
                                  {0x80, 8, 0, 0},
                                  Answer(Cat({Text(info), {0}})),
                                  Answer(Cat({Text("{\"Remain\":12345}"), Zeros(4)}))})},
      {"autosend_readback", Cat({{1}, {0x80, 10, 0, 0}, Answer(Cat({Text(autosend), {0}}))})},
      {"reset_start", Cat({{2},
                           Chunk(0, Bytes(can_packet.begin(), can_packet.begin() + 40)),
                           {0xE0},
                           {0xC0, 0x05},
                           Chunk(0, can_packet),
                           Read(0, 0)})},
  };
}

std::vector<std::pair<std::string, Bytes>> ExportsSeeds() {
  const Bytes open = Cat({{0, 0, 0}, Le32(0)});  // open type 0x30 index 0
  const Bytes start = {2, 0, 0, 0, 1};           // handle of type 0x30, index 0, channel 0; server mode
  const Bytes receive = Cat({{10, 16}, Zeros(16 * 24), {0, 0, 0}, {5}});
  const Bytes transmit = Cat({{8, 3}, Zeros(3 * 20), {0, 0, 0}});
  const Bytes get_key = Cat({{17, 0, 0, 0, 5, 1, 0}, Zeros(44)});
  const Bytes set_key = Cat({{15, 0, 0, 0, 21, 1}, Zeros(96)});
  const Bytes close = {1, 0, 0, 0};
  Bytes keys = open;
  for (uint8_t key : {0, 1, 2, 4, 5, 6, 27, 28, 31, 32, 39, 40}) {
    keys = Cat({keys, {17, 0, 0, 0, key, 1, 3}, Zeros(200)});
  }
  return {
      {"open_close", Cat({open, close})},
      {"server_start_io", Cat({open, start, receive, transmit, get_key, set_key, {3, 0, 0, 0}, close})},
      {"keys", keys},
      {"bad_handles", Cat({{12, 0xC0}, Le32(0xFFFFFFFFu), {10, 5, 0xC0}, Le32(0x123456), Zeros(200)})},
  };
}

// ---- the tool's readers: captures, logs, frame texts, extcap command lines ----

// The frames of the tool's end-to-end and tshark tests: every identifier
// kind, remote, empty, CAN FD with and without BRS, an error frame.
const std::vector<std::string>& TestFrames() {
  static const std::vector<std::string> frames = {"123#DEADBEEF",
                                                  "12345678#0102",
                                                  "7FF#R4",
                                                  "000#",
                                                  "321##1AABBCCDD",
                                                  "1FFFFFFF##0",
                                                  "456##1" + std::string(128, '5'),
                                                  "20000040#0000000000000000",
                                                  "18DAF110##1AABB",
                                                  "5A5#01.02"};
  return frames;
}

cli::Frame ParsedFrame(const std::string& text) {
  cli::Frame f;
  std::string error;
  cli::ParseFrame(text, &f, &error);
  return f;
}

Bytes FromString(const std::string& s) { return Bytes(s.begin(), s.end()); }

// pcapng blocks by hand, for what PcapngWriter does not write.
std::string Block(uint32_t type, std::string body) {
  body.append((4 - body.size() % 4) % 4, '\0');
  const Bytes total = Le32(static_cast<uint32_t>(12 + body.size()));
  const std::string t(total.begin(), total.end());
  const Bytes ty = Le32(type);
  return std::string(ty.begin(), ty.end()) + t + body + t;
}

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::vector<std::pair<std::string, Bytes>> CaptureSeeds() {
  const cli::PcapngWriter writer({0, 1});
  std::string file;
  writer.AppendHeader(&file);
  uint64_t t = 1700000000000000;
  for (const std::string& f : TestFrames()) {
    writer.AppendFrame(t % 2, ParsedFrame(f), t, &file);
    ++t;
  }
  // Interfaces the writer does not make: a 2^-20 s resolution, another link
  // type, a long name; a second section.
  const std::string shb = Block(0x0A0D0D0A, Str(Cat({Le32(0x1A2B3C4D), Le16(1), Le16(0), Le32(~0u), Le32(~0u)})));
  std::string record;
  cli::AppendSocketCanRecord(ParsedFrame("123#01"), &record);
  auto idb = [](uint16_t link, const std::string& name, int tsresol) {
    std::string o = Str(Cat({Le16(link), Le16(0), Le32(0)}));
    if (!name.empty()) {
      o += Str(Cat({Le16(2), Le16(name.size())})) + name;
      o.append((4 - o.size() % 4) % 4, '\0');
    }
    if (tsresol >= 0) o += Str(Cat({Le16(9), Le16(1), {static_cast<uint8_t>(tsresol), 0, 0, 0}}));
    return Block(1, o + Str(Le32(0)));
  };
  auto epb = [](uint32_t iface, uint64_t ticks, const std::string& rec) {
    return Block(6, Str(Cat({Le32(iface), Le32(static_cast<uint32_t>(ticks >> 32)), Le32(static_cast<uint32_t>(ticks)),
                             Le32(static_cast<uint32_t>(rec.size())), Le32(static_cast<uint32_t>(rec.size()))})) +
                        rec);
  };
  const std::string mixed = shb + idb(227, "can0", 0x94) + idb(1, "eth0", -1) + idb(227, std::string(300, 'n'), 9) +
                            epb(0, 1ull << 40, record) + epb(1, 5, std::string(60, 'e')) + epb(2, 1234567891, record) +
                            Block(3, Str(Le32(16)) + record) + shb + idb(227, "", -1) + epb(0, 1, record);
  // pcap: microseconds little-endian, nanoseconds big-endian.
  auto pcap = [&](bool big, bool nanos) {
    auto be = [&](uint32_t v) {
      Bytes b = Le32(v);
      if (big) std::reverse(b.begin(), b.end());
      return b;
    };
    auto be16 = [&](uint16_t v) {
      Bytes b = Le16(v);
      if (big) std::reverse(b.begin(), b.end());
      return b;
    };
    Bytes out = Cat({be(nanos ? 0xA1B23C4D : 0xA1B2C3D4), be16(2), be16(4), be(0), be(0), be(65535), be(227)});
    for (const std::string& f : TestFrames()) {
      std::string r;
      cli::AppendSocketCanRecord(ParsedFrame(f), &r);
      out = Cat({out, be(1700000000), be(nanos ? 123456789 : 123456), be(static_cast<uint32_t>(r.size())),
                 be(static_cast<uint32_t>(r.size())), FromString(r)});
    }
    return out;
  };
  return {
      {"dump_w", FromString(file)},          {"dump_w_cut", FromString(file.substr(0, file.size() - 5))},
      {"mixed_sections", FromString(mixed)}, {"pcap_us_le", pcap(false, false)},
      {"pcap_ns_be", pcap(true, true)},
  };
}

std::vector<std::pair<std::string, Bytes>> PlayInputSeeds() {
  std::string log = "# recorded earlier\n";
  uint32_t us = 0;
  for (const std::string& f : TestFrames()) {
    log += cli::LogLine(ParsedFrame(f), us % 2, 1700000000, us) + "\n";
    us += 50001;
  }
  return {
      {"dump_l", FromString(log)},
      {"candump", FromString("(1436509052.249713) vcan0 044#2A366C2BBA R\n\n  \t\r\n(1436509053.000000) can1 "
                             "12345678#R T\n(1436509054.5) can1 1#1")},
      {"cut", FromString(log.substr(0, log.size() - 4))},
      {"capture", CaptureSeeds()[0].second},
  };
}

std::vector<std::pair<std::string, Bytes>> FrameTextSeeds() {
  std::vector<std::pair<std::string, Bytes>> seeds;
  int n = 0;
  for (const std::string& f : TestFrames()) seeds.push_back({"frame" + std::to_string(n++), FromString(f)});
  seeds.push_back({"log_line", FromString(cli::LogLine(ParsedFrame("123##1AABB"), 2, 1700000000, 42))});
  seeds.push_back({"candump_line", FromString("(1436509052.249713) vcan0 044#2A366C2BBA R")});
  seeds.push_back({"remote", FromString("1ABCDEF0#r8")});
  return seeds;
}

// The command lines of tshark_test.sh and of Wireshark.
std::vector<std::pair<std::string, Bytes>> ExtcapSeeds() {
  auto args = [](std::initializer_list<std::string> list) {
    std::string out;
    for (const std::string& a : list) out += (out.empty() ? "" : std::string(1, '\0')) + a;
    return FromString(out);
  };
  return {
      {"interfaces", args({"--extcap-interfaces", "--extcap-version=4.0"})},
      {"dlts", args({"--extcap-interface=tarnlink", "--extcap-dlts"})},
      {"config", args({"--extcap-interface", "tarnlink", "--extcap-config"})},
      {"capture", args({"--capture", "--extcap-interface", "tarnlink", "--fifo", "/tmp/never", "--port", "8000",
                        "--udp", "true", "--server=false", "--time=gateway", "--channels=0,1", "--type", "0x31",
                        "--local-port", "0", "--host=127.0.0.1", "--extcap-capture-filter", "x"})},
      {"missing_value", args({"--extcap-interface", "tarnlink", "--capture", "--fifo"})},
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
                  tarnlink::WriteAll(root + "/fuzz_json_answers", tarnlink::JsonSeeds()) &&
                  tarnlink::WriteAll(root + "/fuzz_on_receive", tarnlink::OnReceiveSeeds()) &&
                  tarnlink::WriteAll(root + "/fuzz_exports", tarnlink::ExportsSeeds()) &&
                  tarnlink::WriteAll(root + "/fuzz_capture", tarnlink::CaptureSeeds()) &&
                  tarnlink::WriteAll(root + "/fuzz_play_input", tarnlink::PlayInputSeeds()) &&
                  tarnlink::WriteAll(root + "/fuzz_frame_text", tarnlink::FrameTextSeeds()) &&
                  tarnlink::WriteAll(root + "/fuzz_extcap_args", tarnlink::ExtcapSeeds());
  if (!ok) std::fprintf(stderr, "%s: cannot write seeds under %s\n", argv[0], root.c_str());
  return ok ? 0 : 1;
}
