// Every export with null pointers, bad handles, out-of-range channels,
// unknown keys and huge counts, through both libraries: the documented 0, and
// not one byte written outside the caller's records (guards on both sides).
#include <cstring>

#include <gtest/gtest.h>

#include "tests/reliability/link.h"

namespace tarnlink::test {
namespace {

constexpr uint8_t kGuard = 0xC3;
constexpr size_t kGuardBytes = 64;

// n records of T between guard bytes, filled with a pattern.
template <typename T>
class Guarded {
 public:
  explicit Guarded(size_t n = 1, uint8_t fill = 0xEE) : n_(n), bytes_(n * sizeof(T) + 2 * kGuardBytes, kGuard) {
    std::memset(bytes_.data() + kGuardBytes, fill, n * sizeof(T));
  }
  T* get() { return reinterpret_cast<T*>(bytes_.data() + kGuardBytes); }
  uint8_t* raw() { return bytes_.data() + kGuardBytes; }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuardBytes; ++i) {
      if (bytes_[i] != kGuard || bytes_[kGuardBytes + n_ * sizeof(T) + i] != kGuard) return false;
    }
    return true;
  }
  // The records themselves still hold the fill pattern: nothing written.
  bool Untouched(uint8_t fill = 0xEE) const {
    for (size_t i = 0; i < n_ * sizeof(T); ++i) {
      if (bytes_[kGuardBytes + i] != fill) return false;
    }
    return true;
  }

 private:
  size_t n_;
  std::vector<uint8_t> bytes_;
};

struct LibParam {
  const char* name;
  const char* path;
};

class BadInputTest : public ::testing::TestWithParam<LibParam> {
 protected:
  void SetUp() override {
    device_ = std::make_unique<DeviceLink>(GetParam().path, kType, 9);
    ASSERT_NE(device_->handle(), 0u);
  }
  Library& lib() { return device_->lib(); }

  static constexpr uint32_t kType = VELA_TYPE_LINK_2CH_TCP;  // 2 channels
  std::unique_ptr<DeviceLink> device_;
};

// Handles that reach no device, and channel handles of the open one that
// reach no channel.
std::vector<uint32_t> BadHandles(uint32_t open) {
  return {0u, 0xFFFFFFFFu, 0x00000001u, 0x12345600u, open + 0x100u, open | 2u, open | 31u, open | 32u, open | 0xFFu};
}

TEST_P(BadInputTest, EveryExportRefusesBadHandlesAndChannelsWithoutWriting) {
  for (uint32_t h : BadHandles(device_->handle())) {
    SCOPED_TRACE(h);
    Guarded<VELA_DEVICE_INFO> info;
    Guarded<VELA_CHANNEL_ERR_INFO> err;
    Guarded<VELA_CHANNEL_STATUS> status;
    Guarded<VELA_CAN_TRANSMIT> tx(4, 0);
    Guarded<VELA_CANFD_TRANSMIT> txfd(4, 0);
    Guarded<VELA_CAN_RECEIVE> rx(4);
    Guarded<VELA_CANFD_RECEIVE> rxfd(4);
    EXPECT_EQ(lib().GetDeviceInf(h, info.get()), 0u);
    EXPECT_EQ(lib().StartCAN(h), 0u);
    EXPECT_EQ(lib().ResetCAN(h), 0u);
    EXPECT_EQ(lib().ReadChannelErrInfo(h, err.get()), 0u);
    EXPECT_EQ(lib().ReadChannelStatus(h, status.get()), 0u);
    EXPECT_EQ(lib().Transmit(h, tx.get(), 4), 0u);
    EXPECT_EQ(lib().TransmitFD(h, txfd.get(), 4), 0u);
    EXPECT_EQ(lib().Receive(h, rx.get(), 4, 0), 0u);
    EXPECT_EQ(lib().ReceiveFD(h, rxfd.get(), 4, 0), 0u);
    EXPECT_EQ(lib().GetReceiveNum(h, 0), 0u);
    EXPECT_EQ(lib().GetReceiveNum(h, 1), 0u);
    EXPECT_TRUE(info.Untouched() && info.GuardsIntact());
    EXPECT_TRUE(err.Untouched() && err.GuardsIntact());
    EXPECT_TRUE(status.Untouched() && status.GuardsIntact());
    EXPECT_TRUE(rx.Untouched() && rx.GuardsIntact());
    EXPECT_TRUE(rxfd.Untouched() && rxfd.GuardsIntact());
  }
  // Bad handles: closed, and not closable.
  EXPECT_EQ(lib().CloseDevice(0), 0u);
  EXPECT_EQ(lib().CloseDevice(0x12345600u), 0u);
  EXPECT_EQ(lib().InitCAN(0x12345600u, 0, nullptr), 0u);
  EXPECT_EQ(lib().ClearBuffer(0x12345600u), 0u);
  EXPECT_EQ(lib().GetIProperty(0xFFFFFFFFu), 0u);
  EXPECT_EQ(lib().ReleaseIProperty(0), 0u);
}

