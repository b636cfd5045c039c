// The UDP service under bursts, truncated, duplicated, empty, oversized and
// foreign datagrams: only whole packets are decoded, and the socket keeps
// being read after each of them.
#include <gtest/gtest.h>

#include "tests/reliability/link.h"
#include "tests/support/cannot_run.h"

namespace tarnlink::test {
namespace {

constexpr uint32_t kType = VELA_TYPE_LINK_4CH_UDP;

class UdpGateway {
 public:
  UdpGateway() : fd_(BindUdp()) {
    ok_ = fd_.valid();
    port_ = BoundPort(fd_.get());
  }
  bool ok() const { return ok_; }
  uint16_t port() const { return port_; }
  void Target(uint16_t port) { target_ = Loopback(port); }
  bool Send(const Bytes& datagram) { return SendFrom(fd_.get(), datagram); }
  bool SendFrom(int fd, const Bytes& datagram) {
    return SendTo(At(fd), reinterpret_cast<const char*>(datagram.data()), static_cast<int>(datagram.size()), target_) ==
           static_cast<int>(datagram.size());
  }
  // A request datagram; true once its answer came back: every datagram sent
  // before it has been dispatched.
  bool Barrier(int timeout_ms = 5000) {
    const uint8_t id = ++message_id_;
    if (!Send(GatewayConnection::Request(3, id))) return false;
    const auto start = Clock::now();
    uint8_t buf[2048];
    while (MsSince(start) < timeout_ms) {
      if (!WaitReadable(fd_.get(), 20)) continue;
      const int got = RecvSome(At(fd_.get()), reinterpret_cast<char*>(buf), sizeof buf);
      if (got >= 9 && buf[1] == 0x50 && (buf[2] & 1) != 0 && buf[6] == id) return true;
    }
    return false;
  }

 private:
  Fd fd_;
  bool ok_ = false;
  uint16_t port_ = 0;
  SocketEndpoint target_;
  uint8_t message_id_ = 0;
};

class UdpFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gateway_.ok());
    device_ = std::make_unique<DeviceLink>(TARNLINK_UDP_LIB, kType, 5);
    ASSERT_TRUE(device_->SetRemote(gateway_.port()));
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
      port_ = FreePort(false);
      device_->SetU32(VELA_REF_LOCAL_PORT, port_);
      started = device_->StartChannels(4);
    }
    ASSERT_TRUE(started);
    gateway_.Target(port_);
    ASSERT_TRUE(gateway_.Barrier());
  }

  void ExpectFrames(const std::vector<VELA_CAN_RECEIVE>& got, uint64_t first, uint64_t count) {
    ASSERT_EQ(got.size(), count);
    for (uint64_t i = 0; i < count; ++i) ASSERT_TRUE(IsFrame(got[i], first + i)) << "frame " << i;
  }

  UdpGateway gateway_;
  uint16_t port_ = 0;
  std::unique_ptr<DeviceLink> device_;
};

TEST_F(UdpFaultTest, BurstsOfWholeDatagramsLoseNothing) {
  // 20 bursts of 50 datagrams of 10 frames each; the barrier between bursts
  // keeps the socket's receive buffer from overflowing.
  uint64_t next = 0;
  for (int burst = 0; burst < 20; ++burst) {
    for (int d = 0; d < 50; ++d, next += 10) ASSERT_TRUE(gateway_.Send(CanPackets(1, next, 10)));
    ASSERT_TRUE(gateway_.Barrier());
  }
  ExpectFrames(device_->Drain(1), 0, next);
}

// A burst with no pause for the reader (a Wi-Fi gateway after an air-time
// gap): 500 full datagrams must fit the socket's receive buffer, about 145
// of them the kernel's default.
TEST_F(UdpFaultTest, BurstOfFiveHundredFullDatagramsLosesNothing) {
  // What this process may ask for: CAP_NET_ADMIN or net.core.rmem_max.
  Fd probe = BindUdp();
  const int got = WidenReceiveBuffer(At(probe.get()));
  if (got < (2 << 20)) TARNLINK_CANNOT_RUN() << "receive buffers capped at " << got << " bytes (net.core.rmem_max)";
  constexpr uint64_t kDatagrams = 500;
  for (uint64_t d = 0; d < kDatagrams; ++d) ASSERT_TRUE(gateway_.Send(CanPackets(1, d * 60, 60)));
  ASSERT_TRUE(gateway_.Barrier());
  ExpectFrames(device_->Drain(1), 0, kDatagrams * 60);
}

TEST_F(UdpFaultTest, TruncatedDatagramDecodesNothingAndLaterOnesDecode) {
  // The first 100 bytes of a 60-frame packet: its header holds back what
  // follows until 1447 bytes have come, then fails its checksum; the whole
  // packets among the held bytes are found again.
  const Bytes whole = CanPackets(2, 5000, 60);
  ASSERT_TRUE(gateway_.Send(Bytes(whole.begin(), whole.begin() + 100)));
  for (uint64_t d = 0; d < 20; ++d) ASSERT_TRUE(gateway_.Send(CanPackets(2, d * 4, 4)));
  ASSERT_TRUE(gateway_.Barrier());
  ExpectFrames(device_->Drain(2), 0, 80);
}

TEST_F(UdpFaultTest, DuplicatedDatagramsDecodeWholeEachTime) {
  for (uint64_t d = 0; d < 30; ++d) {
    const Bytes datagram = CanPackets(3, d, 1);
    ASSERT_TRUE(gateway_.Send(datagram));
    ASSERT_TRUE(gateway_.Send(datagram));
  }
  ASSERT_TRUE(gateway_.Barrier());
  const std::vector<VELA_CAN_RECEIVE> got = device_->Drain(3);
  ASSERT_EQ(got.size(), 60u);
  for (size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(IsFrame(got[i], i / 2)) << "frame " << i;
}

TEST_F(UdpFaultTest, EmptyOversizedAndForeignDatagramsDoNotStopTheReader) {
  ASSERT_TRUE(gateway_.Send(Bytes{}));
  // The largest datagram there is, with no start byte in it.
  ASSERT_TRUE(gateway_.Send(Bytes(65507, 0xAA)));
  // A packet from another port of this host: not the configured gateway.
  Fd stranger = BindUdp();
  ASSERT_TRUE(gateway_.SendFrom(stranger.get(), CanPackets(0, 777, 5)));
  ASSERT_TRUE(gateway_.Send(CanPackets(0, 0, 7)));
  ASSERT_TRUE(gateway_.Barrier());
  ExpectFrames(device_->Drain(0), 0, 7);
}

TEST_F(UdpFaultTest, DatagramOfSeveralPacketsWithDamageBetween) {
  Bytes datagram = CanPackets(0, 0, 3, 1);
  Bytes damaged = CanPackets(0, 100, 1);
  damaged.back() ^= 0xFF;  // bad checksum
  datagram.insert(datagram.end(), damaged.begin(), damaged.end());
  const Bytes tail = CanPackets(0, 3, 2, 1);
  datagram.insert(datagram.end(), tail.begin(), tail.end());
  ASSERT_TRUE(gateway_.Send(datagram));
  ASSERT_TRUE(gateway_.Barrier());
  ExpectFrames(device_->Drain(0), 0, 5);
}

}  // namespace
}  // namespace tarnlink::test
