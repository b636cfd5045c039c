#include "protocol/stream_parser.h"

#include <algorithm>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace tarnlink {
namespace {

Packet MakePacket(uint8_t type, uint8_t flags, const std::vector<uint8_t>& payload) {
  // Sized once and filled in place: g++ 12 at -O3 warns (array-bounds, a
  // false positive) when a six-byte vector is grown by insert.
  Packet p(6 + payload.size(), 0);
  p[0] = kStartByte;
  p[1] = type;
  p[2] = flags;
  StoreBe16(p.data() + 4, static_cast<uint16_t>(payload.size()));
  std::copy(payload.begin(), payload.end(), p.begin() + 6);
  AppendChecksum(p);
  return p;
}

// A CanData packet of n records whose bytes avoid 0x55 except the start.
Packet CanPacket(uint32_t n, uint8_t fill) { return MakePacket(0x00, 0, std::vector<uint8_t>(24 * n, fill)); }

void Feed(StreamParser& parser, const Packet& bytes) { parser.AppendBytes(bytes); }

// The parser's views, copied before the next append moves them.
size_t Extract(StreamParser& parser, std::vector<Packet>& out) {
  std::vector<PacketView> views;
  parser.ExtractPackets(views);
  out.clear();
  for (const PacketView& v : views) out.emplace_back(v.data, v.data + v.size);
  return out.size();
}

Packet Concat(std::initializer_list<Packet> parts) {
  Packet all;
  for (const Packet& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::vector<Packet> FeedAll(StreamParser& parser, const Packet& bytes) {
  std::vector<Packet> out;
  Feed(parser, bytes);
  Extract(parser, out);
  return out;
}

TEST(StreamParserTest, PacketSplitAnywhereComesOutOnceWhenComplete) {
  const Packet packet = CanPacket(3, 0x11);
  for (size_t cut = 1; cut < packet.size(); ++cut) {
    StreamParser parser;
    std::vector<Packet> out;
    parser.AppendBytes(ByteSpan(packet.data(), cut));
    ASSERT_EQ(Extract(parser, out), 0u) << cut;
    EXPECT_EQ(parser.Buffered(), cut);
    parser.AppendBytes(ByteSpan(packet.data() + cut, packet.size() - cut));
    ASSERT_EQ(Extract(parser, out), 1u) << cut;
    EXPECT_EQ(out[0], packet);
    EXPECT_EQ(Extract(parser, out), 0u);
    EXPECT_EQ(parser.Buffered(), 0u);
  }
}

TEST(StreamParserTest, OneBytePerChunkLosesNothing) {
  const Packet stream = Concat({CanPacket(60, 0x01), MakePacket(0x50, 0x03, {1, 1}), CanPacket(0, 0)});
  StreamParser parser;
  std::vector<Packet> got;
  std::vector<Packet> out;
  for (size_t i = 0; i < stream.size(); ++i) {
    parser.AppendBytes(ByteSpan(&stream[i], 1));
    Extract(parser, out);
    got.insert(got.end(), out.begin(), out.end());
    if (i <= 1446) {
      ASSERT_EQ(got.size(), i == 1446 ? 1u : 0u) << "the first packet comes out at its last byte";
    }
  }
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(Concat({got[0], got[1], got[2]}), stream);
}

TEST(StreamParserTest, RandomChunkingYieldsTheSamePackets) {
  std::vector<Packet> expected;
  Packet stream;
  for (uint32_t i = 0; i < 40; ++i) {
    expected.push_back(i % 3 ? CanPacket(i % 7, static_cast<uint8_t>(i)) : MakePacket(0x04, 1, {'h', 'i'}));
    stream.insert(stream.end(), expected.back().begin(), expected.back().end());
  }
  std::mt19937 rng(7);
  for (int round = 0; round < 20; ++round) {
    StreamParser parser;
    std::vector<Packet> got;
    std::vector<Packet> out;
    for (size_t pos = 0; pos < stream.size();) {
      const size_t len = std::min<size_t>(1 + rng() % 300, stream.size() - pos);
      parser.AppendBytes(ByteSpan(stream.data() + pos, len));
      pos += len;
      Extract(parser, out);
      got.insert(got.end(), out.begin(), out.end());
    }
    EXPECT_EQ(got, expected);
  }
}

TEST(StreamParserTest, ChunkEndingInsidePacketKeepsTheRest) {
  const Packet a = CanPacket(1, 0x22);
  const Packet b = CanPacket(2, 0x33);
  const Packet stream = Concat({a, b});
  StreamParser parser;
  std::vector<Packet> out;
  parser.AppendBytes(ByteSpan(stream.data(), a.size() + 10));
  ASSERT_EQ(Extract(parser, out), 1u);
  EXPECT_EQ(out[0], a);
  EXPECT_EQ(parser.Buffered(), 10u);
  parser.AppendBytes(ByteSpan(stream.data() + a.size() + 10, b.size() - 10));
  ASSERT_EQ(Extract(parser, out), 1u);
  EXPECT_EQ(out[0], b);
}

TEST(StreamParserTest, JunkBeforePacketIsSkipped) {
  StreamParser parser;
  const Packet good = CanPacket(1, 0x44);
  const auto out = FeedAll(parser, Concat({Packet{0x00, 0xFF, 0x54, 0x56, 0x13}, good}));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], good);
  EXPECT_EQ(parser.Buffered(), 0u);
}

TEST(StreamParserTest, BadCanDataLengthIsRescannedFromNextByte) {
  // N = 25 is no multiple of 24; the good packet sits inside the 25 bytes the
  // bad header claims, so only dropping the one start byte finds it.
  const Packet good = CanPacket(1, 0x66);
  StreamParser parser;
  const auto out = FeedAll(parser, Concat({Packet{0x55, 0x00, 0x00, 0x00, 0x00, 0x19, 0x01}, good}));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], good);
}