TEST_P(BadInputTest, NullPointersAreRefused) {
  const uint32_t ch0 = device_->ch(0);
  EXPECT_EQ(lib().GetDeviceInf(device_->handle(), nullptr), 0u);
  EXPECT_EQ(lib().ReadChannelErrInfo(ch0, nullptr), 0u);
  EXPECT_EQ(lib().ReadChannelStatus(ch0, nullptr), 0u);
  EXPECT_EQ(lib().Transmit(ch0, nullptr, 10), 0u);
  EXPECT_EQ(lib().TransmitFD(ch0, nullptr, 10), 0u);
  EXPECT_EQ(lib().Receive(ch0, nullptr, 10, 0), 0u);
  EXPECT_EQ(lib().ReceiveFD(ch0, nullptr, 10, 0), 0u);
  // Every key that takes a value refuses a null one; 30 and the list keys
  // without a value are the documented exceptions.
  for (uint32_t key = 0; key <= 45; ++key) {
    SCOPED_TRACE(key);
    EXPECT_EQ(device_->Get(0, key, nullptr), 0u);
    if (key != VELA_REF_AUTOSEND_SEND && key != VELA_REF_AUTOSEND_CLEAR && key != VELA_REF_CHANNEL_ACTION) {
      EXPECT_EQ(device_->Set(0, key, nullptr), 0u);
    }
  }
  // Null pointers inside the argument records.
  VELA_MARKER_READ markers{nullptr, 8, 0};
  EXPECT_EQ(device_->Get(0, VELA_REF_MARKERS, &markers), 1u);
  EXPECT_EQ(markers.count, 0u);
  VELA_GPS_READ gps{nullptr, 8, 5, 0};
  EXPECT_EQ(device_->Get(0, VELA_REF_GPS_READ, &gps), 1u);
  EXPECT_EQ(gps.count, 0u);
  VELA_TEXT_READ text{nullptr, 16, 0};
  EXPECT_EQ(device_->Get(0, VELA_REF_DEVICE_QUERY_1, &text), 0u);
}

TEST_P(BadInputTest, UnknownKeysAndOutOfRangeChannelsWriteNothing) {
  const uint32_t unknown[] = {3, 8, 9, 13, 14, 15, 16, 17, 18, 19, 20, 41, 42, 100, 1000, 0x80000000u, 0xFFFFFFFFu};
  for (uint32_t key : unknown) {
    SCOPED_TRACE(key);
    Guarded<uint8_t> value(128);
    EXPECT_EQ(device_->Get(0, key, value.get()), 0u);
    EXPECT_EQ(device_->Set(0, key, value.get()), 0u);
    EXPECT_TRUE(value.Untouched() && value.GuardsIntact());
  }
  // Channel keys on channels the device does not have (key 30 excepted).
  const uint32_t channel_keys[] = {11, 12, 21, 22, 23, 24, 26, 27, 28, 29, 31, 32, 33, 34};
  for (uint32_t channel : {2u, 31u, 32u, 255u, 0xFFFFFFFFu}) {
    for (uint32_t key : channel_keys) {
      SCOPED_TRACE(testing::Message() << "key " << key << " channel " << channel);
      Guarded<uint8_t> value(128);
      EXPECT_EQ(device_->Get(channel, key, value.get()), 0u);
      EXPECT_EQ(device_->Set(channel, key, value.get()), 0u);
      EXPECT_TRUE(value.Untouched() && value.GuardsIntact());
    }
    EXPECT_EQ(device_->Set(channel, VELA_REF_CHANNEL_ACTION, nullptr), 1u);
  }
  // The settings of a device that is not open.
  Guarded<uint8_t> value(128);
  EXPECT_EQ(lib().GetReference(kType, 200, 0, VELA_REF_REMOTE_PORT, value.get()), 0u);
  EXPECT_EQ(lib().SetReference(0xFFFFFFFFu, 0xFFFFFFFFu, 0, VELA_REF_REMOTE_PORT, value.get()), 0u);
  EXPECT_TRUE(value.Untouched() && value.GuardsIntact());
}

