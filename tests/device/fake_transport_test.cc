// Device operations against a transport that refuses sends on demand and can
// answer a request before the sender has started to wait: what the real
// transports cannot be made to do on cue.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device/device.h"
#include "tools/sim/wire.h"
#include "transport/service.h"

namespace tarnlink {
namespace {

// How the next Starts go: held until released, then failing, throwing or
// succeeding. Set by a test before its starts.
struct StartScript {
  std::mutex mu;
  std::condition_variable cv;
  bool hold = false;   // guarded by mu
  int entered = 0;     // guarded by mu
  bool fail = false;   // guarded by mu
  bool raise = false;  // guarded by mu

  bool Run() {
    std::unique_lock<std::mutex> lock(mu);
    ++entered;
    cv.notify_all();
    cv.wait(lock, [this] { return !hold; });
    if (raise) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return !fail;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mu);
    hold = false;
    cv.notify_all();
  }
  void WaitEntered(int n) {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [this, n] { return entered >= n; });
  }
};
StartScript g_start;

class FakeService final : public IService {
 public:
  bool Start() override { return g_start.Run(); }
  bool Stop() override { return true; }
  bool Send(ByteSpan sent) override {
    std::vector<uint8_t> bytes(sent.begin(), sent.end());
    {
      std::lock_guard<std::mutex> lock(mu_);
      sent_.push_back(bytes);
      if (accept_ >= 0 && static_cast<int>(sent_.size()) > accept_) return false;
    }
    // Answers a request at once, inside Send: before the caller waits.
    if (answer_inline_ && bytes.size() >= 9 && bytes[1] == sim::kTypeCommand && (bytes[2] & 1) == 0) {
      const uint8_t sequence = static_cast<uint8_t>((bytes[2] >> 1) & 7);
      const auto answer =
          sim::CommandPacket(true, sequence, bytes[6], 1, sim::TextBody("{\"Model\":\"inline\",\"Firmware\":\"2.3\"}"));
      Feed(answer);
    }
    return true;
  }
  void Feed(const std::vector<uint8_t>& bytes) { callback_("10.1.2.3:4000", ByteSpan(bytes)); }
  std::vector<std::vector<uint8_t>> sent() {
    std::lock_guard<std::mutex> lock(mu_);
    return sent_;
  }
  // Sends after the first `n` are refused; -1 accepts all.
  void AcceptOnly(int n) {
    std::lock_guard<std::mutex> lock(mu_);
    accept_ = n;
    sent_.clear();
  }
  std::atomic<bool> answer_inline_{false};

 private:
  std::mutex mu_;
  std::vector<std::vector<uint8_t>> sent_;
  int accept_ = -1;
};

FakeService* g_service = nullptr;

}  // namespace

std::unique_ptr<IService> CreateTransport(const TransportSettings&) {
  auto service = std::make_unique<FakeService>();
  g_service = service.get();
  return service;
}

namespace {

class FakeTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = std::make_unique<Device>(VELA_TYPE_LINK_2CH_TCP, 0, 0);
    ASSERT_TRUE(device_->StartCAN(0));
    ASSERT_NE(g_service, nullptr);
    fake_ = g_service;
  }
  std::unique_ptr<Device> device_;
  FakeService* fake_ = nullptr;
};

TEST_F(FakeTransportTest, RefusedSecondPacketLeavesSixtyFramesSent) {
  std::vector<VELA_CAN_TRANSMIT> can(61);
  fake_->AcceptOnly(1);
  EXPECT_EQ(device_->Transmit(0, can.data(), 61), 60u);
  EXPECT_EQ(fake_->sent().size(), 2u);  // the refused one was tried, nothing after it
  std::vector<VELA_CANFD_TRANSMIT> fd(40);
  fake_->AcceptOnly(1);
  EXPECT_EQ(device_->TransmitFD(0, fd.data(), 40), 18u);
  EXPECT_EQ(fake_->sent().size(), 2u);
  fake_->AcceptOnly(0);
  EXPECT_EQ(device_->Transmit(0, can.data(), 61), 0u);
  fake_->AcceptOnly(-1);
  EXPECT_EQ(device_->Transmit(0, can.data(), 61), 61u);
}

