// Every kind of receive queue stops at 1,000,000 when nobody reads it: CAN
// FD frames, error information, markers and GPS records, fed straight into a
// started device's receive entry (no network: the transport is a stand-in).
#include <gtest/gtest.h>
#include <memory>

#include "device/device.h"
#include "tests/reliability/peer.h"
#include "transport/service.h"

namespace tarnlink {

namespace {

class IdleService final : public IService {
 public:
  bool Start() override { return true; }
  bool Stop() override { return true; }
  bool Send(const char*, int) override { return true; }
};

}  // namespace

// This test's transport factory, in place of the libraries' own.
std::unique_ptr<IService> CreateTransport(const TransportSettings&) { return std::make_unique<IdleService>(); }

namespace test {
namespace {

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
    device.OnReceive(kPeer, reinterpret_cast<const char*>(p.data()), static_cast<uint32_t>(p.size()));
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

}  // namespace
}  // namespace test
}  // namespace tarnlink
