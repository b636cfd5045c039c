// pcapng written block by block and pcap / pcapng read back: the bytes of
// worked examples, both byte orders, damage.
#include "tools/cli/pcapng.h"

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/cli/capture_blocks.h"

namespace tarnlink::cli {
namespace {

Frame Parse(const std::string& text) {
  Frame f;
  std::string error;
  EXPECT_TRUE(ParseFrame(text, &f, &error)) << text << ": " << error;
  return f;
}

struct Read {
  std::string name;
  Frame frame;
  uint64_t micros;
};

// Every record of a capture, and how its reading ended (*error says why
// unless it ended whole).
CaptureReader::Status ReadCapture(const std::string& bytes, std::vector<Read>* out, std::string* error) {
  std::istringstream in(bytes);
  CaptureReader reader(in);
  out->clear();
  CaptureRecord r;
  CaptureReader::Status status;
  while ((status = reader.Next(&r, error)) == CaptureReader::Status::kRecord) {
    out->push_back({std::string(r.name), r.frame, r.micros});
  }
  return status;
}
constexpr auto kEnd = CaptureReader::Status::kEnd;
constexpr auto kCut = CaptureReader::Status::kCut;
constexpr auto kError = CaptureReader::Status::kError;

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

TEST(SocketCanRecord, MatchesTheLinkTypeLayout) {
  std::string r;
  AppendSocketCanRecord(Parse("12345678#0102"), &r);
  EXPECT_EQ(Hex(r),
            "92345678"
            "02"
            "00"
            "0000"
            "0102000000000000");
  r.clear();
  AppendSocketCanRecord(Parse("7FF#R4"), &r);  // length kept, no data
  EXPECT_EQ(Hex(r),
            "400007ff"
            "04"
            "00"
            "0000"
            "0000000000000000");
  r.clear();
  AppendSocketCanRecord(Parse("123##3AABB"), &r);  // FDF always, BRS and ESI kept
  ASSERT_EQ(r.size(), kSocketCanFdSize);
  EXPECT_EQ(Hex(r.substr(0, 10)),
            "00000123"
            "02"
            "07"
            "0000"
            "aabb");
  EXPECT_EQ(r.substr(10), std::string(62, '\0'));
  Frame back;
  ASSERT_TRUE(ParseSocketCanRecord(reinterpret_cast<const uint8_t*>(r.data()), r.size(), &back));
  EXPECT_EQ(back, Parse("123##3AABB"));
  // Not frames: a classic length above 8, a CAN FD length that is none, a short record.
  const uint8_t long_classic[16] = {0, 0, 1, 0x23, 9};
  const uint8_t odd_fd[72] = {0, 0, 1, 0x23, 9, kSocketCanFdf};
  EXPECT_FALSE(ParseSocketCanRecord(long_classic, sizeof long_classic, &back));
  EXPECT_FALSE(ParseSocketCanRecord(odd_fd, sizeof odd_fd, &back));
  EXPECT_FALSE(ParseSocketCanRecord(long_classic, 7, &back));
  // Eleven bits hold at most 7FF, as a log's "800#" is refused; with the
  // extended flag the same identifiers are frames.
  for (uint8_t top : {0x00, 0x80}) {
    const uint8_t above[16] = {top, 0, 0x08, 0x00, 1, 0, 0, 0, 0xAA};
    const uint8_t all[16] = {static_cast<uint8_t>(top | 0x1F), 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(ParseSocketCanRecord(above, sizeof above, &back), top != 0);
    EXPECT_EQ(ParseSocketCanRecord(all, sizeof all, &back), top != 0);
  }
  // An error frame is its flag and classes: with the extended or remote flag
  // no log could hold it (found by fuzz_play_input).
  const uint8_t error_frame[16] = {0x20, 0, 0, 0x40, 8};
  EXPECT_TRUE(ParseSocketCanRecord(error_frame, sizeof error_frame, &back));
  for (uint8_t flags : {0x80, 0x40, 0xC0}) {
    uint8_t flagged[16] = {static_cast<uint8_t>(0x20 | flags), 0, 0, 0x40, 8};
    EXPECT_FALSE(ParseSocketCanRecord(flagged, sizeof flagged, &back)) << int{flags};
  }
}

using test::pcapng::Interface;
using test::pcapng::Le;
using test::pcapng::Packet;
using test::pcapng::Section;

std::string Record(const std::string& frame) {
  std::string r;
  AppendSocketCanRecord(Parse(frame), &r);
  return r;
}

TEST(Pcapng, EveryTimeResolutionConvertsExactly) {
  const uint64_t s = 1700000000;
  struct Case {
    int tsresol;
    uint64_t ticks;
    uint64_t micros;
  } cases[] = {
      {0x94, 3 * (1ull << 20) + (1ull << 18), 3250000},  // 2^-20 s: 3.25 s
      {0x94, s * (1ull << 20) + (1ull << 19), s * 1000000 + 500000},
      {0x91, s * (1ull << 17) + 1, s * 1000000 + 7},  // 2^-17 s: 7.63 us
      {0x98, s * (1ull << 24) + (1ull << 22), s * 1000000 + 250000},
      {0xBF, 1ull << 63, 1000000},  // 2^-63 s
      {0x80 | 100, ~0ull, 0},       // below any clock
      {9, s * 1000000000 + 123456789, s * 1000000 + 123456},
      {0, s, s * 1000000},
      {0, 1ull << 63, ~0ull},  // past 2^64 microseconds: saturated
      {19, ~0ull, 1844674},
      {120, ~0ull, 0},
  };
  for (const Case& c : cases) {
    std::vector<Read> records;
    std::string error;
    const std::string file = Section() + Interface("", c.tsresol) + Packet(0, c.ticks, Record("123#01")) +
                             Packet(0, c.ticks + 1, Record("123#02"));
    ASSERT_EQ(ReadCapture(file, &records, &error), kEnd) << error;
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].micros, c.micros) << std::hex << c.tsresol << " " << c.ticks;
    EXPECT_EQ(records[0].name, "ch0");
  }
  // Frames a second apart at 2^-17 ... 2^-24 s play a second apart.
  for (int e = 17; e <= 24; ++e) {
    std::vector<Read> records;
    std::string error;
    const uint64_t one = 1ull << e;
    const std::string file = Section() + Interface("can0", 0x80 | e) + Packet(0, s * one, Record("123#01")) +
                             Packet(0, (s + 1) * one, Record("123#02"));
    ASSERT_EQ(ReadCapture(file, &records, &error), kEnd) << error;
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].micros - records[0].micros, 1000000u) << e;
  }
}