TEST(StreamParserTest, BadChecksumIsSkipped) {
  Packet bad = CanPacket(1, 0x77);
  bad.back() ^= 0x01;
  const Packet good = CanPacket(2, 0x78);
  StreamParser parser;
  const auto out = FeedAll(parser, Concat({bad, good}));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], good);
  EXPECT_EQ(parser.Buffered(), 0u);
}

TEST(StreamParserTest, PlausibleWrongLengthHoldsBackUntilItsBytesArrive) {
  // A text header claiming 100 bytes swallows the good packet until 107 bytes
  // are buffered; then its checksum fails and the good packet is found.
  const Packet good = CanPacket(1, 0x12);
  Packet stream = Concat({Packet{0x55, 0x04, 0x01, 0x00, 0x00, 100}, good});
  StreamParser parser;
  EXPECT_TRUE(FeedAll(parser, stream).empty());
  const auto out = FeedAll(parser, Packet(107 - stream.size(), 0x00));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0], good);
}

TEST(StreamParserTest, SixHeaderBytesWaitUntouched) {
  const Packet packet = CanPacket(1, 0x10);
  StreamParser parser;
  parser.AppendBytes(ByteSpan(packet.data(), 6));
  std::vector<Packet> out;
  EXPECT_EQ(Extract(parser, out), 0u);
  EXPECT_EQ(parser.Buffered(), 6u);
}

TEST(StreamParserTest, EmptyDataPacketsAndUnknownTypesAreExtracted) {
  const Packet empty_can = CanPacket(0, 0);
  const Packet gps = MakePacket(0x05, 0, {1, 2, 3, 4, 5});
  const Packet unknown = MakePacket(0x42, 0x09, {9});
  StreamParser parser;
  const auto out = FeedAll(parser, Concat({empty_can, gps, unknown}));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].size(), 7u);
  EXPECT_EQ(out[1], gps);
  EXPECT_EQ(out[2], unknown);
}

TEST(StreamParserTest, ViewsAreConsumedOnce) {
  const Packet stream = Concat({CanPacket(2, 0x01), MakePacket(0x80, 0, Packet(8, 0x02)), CanPacket(1, 0x03)});
  StreamParser parser;
  Feed(parser, stream);
  std::vector<PacketView> out;
  ASSERT_EQ(parser.ExtractPackets(out), 3u);
  EXPECT_EQ(out[0].size + out[1].size + out[2].size, stream.size());
  EXPECT_EQ(parser.ExtractPackets(out), 0u);
  EXPECT_EQ(parser.Buffered(), 0u);
}

std::vector<Packet> Copies(const std::vector<PacketView>& views) {
  std::vector<Packet> out;
  for (const PacketView& v : views) out.emplace_back(v.data, v.data + v.size);
  return out;
}

