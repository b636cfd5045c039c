// Every kind of receive queue stops at 1,000,000 when nobody reads it: CAN
// FD frames, error information, markers and GPS records, fed straight into a
// started device's receive entry (no network: the transport is a stand-in).
#include <cstdio>
#include <memory>

#include <gtest/gtest.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "device/device.h"
#include "tests/reliability/peer.h"
#include "tests/support/sanitized.h"
#include "transport/service.h"

namespace tarnlink {

namespace {

class IdleService final : public IService {
 public:
  bool Start() override { return true; }
  bool Stop() override { return true; }
  bool Send(ByteSpan) override { return true; }
  // Stands in for the UDP service: peers are datagram senders.
  bool Connectionless() const override { return true; }
};

}  // namespace

// This test's transport factory, in place of the libraries' own.
std::unique_ptr<IService> CreateTransport(const TransportSettings&) { return std::make_unique<IdleService>(); }

namespace test {
namespace {

using tarnlink::test::kSanitized;

constexpr uint64_t kLimit = 1000000;
constexpr uint64_t kExtra = 3;
constexpr char kPeer[] = "127.0.0.1:4001";

// Feeds `total` records of record_size bytes, made by make(i), in packets of
// at most per_packet records of the given type.
template <typename Make>
void Feed(Device& device, uint8_t type, uint64_t total, uint64_t per_packet, Make make) {
  for (uint64_t done = 0; done < total;) {
    const uint64_t n = std::min(per_packet, total - done);
    Bytes payload;
    for (uint64_t i = 0; i < n; ++i) {
      const Bytes r = make(done + i);
      payload.insert(payload.end(), r.begin(), r.end());
    }
    const Bytes p = Packet(type, 0, payload);
    device.OnReceive(kPeer, ByteSpan(p));
    done += n;
  }
}

class QueueKindsTest : public ::testing::Test {
 protected:
  // Both channels started: frames of a channel that is not are dropped once
  // the first second after the start has passed.
  void SetUp() override { ASSERT_TRUE(device_.StartCAN(0) && device_.StartCAN(1)); }
  Device device_{VELA_TYPE_LINK_2CH_TCP, 0, 0};
};

TEST_F(QueueKindsTest, CanFdQueueKeepsTheNewestMillion) {
  Feed(device_, 0x01, kLimit + kExtra, 18, [](uint64_t i) { return CanFdRecord(0, i); });
  EXPECT_EQ(device_.GetReceiveNum(0, VELA_QUEUE_CANFD), kLimit);
  VELA_CANFD_RECEIVE first{};
  ASSERT_EQ(device_.ReceiveFD(0, &first, 1, 0), 1u);
  EXPECT_EQ(first.timestamp, kExtra);  // the oldest three made room
}

TEST_F(QueueKindsTest, ErrorInformationQueueStopsAtTheLimit) {
  // Error frames of two kinds in turn; the first three (kind A) are dropped.
  Feed(device_, 0x00, kLimit + kExtra, 60, [](uint64_t i) {
    Bytes r = CanRecord(1, i, 0x0080);
    r[16] = (i % 2 == 0) ? 0xE2 : 0xE4;  // warning / bus-off
    return r;
  });
  uint64_t read = 0;
  VELA_CHANNEL_ERR_INFO info{};
  ASSERT_TRUE(device_.ReadChannelErrInfo(1, &info));
  EXPECT_EQ(info.error_code, VELA_ERR_BUS_OFF);  // record 3, the oldest kept
  for (read = 1; read < kLimit; ++read) {
    ASSERT_TRUE(device_.ReadChannelErrInfo(1, &info));
    if (info.error_code == 0) break;
  }
  EXPECT_EQ(read, kLimit);
  ASSERT_TRUE(device_.ReadChannelErrInfo(1, &info));
  EXPECT_EQ(info.error_code, 0u);  // empty now
}

TEST_F(QueueKindsTest, MarkerQueueStopsAtTheLimit) {
  Feed(device_, 0x00, kLimit + kExtra, 60, [](uint64_t i) { return CanRecord(0, i, 0x0004); });
  std::vector<uint64_t> stamps(kLimit + 10);
  VELA_MARKER_READ read{stamps.data(), static_cast<uint32_t>(stamps.size()), 0};
  ASSERT_TRUE(device_.GetReference(0, VELA_REF_MARKERS, &read));
  ASSERT_EQ(read.count, kLimit);
  EXPECT_EQ(stamps.front(), kExtra);
  EXPECT_EQ(stamps[kLimit - 1], kLimit + kExtra - 1);
}

TEST_F(QueueKindsTest, GpsQueueStopsAtTheLimit) {
  Feed(device_, 0x05, kLimit + kExtra, 2047, [](uint64_t i) {
    Bytes r;
    PutBe(r, i, 8);
    r.resize(32, 0);
    return r;
  });
  uint32_t count = 0;
  ASSERT_TRUE(device_.GetReference(0, VELA_REF_GPS_COUNT, &count));
  EXPECT_EQ(count, kLimit);
}

// The record pools keep no high-water mark: their memory goes back once a
// large fill has drained, and when the last channel is reset.
TEST_F(QueueKindsTest, PoolMemoryGoesBackAfterDrainingAndAfterTheLastReset) {
  // Under a sanitizer the trims still run (and are checked for misuse of
  // the nodes); only the resident figures are not judged.
  constexpr uint64_t kFill = 400000;  // ~40 MB of CAN FD records
#if defined(__GLIBC__)
  malloc_trim(0);  // what earlier tests freed would otherwise hide the fill
#endif
  const size_t base = ResidentKiB();
  Feed(device_, 0x01, kFill, 18, [](uint64_t i) { return CanFdRecord(0, i); });
  const size_t filled = ResidentKiB();
  if (!kSanitized) {
    ASSERT_GT(filled, base + 20 * 1024) << "the fill did not show";
  }
  std::vector<VELA_CANFD_RECEIVE> out(4096);
  uint64_t read = 0;
  uint32_t n;
  while ((n = device_.ReceiveFD(0, out.data(), static_cast<uint32_t>(out.size()), 0)) > 0) {
    for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(out[i].timestamp, read + i);
    read += n;
  }
  EXPECT_EQ(read, kFill);
  const size_t drained = ResidentKiB();
  if (!kSanitized) {
    EXPECT_LT(drained, base + (filled - base) / 4) << base << " KiB, filled " << filled << ", drained " << drained;
  }

  Feed(device_, 0x01, kFill, 18, [](uint64_t i) { return CanFdRecord(1, i); });
  const size_t refilled = ResidentKiB();
  ASSERT_TRUE(device_.ResetCAN(0) && device_.ResetCAN(1));
  const size_t reset = ResidentKiB();
  if (!kSanitized) {
    EXPECT_LT(reset, base + (refilled - base) / 4) << base << " KiB, filled " << refilled << ", reset " << reset;
  }
}

// Anyone on a multicast group can send: 5,000 datagram senders each leaving
// 8 KiB of a packet unfinished, then 5,000 senders of whole packets, must not
// grow the process by what they left.
TEST_F(QueueKindsTest, PerSenderStateIsBounded) {
  if (kSanitized) GTEST_SKIP() << "resident memory is the sanitizer's";
  Bytes partial = {0x55, 0x00, 0x00, 0x00, 0xFF, 0xF0};  // claims 65,520 bytes
  partial.resize(8192, 0x11);
  const Bytes whole = Packet(0x00, 0, CanRecord(0, 1));
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
  const size_t base = ResidentKiB();
  char peer[64];
  for (int i = 0; i < 5000; ++i) {
    std::snprintf(peer, sizeof peer, "10.9.%d.%d:%d", i / 250, i % 250, 5000 + i);
    device_.OnReceive(peer, ByteSpan(partial));
    std::snprintf(peer, sizeof peer, "10.8.%d.%d:%d", i / 250, i % 250, 5000 + i);
    device_.OnReceive(peer, ByteSpan(whole));
  }
  EXPECT_EQ(device_.GetReceiveNum(0, VELA_QUEUE_CAN), 5000u);
  const size_t grown = ResidentKiB() - std::min(base, ResidentKiB());
  EXPECT_LT(grown, 8u * 1024) << grown << " KiB grown by 10,000 senders";
}

}  // namespace
}  // namespace test
}  // namespace tarnlink