TEST(Pcapng, HostileInterfaceTablesStayBounded) {
  // A 65,532-byte name is kept once for its interface, not once per packet,
  // and only as far as the message names it.
  const std::string name(65532, 'N');
  std::string file = Section() + Interface(name) + Interface("ch1", -1, 1);
  for (int i = 0; i < 1000; ++i) file += Packet(i % 2, i, Record("123#01"));
  std::istringstream in(file);
  CaptureReader reader(in);
  CaptureRecord r;
  std::string error;
  const char* kept = nullptr;
  int n = 0;
  while (reader.Next(&r, &error) == CaptureReader::Status::kRecord) {
    ASSERT_EQ(r.name.size(), name.size());
    if (kept == nullptr) kept = r.name.data();
    EXPECT_EQ(r.name.data(), kept);
    ++n;
  }
  EXPECT_EQ(n, 500);  // the other interface is Ethernet: passed over
  EXPECT_EQ(reader.packets(), 1000u);
  // Names of more than a MiB in a section, or more interfaces than any
  // capture of CAN has, are refused before they are kept.
  std::vector<Read> records;
  file = Section();
  for (size_t i = 0; i * 65532 <= CaptureReader::kMaxNameBytes; ++i) file += Interface(name);
  EXPECT_EQ(ReadCapture(file, &records, &error), kError);
  EXPECT_EQ(error, "interface names of more than 1048576 bytes in a section");
  file = Section();
  for (size_t i = 0; i <= CaptureReader::kMaxInterfaces; ++i) file += Interface("", -1, 1);
  EXPECT_EQ(ReadCapture(file, &records, &error), kError);
  EXPECT_EQ(error, "more than 4096 interfaces in a section");
  // A new section starts a new table: the budget is per section.
  file = Section() + Interface(name) + Section() + Interface(name) + Packet(0, 1, Record("7FF#"));
  ASSERT_EQ(ReadCapture(file, &records, &error), kEnd) << error;
  EXPECT_EQ(records.size(), 1u);
  // A packet of a length no frame has is refused without being read; a block
  // claiming gigabytes ends as a cut at the end of the input.
  file = Section() + Interface("") + Packet(0, 1, std::string(73, '\0'));
  EXPECT_EQ(ReadCapture(file, &records, &error), kError);
  EXPECT_EQ(error, "packet 1 is not a CAN or CAN FD record");
  file = Section() + Interface("") + Le(0xB10C, 4) + Le(0xFFFFFFF0u, 4) + std::string(100, '\0');
  EXPECT_EQ(ReadCapture(file, &records, &error), kCut);
}

