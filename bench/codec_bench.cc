// Throughput of the hot paths: CanData encoding, decoding and reassembly.
#include <vector>

#include <benchmark/benchmark.h>

#include "protocol/records.h"
#include "protocol/stream_parser.h"

namespace tarnlink {
namespace {

constexpr uint32_t kFrames = kMaxCanPerPacket;
constexpr size_t kChunk = 2048;  // what the transports read per call
constexpr int kStreamPackets = 512;

std::vector<VELA_CAN_TRANSMIT> Frames() {
  std::vector<VELA_CAN_TRANSMIT> frames(kFrames);
  for (uint32_t i = 0; i < kFrames; ++i) {
    frames[i].id = 0x80000000u | (0x100 + i);
    frames[i].len = 8;
    frames[i].stamp = static_cast<uint16_t>(i);
    for (uint8_t k = 0; k < 8; ++k) frames[i].data[k] = static_cast<uint8_t>(i + k);
  }
  return frames;
}

Packet OnePacket() {
  const auto frames = Frames();
  Packet p;
  BuildCanPacket(0, frames.data(), kFrames, false, p);
  return p;
}

void SetRates(benchmark::State& state, int64_t packets, int64_t bytes) {
  state.SetBytesProcessed(bytes);
  state.counters["packets/s"] = benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}

void BM_EncodeCanPacket(benchmark::State& state) {
  const auto frames = Frames();
  Packet p;
  for (auto _ : state) {
    BuildCanPacket(1, frames.data(), kFrames, true, p);
    benchmark::DoNotOptimize(p.data());
    benchmark::ClobberMemory();
  }
  SetRates(state, state.iterations(), state.iterations() * static_cast<int64_t>(p.size()));
}
BENCHMARK(BM_EncodeCanPacket);

void BM_DecodeCanPacket(benchmark::State& state) {
  const Packet p = OnePacket();
  // As the receiver does: every record decoded once, into where it is kept.
  std::vector<_tagPacketDataCAN> out(kMaxCanPerPacket);
  for (auto _ : state) {
    const CanRecords records = DecodeCanPacket(PacketView{p.data(), p.size()});
    for (uint32_t i = 0; i < records.size(); ++i) out[i] = records[i].Decode();
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  SetRates(state, state.iterations(), state.iterations() * static_cast<int64_t>(p.size()));
}
BENCHMARK(BM_DecodeCanPacket);

// Reassembly of a stream of CanData packets read in transport-sized chunks.
void BM_ReassembleStream(benchmark::State& state) {
  const Packet one = OnePacket();
  std::vector<uint8_t> stream;
  for (int i = 0; i < kStreamPackets; ++i) stream.insert(stream.end(), one.begin(), one.end());
  std::vector<PacketView> views;
  int64_t found = 0;
  for (auto _ : state) {
    StreamParser parser;
    for (size_t pos = 0; pos < stream.size(); pos += kChunk) {
      const size_t len = std::min(kChunk, stream.size() - pos);
      parser.AppendBytes(ByteSpan(stream.data() + pos, len));
      found += static_cast<int64_t>(parser.ExtractPackets(views));
    }
  }
  if (found != state.iterations() * kStreamPackets) state.SkipWithError("packets lost");
  SetRates(state, found, state.iterations() * static_cast<int64_t>(stream.size()));
}
BENCHMARK(BM_ReassembleStream);

// Resynchronisation cost: junk with a start byte every 8 bytes, each one a
// header that fails the length check.
void BM_ResyncOverJunk(benchmark::State& state) {
  std::vector<uint8_t> junk(1 << 20);
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = i % 8 == 0 ? 0x55 : static_cast<uint8_t>(i % 8 == 5 ? 0x19 : 0);
  std::vector<PacketView> views;
  for (auto _ : state) {
    StreamParser parser;
    for (size_t pos = 0; pos < junk.size(); pos += kChunk) {
      parser.AppendBytes(ByteSpan(junk.data() + pos, kChunk));
      parser.ExtractPackets(views);
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(junk.size()));
}
BENCHMARK(BM_ResyncOverJunk);

// Worst case for the scan: every eighth byte starts a text header claiming
// 32 KiB, so each one waits for its bytes and then fails its checksum.
void BM_ResyncOverLongHeaders(benchmark::State& state) {
  std::vector<uint8_t> junk(1 << 20);
  const uint8_t pattern[8] = {0x55, 0x04, 0x00, 0x00, 0x80, 0x00, 0x01, 0x02};
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = pattern[i % 8];
  std::vector<PacketView> views;
  for (auto _ : state) {
    StreamParser parser;
    for (size_t pos = 0; pos < junk.size(); pos += kChunk) {
      parser.AppendBytes(ByteSpan(junk.data() + pos, kChunk));
      parser.ExtractPackets(views);
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(junk.size()));
}
BENCHMARK(BM_ResyncOverLongHeaders);

}  // namespace
}  // namespace tarnlink

BENCHMARK_MAIN();
