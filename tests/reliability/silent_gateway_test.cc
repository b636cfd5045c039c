// A gateway that accepts the connection and then says nothing (and, in one
// case, reads nothing): every call returns by its bound, close is prompt.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "tests/reliability/link.h"

namespace tarnlink::test {
namespace {

constexpr uint32_t kType = VELA_TYPE_LINK_2CH_TCP;

class SilentGatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(gateway_.ok());
    device_ = std::make_unique<DeviceLink>(TARNLINK_TCP_LIB, kType, 4);
    conn_ = ConnectDevice(gateway_, *device_, 2);
    ASSERT_TRUE(conn_.valid());
  }
  void TearDown() override { device_->Close(); }

  TcpListener gateway_;
  std::unique_ptr<DeviceLink> device_;
  Fd conn_;
};

TEST_F(SilentGatewayTest, ReadsReturnByTheirWaitTimes) {
  Library& lib = device_->lib();
  VELA_CAN_RECEIVE can[4];
  VELA_CANFD_RECEIVE fd[4];
  auto t = Clock::now();
  EXPECT_EQ(lib.Receive(device_->ch(0), can, 4, 100), 0u);
  EXPECT_GE(MsSince(t), 90);
  EXPECT_LT(MsSince(t), 1000);
  t = Clock::now();
  EXPECT_EQ(lib.ReceiveFD(device_->ch(1), fd, 4, 50), 0u);
  EXPECT_LT(MsSince(t), 1000);
  uint64_t stamps[4];
  VELA_MARKER_READ markers{stamps, 4, 50};
  t = Clock::now();
  EXPECT_EQ(device_->Get(0, VELA_REF_MARKERS, &markers), 1u);
  EXPECT_EQ(markers.count, 0u);
  EXPECT_LT(MsSince(t), 1000);
  VELA_GPS gps[2];
  VELA_GPS_READ read{gps, 2, 0, 50};
  t = Clock::now();
  EXPECT_EQ(device_->Get(0, VELA_REF_GPS_READ, &read), 1u);
  EXPECT_EQ(read.count, 0u);
  EXPECT_LT(MsSince(t), 1000);
}

TEST_F(SilentGatewayTest, RequestsFailWithinTheirTimeOut) {
  // Four callers at once, each with a different command; all give up on time.
  std::atomic<int> failures{0};
  std::vector<std::thread> callers;
  const auto t = Clock::now();
  callers.emplace_back([&] {
    VELA_DEVICE_INFO info{};
    failures += device_->lib().GetDeviceInf(device_->handle(), &info) == 0;
  });
  callers.emplace_back([&] {
    uint32_t remain = 0;
    failures += device_->Get(0, VELA_REF_SIZE_REMAIN, &remain) == 0;
  });
  callers.emplace_back([&] { failures += device_->Set(1, VELA_REF_CHANNEL_ACTION, nullptr) == 0; });
  callers.emplace_back([&] {
    char text[64];
    VELA_TEXT_READ query{text, sizeof text, 0};
    failures += device_->Get(0, VELA_REF_DEVICE_QUERY_2, &query) == 0;
  });
  for (auto& c : callers) c.join();
  EXPECT_EQ(failures.load(), 4);
  EXPECT_GE(MsSince(t), 1400);
  EXPECT_LT(MsSince(t), 3000);
}

TEST_F(SilentGatewayTest, CloseEndsBlockedCallsPromptly) {
  std::atomic<int> returned{0};
  std::vector<std::thread> callers;
  Library& lib = device_->lib();
  const uint32_t h = device_->handle();
  callers.emplace_back([&] {
    VELA_CAN_RECEIVE can[4];
    lib.Receive(h | 0, can, 4, -1);
    ++returned;
  });
  callers.emplace_back([&] {
    VELA_CANFD_RECEIVE fd[4];
    lib.ReceiveFD(h | 1, fd, 4, -1);
    ++returned;
  });
  callers.emplace_back([&] {
    uint64_t stamps[4];
    VELA_MARKER_READ markers{stamps, 4, -1};
    device_->Get(0, VELA_REF_MARKERS, &markers);
    ++returned;
  });
  callers.emplace_back([&] {
    VELA_GPS gps[2];
    VELA_GPS_READ read{gps, 2, 0, -1};
    device_->Get(0, VELA_REF_GPS_READ, &read);
    ++returned;
  });
  std::thread request([&] {
    VELA_DEVICE_INFO info{};
    EXPECT_EQ(lib.GetDeviceInf(h, &info), 0u);
  });
  // Let every caller reach its wait (a wait that begins after the close
  // returns at once anyway).
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(returned.load(), 0);
  const auto t = Clock::now();
  EXPECT_EQ(device_->Close(), 1u);
  EXPECT_LT(MsSince(t), 1000) << "close waited";
  EXPECT_TRUE(Eventually([&] { return returned.load() == 4; }, 1000)) << "a blocked read did not end";
  for (auto& c : callers) c.join();
  request.join();
  EXPECT_LT(MsSince(t), 2000);
  EXPECT_TRUE(WaitEof(conn_.get(), 1000)) << "the connection stayed open";
}

// A gateway that stops reading: the socket buffers fill, and the driver's
// sends must still come back (with the frames that went out) instead of
// blocking the application for ever.
TEST_F(SilentGatewayTest, TransmitToAGatewayThatNeverReadsReturns) {
  std::vector<VELA_CAN_TRANSMIT> frames(100000);
  for (size_t i = 0; i < frames.size(); ++i) {
    frames[i].id = static_cast<uint32_t>(i & 0x7FF);
    frames[i].len = 8;
  }
  std::atomic<bool> done{false};
  std::atomic<uint32_t> total{0};
  std::thread sender([&] {
    // Far more than loopback buffers hold.
    for (int round = 0; round < 20; ++round) {
      const uint32_t n = device_->lib().Transmit(device_->ch(0), frames.data(), static_cast<uint32_t>(frames.size()));
      total += n;
      if (n < frames.size()) break;
    }
    done = true;
  });
  const bool returned = Eventually([&] { return done.load(); }, 8000);
  if (!returned) device_->Close();  // frees the sender, so the test can end
  sender.join();
  EXPECT_TRUE(returned) << "VELA_Transmit blocked on a gateway that does not read";
  EXPECT_LT(total.load(), 20u * frames.size());
  // The device is still usable: a request fails by its time-out, not by hanging.
  if (returned) {
    const auto t = Clock::now();
    VELA_DEVICE_INFO info{};
    EXPECT_EQ(device_->lib().GetDeviceInf(device_->handle(), &info), 0u);
    EXPECT_LT(MsSince(t), 5000);
  }
}

}  // namespace
}  // namespace tarnlink::test