TEST_F(FakeTransportTest, RefusedListPacketEndsTheListButStopStillEmptiesIt) {
  for (uint16_t i = 0; i < 25; ++i) {
    VELA_CAN_AUTOSEND object{};
    object.enable = 1;
    object.index = i;
    ASSERT_TRUE(device_->SetReference(0, VELA_REF_AUTOSEND_ADD, &object));
  }
  fake_->AcceptOnly(1);
  EXPECT_FALSE(device_->SetReference(0, VELA_REF_AUTOSEND_SEND, nullptr));
  EXPECT_EQ(fake_->sent().size(), 2u);
  fake_->AcceptOnly(0);
  EXPECT_FALSE(device_->SetReference(0, VELA_REF_AUTOSEND_CLEAR, nullptr));
  fake_->AcceptOnly(-1);
  EXPECT_TRUE(device_->SetReference(0, VELA_REF_AUTOSEND_SEND, nullptr));  // the list is empty now
  EXPECT_TRUE(fake_->sent().empty());
  // A refused notice is reported.
  fake_->AcceptOnly(0);
  const VELA_NOTICE notice{1, 0};
  EXPECT_FALSE(device_->SetReference(0, VELA_REF_NOTICE, &notice));
  fake_->AcceptOnly(-1);
  EXPECT_TRUE(device_->SetReference(0, VELA_REF_NOTICE, &notice));
}

TEST_F(FakeTransportTest, AnswerBeforeTheWaitCompletesTheExchange) {
  fake_->answer_inline_ = true;
  VELA_DEVICE_INFO info;
  for (int i = 1; i <= 9; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(device_->GetDeviceInf(&info)) << i;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1000));
    EXPECT_EQ(info.fw_version, 0x0203);
  }
  const auto sent = fake_->sent();
  ASSERT_EQ(sent.size(), 9u);
  EXPECT_EQ(sent[0], (std::vector<uint8_t>{0x55, 0x50, 0x02, 0x00, 0x00, 0x02, 0x01, 0x01, 0x05}));
  EXPECT_EQ(sent[7][2], 0x00);  // the eighth: sequence wrapped to 0
  EXPECT_EQ(sent[7][6], 8);
  EXPECT_EQ(sent[8][2], 0x02);  // the ninth: sequence 1 again, message id 9
  EXPECT_EQ(sent[8][6], 9);
}

TEST_F(FakeTransportTest, FailedSendEndsARequestAtOnce) {
  fake_->AcceptOnly(0);
  VELA_DEVICE_INFO info;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(device_->GetDeviceInf(&info));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
}

class StartTest : public ::testing::Test {
 protected:
  void SetUp() override { TearDown(); }
  void TearDown() override {
    std::lock_guard<std::mutex> lock(g_start.mu);
    g_start.hold = g_start.fail = g_start.raise = false;
    g_start.entered = 0;
  }
};

// A second channel started while the first channel's start still connects
// waits for it; when that start fails, it tries itself and reports what it got.
TEST_F(StartTest, RacingStartReportsOnlyATransportThatCameUp) {
  {
    std::lock_guard<std::mutex> lock(g_start.mu);
    g_start.hold = true;
    g_start.fail = true;
  }
  Device device(VELA_TYPE_LINK_2CH_TCP, 0, 0);
  std::atomic<int> first{-1};
  std::atomic<int> second{-1};
  std::thread a([&] { first = device.StartCAN(0); });
  g_start.WaitEntered(1);
  std::thread b([&] { second = device.StartCAN(1); });
  // The second start has nothing to join yet.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(second.load(), -1) << "joined a start still in progress";
  g_start.Release();
  a.join();
  b.join();
  EXPECT_EQ(first.load(), 0);
  EXPECT_EQ(second.load(), 0);
  EXPECT_EQ(g_start.entered, 2);
  // Once a start succeeds, a later one joins it.
  {
    std::lock_guard<std::mutex> lock(g_start.mu);
    g_start.fail = false;
  }
  EXPECT_TRUE(device.StartCAN(0));
  EXPECT_TRUE(device.StartCAN(1));
}

TEST_F(StartTest, StartThatThrowsLeavesTheChannelStopped) {
  {
    std::lock_guard<std::mutex> lock(g_start.mu);
    g_start.raise = true;
  }
  Device device(VELA_TYPE_LINK_2CH_TCP, 0, 0);
  EXPECT_THROW(device.StartCAN(0), std::system_error);
  {
    std::lock_guard<std::mutex> lock(g_start.mu);
    g_start.raise = false;
    g_start.fail = true;
  }
  // Not joined to the transport that threw: this start tries (and fails) itself.
  EXPECT_FALSE(device.StartCAN(1));
  EXPECT_EQ(g_start.entered, 2);
}

}  // namespace
}  // namespace tarnlink