TEST(StreamParserTest, InterleavedPeersKeepSeparateBuffers) {
  const Packet a = CanPacket(2, 0x0A);
  const Packet b = MakePacket(0x50, 0x05, {3, 1, '{', '}', 0});
  PeerParsers peers;
  std::vector<PacketView> out;
  const size_t ha = a.size() / 2;
  const size_t hb = b.size() / 2;
  EXPECT_EQ(peers.Feed("192.168.0.7:4001", ByteSpan(a.data(), ha), out), 0u);
  EXPECT_EQ(peers.Feed("192.168.0.8:4001", ByteSpan(b.data(), hb), out), 0u);
  EXPECT_EQ(peers.Held(), 2u);
  ASSERT_EQ(peers.Feed("192.168.0.7:4001", ByteSpan(a.data() + ha, a.size() - ha), out), 1u);
  EXPECT_EQ(Copies(out)[0], a);
  ASSERT_EQ(peers.Feed("192.168.0.8:4001", ByteSpan(b.data() + hb, b.size() - hb), out), 1u);
  EXPECT_EQ(Copies(out)[0], b);
  // Both completed: nothing is held for either.
  EXPECT_EQ(peers.Held(), 0u);
}

// Senders of whole packets hold nothing; with a limit (datagram senders)
// senders of partial packets are capped, the quietest giving way, and a
// sender's end drops its state.
TEST(StreamParserTest, PeerStateIsBounded) {
  const Packet whole = CanPacket(3, 0x0B);
  PeerParsers peers;
  peers.SetPeerLimit(PeerParsers::kDatagramPeerLimit);
  std::vector<PacketView> out;
  for (int i = 0; i < 1000; ++i) {
    const std::string peer = "10.0.0." + std::to_string(i % 250) + ":" + std::to_string(1000 + i);
    ASSERT_EQ(peers.Feed(peer, ByteSpan(whole.data(), whole.size()), out), 1u);
    ASSERT_EQ(Copies(out)[0], whole);
  }
  EXPECT_EQ(peers.Held(), 0u);
  for (int i = 0; i < 1000; ++i) {
    const std::string peer = "10.0.1.1:" + std::to_string(2000 + i);
    peers.Feed(peer, ByteSpan(whole.data(), 10), out);
    ASSERT_LE(peers.Held(), PeerParsers::kDatagramPeerLimit);
  }
  // The latest partial senders are still held and complete their packets.
  ASSERT_EQ(peers.Feed("10.0.1.1:2999", ByteSpan(whole.data() + 10, whole.size() - 10), out), 1u);
  EXPECT_EQ(Copies(out)[0], whole);
  // The quietest one gave way: its rest alone is no packet.
  EXPECT_EQ(peers.Feed("10.0.1.1:2000", ByteSpan(whole.data() + 10, whole.size() - 10), out), 0u);
  peers.Feed("10.0.1.1:2998", ByteSpan(whole.data(), 0), out);
  peers.End("10.0.1.1:2998");
  EXPECT_EQ(peers.Feed("10.0.1.1:2998", ByteSpan(whole.data() + 10, whole.size() - 10), out), 0u);
}

// The scanning rules applied literally to a whole stream at once.
std::vector<Packet> ReferenceScan(const Packet& in) {
  std::vector<Packet> out;
  size_t i = 0;
  for (;;) {
    while (i < in.size() && in[i] != kStartByte) ++i;
    if (in.size() - i < kMinPacketSize) return out;
    if (HeaderIsValid(&in[i], 6)) {
      const size_t total = LoadBe16(&in[i + 4]) + kMinPacketSize;
      if (in.size() - i < total) return out;
      if (PacketChecksum(&in[i], total - 1) == in[i + total - 1]) {
        out.emplace_back(in.begin() + static_cast<long>(i), in.begin() + static_cast<long>(i + total));
        i += total;
        continue;
      }
    }
    ++i;
  }
}