TEST_P(BadInputTest, RecordsAreWrittenExactlyToTheirSize) {
  // The longest address there is comes back in exactly 32 bytes.
  const std::string address(31, '9');
  ASSERT_EQ(device_->Set(0, VELA_REF_REMOTE_ADDR, address.c_str()), 1u);
  ASSERT_EQ(device_->Set(0, VELA_REF_REMOTE_ADDR, std::string(32, '1').c_str()), 0u);  // too long: refused
  Guarded<char> text(32);
  ASSERT_EQ(device_->Get(0, VELA_REF_REMOTE_ADDR, text.get()), 1u);
  EXPECT_EQ(std::string(text.get()), address);
  EXPECT_TRUE(text.GuardsIntact());
  for (uint32_t key :
       {VELA_REF_REMOTE_PORT, VELA_REF_LOCAL_PORT, VELA_REF_WORK_MODE, VELA_REF_CLIENT_COUNT, VELA_REF_GPS_COUNT}) {
    Guarded<uint32_t> u32;
    EXPECT_EQ(device_->Get(0, key, u32.get()), 1u) << key;
    EXPECT_TRUE(u32.GuardsIntact()) << key;
  }
  Guarded<VELA_CHANNEL_ERR_INFO> err;
  EXPECT_EQ(lib().ReadChannelErrInfo(device_->ch(1), err.get()), 1u);
  EXPECT_TRUE(err.GuardsIntact());
  Guarded<VELA_CHANNEL_STATUS> status;
  EXPECT_EQ(lib().ReadChannelStatus(device_->ch(1), status.get()), 1u);
  EXPECT_TRUE(status.GuardsIntact());
  // Key 6 for a client index that does not exist (any index, any mode).
  for (int32_t index : {-1, 0, 1, 0x7FFFFFFF}) {
    Guarded<VELA_CLIENT> client(1, 0);
    client.get()->index = index;
    EXPECT_EQ(device_->Get(0, VELA_REF_CLIENT_INFO, client.get()), 0u);
    EXPECT_TRUE(client.GuardsIntact());
  }
  // Key 32 with a count of 0 writes nothing at all.
  Guarded<VELA_CAN_AUTOSEND> list(1);
  EXPECT_EQ(device_->Get(0, VELA_REF_AUTOSEND_LIST, list.get()), 1u);
  EXPECT_TRUE(list.Untouched() && list.GuardsIntact());
}

TEST_P(BadInputTest, HugeCountsAreBoundedByTheCallersRecords) {
  // No transport: a huge count is refused before one frame is read.
  Guarded<VELA_CAN_TRANSMIT> tx(1, 0);
  EXPECT_EQ(lib().Transmit(device_->ch(0), tx.get(), 0xFFFFFFFFu), 0u);
  Guarded<VELA_CANFD_TRANSMIT> txfd(1, 0);
  EXPECT_EQ(lib().TransmitFD(device_->ch(0), txfd.get(), 0xFFFFFFFFu), 0u);
  // Capacity 0 writes nothing; a large real buffer is zeroed exactly to its end.
  Guarded<VELA_CAN_RECEIVE> none(1);
  EXPECT_EQ(lib().Receive(device_->ch(0), none.get(), 0, 0), 0u);
  EXPECT_TRUE(none.Untouched() && none.GuardsIntact());
  constexpr uint32_t kBig = 200000;
  Guarded<VELA_CAN_RECEIVE> big(kBig);
  EXPECT_EQ(lib().Receive(device_->ch(0), big.get(), kBig, 0), 0u);
  EXPECT_TRUE(big.Untouched(0) && big.GuardsIntact());
  Guarded<VELA_CANFD_RECEIVE> bigfd(kBig / 4);
  EXPECT_EQ(lib().ReceiveFD(device_->ch(1), bigfd.get(), kBig / 4, 0), 0u);
  EXPECT_TRUE(bigfd.Untouched(0) && bigfd.GuardsIntact());
  // Marker and GPS reads: count and capacity bound what is written.
  Guarded<uint64_t> stamps(3);
  VELA_MARKER_READ markers{stamps.get(), 3, 0};
  EXPECT_EQ(device_->Get(1, VELA_REF_MARKERS, &markers), 1u);
  EXPECT_EQ(markers.count, 0u);
  EXPECT_TRUE(stamps.GuardsIntact());
  Guarded<VELA_GPS> gps(2);
  VELA_GPS_READ read{gps.get(), 2, 0, 0};
  EXPECT_EQ(device_->Get(0, VELA_REF_GPS_READ, &read), 1u);
  EXPECT_EQ(read.count, 0u);
  EXPECT_TRUE(gps.Untouched() && gps.GuardsIntact());
  // Text of size 0: nothing written, and no exchange without a transport.
  Guarded<char> text(8);
  VELA_TEXT_READ query{text.get(), 0, 0};
  EXPECT_EQ(device_->Get(0, VELA_REF_DEVICE_QUERY_3, &query), 0u);
  EXPECT_TRUE(text.Untouched() && text.GuardsIntact());
  // Channel numbers beyond a byte in InitCAN wrap into the handle's low byte.
  EXPECT_EQ(lib().InitCAN(device_->handle(), 0x101u, nullptr), device_->handle() | 1u);
}

const LibParam kLibs[] = {{"tcp", TARNLINK_TCP_LIB}, {"udp", TARNLINK_UDP_LIB}};
INSTANTIATE_TEST_SUITE_P(Libraries, BadInputTest, ::testing::ValuesIn(kLibs),
                         [](const ::testing::TestParamInfo<LibParam>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnlink::test