TEST(Pcapng, WholeBlocksReadBackAsWritten) {
  const PcapngWriter writer({0, 3});
  std::string file;
  writer.AppendHeader(&file);
  // Section header (28 + "tarnlink" option 12 + end 4 = 44 bytes), then per
  // interface 20 + name 8 + resolution 8 + end 4 = 40 bytes.
  ASSERT_EQ(file.size(), 44u + 2 * 40u);
  EXPECT_EQ(Hex(file.substr(0, 12)),
            "0a0d0d0a"
            "2c000000"
            "4d3c2b1a");
  EXPECT_EQ(Hex(file.substr(44, 16)),
            "01000000"
            "28000000"
            "e300"
            "0000"
            "48000000");
  EXPECT_EQ(file.substr(44 + 16, 8), std::string("\x02\x00\x03\x00"
                                                 "ch0\0",
                                                 8));
  EXPECT_EQ(Hex(file.substr(44 + 24, 8)), "0900010006000000");
  const size_t header = file.size();
  writer.AppendFrame(3, Parse("123#DEADBEEF"), 0x0000000100000002ull, &file);
  EXPECT_EQ(file.size() - header, 32u + 16u);
  EXPECT_EQ(Hex(file.substr(header, 28)),
            "06000000"
            "30000000"
            "01000000"
            "01000000"
            "02000000"
            "10000000"
            "10000000");
  writer.AppendFrame(0, Parse("18DAF110##1" + std::string(24, 'A')), 1700000000123456ull, &file);
  writer.AppendFrame(7, Parse("001#01"), 5, &file);  // no such interface: nothing
  std::vector<Read> records;
  std::string error;
  ASSERT_EQ(ReadCapture(file, &records, &error), kEnd) << error;
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].name, "ch3");
  EXPECT_EQ(records[0].frame, Parse("123#DEADBEEF"));
  EXPECT_EQ(records[0].micros, 0x0000000100000002ull);
  EXPECT_EQ(records[1].name, "ch0");
  EXPECT_EQ(records[1].frame, Parse("18DAF110##1" + std::string(24, 'A')));
  EXPECT_EQ(records[1].micros, 1700000000123456ull);
  // A file cut inside a block, as a killed writer leaves it: the whole
  // blocks are read, and where it was cut is said.
  EXPECT_EQ(ReadCapture(file.substr(0, file.size() - 3), &records, &error), kCut);
  EXPECT_EQ(records.size(), 1u);
  EXPECT_EQ(error, "cut short at byte " + std::to_string(file.size() - 3) + ", inside the block at byte " +
                       std::to_string(header + 48));
  for (size_t n : {size_t{0}, size_t{3}, size_t{10}, header - 1}) {
    EXPECT_EQ(ReadCapture(file.substr(0, n), &records, &error), n < 4 ? kError : kCut) << n;
    EXPECT_TRUE(records.empty());
  }
  // A length that does not match its copy is damage, not a cut.
  std::string damaged = file;
  damaged[header + 4] = 0x34;
  EXPECT_EQ(ReadCapture(damaged, &records, &error), kError);
  EXPECT_EQ(error, "damaged block at byte " + std::to_string(header));
}

// A pcap file of one record, written in the given byte order.
std::string Pcap(bool big_endian, bool nanos, uint32_t link_type, const std::string& record) {
  std::string out;
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (big_endian ? 24 - 8 * i : 8 * i));
  };
  auto put16 = [&](uint16_t v) {
    for (int i = 0; i < 2; ++i) out += static_cast<char>(v >> (big_endian ? 8 - 8 * i : 8 * i));
  };
  put32(nanos ? 0xA1B23C4D : 0xA1B2C3D4);
  put16(2);
  put16(4);
  put32(0);
  put32(0);
  put32(65535);
  put32(link_type);
  put32(1700000000);
  put32(nanos ? 123456789 : 123456);
  put32(static_cast<uint32_t>(record.size()));
  put32(static_cast<uint32_t>(record.size()));
  return out + record;
}

TEST(Pcap, EitherByteOrderAndResolution) {
  std::string record;
  AppendSocketCanRecord(Parse("1ABCDEF0#R8"), &record);
  for (bool big : {false, true}) {
    for (bool nanos : {false, true}) {
      std::vector<Read> records;
      std::string error;
      ASSERT_EQ(ReadCapture(Pcap(big, nanos, 227, record), &records, &error), kEnd) << error;
      ASSERT_EQ(records.size(), 1u);
      EXPECT_EQ(records[0].name, "ch0");
      EXPECT_EQ(records[0].frame, Parse("1ABCDEF0#R8"));
      EXPECT_EQ(records[0].micros, 1700000000123456ull);
    }
  }
  std::vector<Read> records;
  std::string error;
  EXPECT_EQ(ReadCapture(Pcap(false, false, 1, record), &records, &error), kError);  // Ethernet
  EXPECT_NE(error.find("227"), std::string::npos);
  const std::string whole = Pcap(false, false, 227, record);
  EXPECT_EQ(ReadCapture(whole.substr(0, whole.size() - 1), &records, &error), kCut);
  EXPECT_EQ(error, "cut short at byte 55, inside the block at byte 24");
  EXPECT_EQ(ReadCapture("(1.000000) ch0 123#", &records, &error), kError);
  EXPECT_FALSE(LooksLikeCapture("(1.000000) ch0 123#"));
}

}  // namespace
}  // namespace tarnlink::cli