TEST(StreamParserTest, DamagedStreamMatchesLiteralScan) {
  // Good packets, corrupted ones and long bogus headers mixed, so that the
  // rescan after a failure meets both good and bad candidates.
  std::mt19937 rng(3);
  for (int round = 0; round < 30; ++round) {
    Packet stream;
    for (int i = 0; i < 200; ++i) {
      Packet p = i % 5 == 0 ? MakePacket(0x04, 1, Packet(rng() % 3000, 0x55)) : CanPacket(rng() % 4, 0x55);
      if (rng() % 3 == 0) p[rng() % p.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      if (rng() % 4 == 0) stream.insert(stream.end(), {0x55, 0x04, 0x00, 0x00, 0x10, 0x00});
      stream.insert(stream.end(), p.begin(), p.end());
    }
    StreamParser parser;
    std::vector<Packet> got;
    std::vector<Packet> out;
    for (size_t pos = 0; pos < stream.size();) {
      const size_t len = std::min<size_t>(1 + rng() % 4096, stream.size() - pos);
      parser.AppendBytes(ByteSpan(stream.data() + pos, len));
      pos += len;
      Extract(parser, out);
      got.insert(got.end(), out.begin(), out.end());
    }
    ASSERT_EQ(got, ReferenceScan(stream)) << round;
  }
}

TEST(StreamParserTest, IgnoresNullAndNonPositiveLengths) {
  StreamParser parser;
  const uint8_t byte = 0x55;
  // The span is checked where it is made: a null pointer or a failed receive
  // has no bytes.
  parser.AppendBytes(ByteSpan(static_cast<const uint8_t*>(nullptr), 5));
  parser.AppendBytes(ByteSpan(&byte, 0));
  parser.AppendBytes(ByteSpan::Received(reinterpret_cast<const char*>(&byte), -3));
  EXPECT_EQ(parser.Buffered(), 0u);
}

TEST(StreamParserTest, JunkDoesNotGrowTheBuffer) {
  // Random bytes start many plausible headers (up to 65535 bytes long) that
  // hold data back; still at most one packet's worth may stay buffered and
  // storage must not creep up with the volume fed.
  constexpr size_t kChunk = 2048;
  std::mt19937 rng(42);
  StreamParser parser;
  std::vector<Packet> out;
  Packet chunk(kChunk);
  size_t max_capacity = 0;
  for (int i = 0; i < 4096; ++i) {  // 8 MiB
    for (auto& b : chunk) b = static_cast<uint8_t>(rng() % 8 == 0 ? 0x55 : rng());
    Feed(parser, chunk);
    Extract(parser, out);
    ASSERT_LE(parser.Buffered(), kMaxPacketSize - 1);
    max_capacity = std::max(max_capacity, parser.Capacity());
  }
  // Twice (one packet + one chunk) for the buffer, as much for the rescan
  // table, and again twice that for the vectors' geometric growth.
  EXPECT_LE(max_capacity, 8 * (kMaxPacketSize + kChunk));

  // A long run of rejected headers is a loop, not a recursion.
  Packet bad_headers;
  for (int i = 0; i < 200000; ++i) bad_headers.insert(bad_headers.end(), {0x55, 0x00, 0x00, 0x00, 0x00, 0x19});
  StreamParser run;
  EXPECT_TRUE(FeedAll(run, bad_headers).empty());
  EXPECT_LT(run.Buffered(), kMinPacketSize);
}

}  // namespace
}  // namespace tarnlink

namespace tarnlink {
namespace {

TEST(StreamParserTest, CountsBytesPacketsByTypeSkippedBytesAndBadChecksums) {
  StreamCounters counters;
  StreamParser parser(&counters);
  Packet damaged = CanPacket(1, 0x22);
  damaged.back() ^= 0xFF;
  const Packet junk(13, 0x33);
  const Packet bytes = Concat({junk, CanPacket(2, 0x11), damaged, MakePacket(0x05, 0, std::vector<uint8_t>(32, 1)),
                               MakePacket(0x7A, 0, {1, 2}), CanPacket(1, 0x44)});
  // Fed in two pieces: the cut falls inside a packet, which waits whole.
  const size_t cut = junk.size() + 30;
  std::vector<PacketView> views;
  parser.AppendBytes(ByteSpan(bytes.data(), cut));
  parser.ExtractPackets(views);
  parser.AppendBytes(ByteSpan(bytes.data() + cut, bytes.size() - cut));
  parser.ExtractPackets(views);
  auto count = [&](PacketSlot slot) { return counters.packets[static_cast<size_t>(slot)].load(); };
  EXPECT_EQ(counters.bytes_received.load(), bytes.size());
  EXPECT_EQ(count(PacketSlot::kCanData), 2u);
  EXPECT_EQ(count(PacketSlot::kGpsData), 1u);
  EXPECT_EQ(count(PacketSlot::kOther), 1u);
  EXPECT_EQ(counters.bad_checksums.load(), 1u);
  // The junk and the damaged packet, every byte of them, and nothing else.
  EXPECT_EQ(counters.bytes_skipped.load(), junk.size() + damaged.size());
  EXPECT_EQ(parser.Buffered(), 0u);
}

}  // namespace
}  // namespace tarnlink
