// Feeds arbitrary bytes to StreamParser in varying chunks, checks every
// extracted packet and runs every decoder on it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "protocol/commands.h"
#include "protocol/records.h"
#include "protocol/stream_parser.h"

namespace tarnlink {
namespace {

// The scanning rules applied literally to the whole input; returns the
// packets and sets *rest to the bytes a parser must still hold.
std::vector<Packet> ReferenceScan(const uint8_t* in, size_t n, size_t* rest) {
  std::vector<Packet> out;
  size_t i = 0;
  for (;;) {
    while (i < n && in[i] != kStartByte) ++i;
    if (n - i < kMinPacketSize) break;
    if (HeaderIsValid(in + i, n - i)) {
      const size_t total = LoadBe16(in + i + 4) + kMinPacketSize;
      if (n - i < total) break;
      if (PacketChecksum(in + i, total - 1) == in[i + total - 1]) {
        out.emplace_back(in + i, in + i + total);
        i += total;
        continue;
      }
    }
    ++i;
  }
  *rest = n - i;
  return out;
}

// Chunk sizes from a small generator; the seed byte picks the scale, so the
// fuzzer explores one-byte feeds as well as whole-datagram ones.
class Chunker {
 public:
  explicit Chunker(uint8_t seed) : state_(seed * 2654435761u + 1), scale_(kScales[seed & 3]) {}
  size_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return 1 + state_ % scale_;
  }
  static constexpr size_t kMaxChunk = 65536;

 private:
  static constexpr size_t kScales[4] = {1, 16, 2048, kMaxChunk};
  uint32_t state_;
  size_t scale_;
};

void CheckPacket(PacketView view) {
  const uint8_t* p = view.data;
  const size_t n = view.size;
  CHECK(n >= kMinPacketSize && n <= kMaxPacketSize);
  CHECK(HeaderIsValid(p, n));
  const uint16_t length = PayloadLengthOf(view);
  CHECK(n == size_t{length} + kMinPacketSize);
  CHECK(PacketChecksum(p, n - 1) == p[n - 1]);
  CHECK(PacketTypeOf(view) == p[1] && PacketFlagsOf(view) == p[2]);
  CHECK(PayloadOf(view).data() == (length == 0 ? nullptr : p + kHeaderSize));
  const uint8_t type = p[1];
  const uint8_t* payload = p + kHeaderSize;

  const CanRecords can = DecodeCanPacket(view);
  CHECK(can.size() == (type == 0x00 ? length / 24u : 0u));
  for (uint32_t i = 0; i < can.size(); ++i) {
    uint8_t wire[kCanRecordSize];
    const _tagPacketDataCAN record = can[i].Decode();
    WriteCanRecord(wire, record);
    CHECK(std::memcmp(wire, payload + i * kCanRecordSize, sizeof(wire)) == 0);
    CHECK(can[i].channel() == record.channel && can[i].flags() == record.flags);
    MakeErrorInfo(record);
  }

  const CanFdRecords fd = DecodeCanFdPacket(view);
  CHECK(fd.size() == (type == 0x01 ? length / 80u : 0u));
  for (uint32_t i = 0; i < fd.size(); ++i) {
    uint8_t wire[kCanFdRecordSize];
    WriteCanFdRecord(wire, fd[i].Decode());
    CHECK(std::memcmp(wire, payload + i * kCanFdRecordSize, sizeof(wire)) == 0);
    CHECK(std::memcmp(fd[i].DecodeCan().data, payload + i * kCanFdRecordSize + 16, 8) == 0);
  }

  const GpsRecords gps = DecodeGpsPacket(view);
  CHECK(gps.size() == (type == 0x05 ? length / 32u : 0u));
  for (uint32_t i = 0; i < gps.size(); ++i) {
    const _tagPacketDataGPS record = gps[i].Decode();
    CHECK(record.time_word == LoadBe64(payload + 32 * i));
    CHECK(record.fields[5] == LoadBe32(payload + 32 * i + 28));
  }

  uint8_t sequence = 0;
  bool is_answer = false;
  CommandMessage message;
  const bool is_command = ParseCommandPacket(view, &sequence, &is_answer, &message);
  CHECK(is_command == (type == 0x50 && length >= 2));
  if (is_command) {
    CHECK(message.body.size() == size_t{length} - 2);
    CHECK(sequence == ((p[2] >> 1) & 7) && is_answer == ((p[2] & 1) != 0));
    // The encoder writes zero into the bits a receiver ignores.
    if ((p[2] & 0xF0) == 0 && p[3] == 0) {
      const Packet again = is_answer ? EncodeAnswer(message, sequence) : EncodeRequest(message, sequence);
      CHECK(again.size() == n && std::memcmp(again.data(), p, n) == 0);
    }
    if (!is_answer) {
      const Packet answer = EncodeAnswer(EmulatedDeviceAnswers(message), sequence);
      CHECK(HeaderIsValid(answer) && answer[2] == ((sequence << 1) | 1));
    }
  }
  if (type == 0x80 && length == 8 && p[2] == 0 && p[3] == 0) {
    const Packet again = EncodeNotice(LoadBe64(payload));
    CHECK(std::memcmp(again.data(), p, n) == 0);
  }
  if (type == 0x81 && length == 0 && p[3] == 0) {
    const Packet again = EncodeNoticeAck(p[2]);
    CHECK(std::memcmp(again.data(), p, n) == 0);
  }
}

}  // namespace
}  // namespace tarnlink

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnlink;
  if (size < 1) return 0;
  const uint8_t* in = data + 1;
  const size_t n = size - 1;
  size_t rest = 0;
  const std::vector<Packet> expected = ReferenceScan(in, n, &rest);

  // Two parsers, each with its own chunking, must both see exactly the
  // packets of the literal scan.
  StreamParser first;
  StreamParser second;
  Chunker first_chunks(data[0]);
  Chunker second_chunks(static_cast<uint8_t>(data[0] ^ 0x5A));
  std::vector<PacketView> views;
  size_t copied = 0;
  size_t viewed = 0;
  for (size_t pos = 0; pos < n;) {
    const size_t len = std::min(first_chunks.Next(), n - pos);
    first.AppendBytes(ByteSpan(in + pos, len));
    pos += len;
    first.ExtractPackets(views);
    for (const PacketView& v : views) {
      CHECK(copied < expected.size() && v.size == expected[copied].size());
      CHECK(std::memcmp(v.data, expected[copied].data(), v.size) == 0);
      CheckPacket(v);
      ++copied;
    }
    // Left over: less than a header, or a plausible header and part of its
    // packet. Storage: buffer and rescan table, each at most twice that plus
    // one chunk, with the vectors' growth slack.
    CHECK(first.Buffered() < kMaxPacketSize);
    CHECK(first.Capacity() <= 8 * (kMaxPacketSize + Chunker::kMaxChunk));
  }
  for (size_t pos = 0; pos < n;) {
    const size_t len = std::min(second_chunks.Next(), n - pos);
    second.AppendBytes(ByteSpan(in + pos, len));
    pos += len;
    second.ExtractPackets(views);
    for (const PacketView& v : views) {
      CHECK(viewed < expected.size() && v.size == expected[viewed].size());
      CHECK(std::memcmp(v.data, expected[viewed].data(), v.size) == 0);
      ++viewed;
    }
  }
  CHECK(copied == expected.size() && viewed == expected.size());
  CHECK(first.Buffered() == rest && second.Buffered() == rest);
  return 0;
}
