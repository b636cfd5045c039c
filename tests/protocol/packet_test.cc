#include "protocol/packet.h"

#include <gtest/gtest.h>

namespace tarnlink {
namespace {

TEST(PacketChecksumTest, XorOfAllBytesStartingFromZero) {
  const uint8_t ack[] = {0x55, 0x81, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(PacketChecksum(ack, sizeof(ack)), 0xD4);
  EXPECT_EQ(PacketChecksum(ack, 0), 0);
  EXPECT_EQ(PacketChecksum(nullptr, 6), 0);
  // The word-wise fold must agree with a byte loop at every length.
  std::vector<uint8_t> bytes(100);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
  uint8_t x = 0;
  for (size_t n = 0; n <= bytes.size(); ++n) {
    EXPECT_EQ(PacketChecksum(bytes.data(), n), x) << n;
    if (n < bytes.size()) x ^= bytes[n];
  }
}

TEST(HeaderCheckTest, LengthMustMatchRecordSizeOfFramedTypes) {
  auto header = [](uint8_t type, uint16_t n) {
    std::array<uint8_t, 6> h{0x55, type, 0, 0, 0, 0};
    StoreBe16(h.data() + 4, n);
    return h;
  };
  EXPECT_TRUE(HeaderIsValid(header(0x00, 48).data(), 6));
  EXPECT_FALSE(HeaderIsValid(header(0x00, 25).data(), 6));
  EXPECT_TRUE(HeaderIsValid(header(0x01, 160).data(), 6));
  EXPECT_FALSE(HeaderIsValid(header(0x01, 24).data(), 6));
  EXPECT_TRUE(HeaderIsValid(header(0x02, 176).data(), 6));
  EXPECT_FALSE(HeaderIsValid(header(0x02, 80).data(), 6));
  EXPECT_FALSE(HeaderIsValid(header(0x03, 23).data(), 6));
  for (uint8_t type = 0; type <= 3; ++type) EXPECT_TRUE(HeaderIsValid(header(type, 0).data(), 6));
  EXPECT_TRUE(HeaderIsValid(header(0x05, 41).data(), 6));
  EXPECT_TRUE(HeaderIsValid(header(0x7E, 3).data(), 6));
  EXPECT_FALSE(HeaderIsValid(header(0x00, 0).data(), 5));
  auto bad_start = header(0x04, 0);
  bad_start[0] = 0x54;
  EXPECT_FALSE(HeaderIsValid(bad_start.data(), 6));
}

TEST(PacketViewTest, AccessorsReadTheHeaderAndPayload) {
  const uint8_t gps[] = {0x55, 0x05, 0x03, 0x00, 0x00, 0x02, 0xAB, 0xCD, 0x00};
  const PacketView view{gps, sizeof(gps)};
  EXPECT_EQ(PacketTypeOf(view), 0x05);
  EXPECT_EQ(PacketFlagsOf(view), 0x03);
  EXPECT_EQ(PayloadLengthOf(view), 2);
  const ByteSpan payload = PayloadOf(view);
  ASSERT_EQ(payload.size(), 2u);
  EXPECT_EQ(payload[0], 0xAB);
  EXPECT_EQ(payload[1], 0xCD);
}

TEST(BuildHeaderTest, LengthFromCountOnlyForDataAndAutoSendTypes) {
  EXPECT_EQ(BuildHeader(0x00, 60, 0), (std::array<uint8_t, 6>{0x55, 0x00, 0x00, 0x00, 0x05, 0xA0}));
  EXPECT_EQ(BuildHeader(0x01, 18, 0), (std::array<uint8_t, 6>{0x55, 0x01, 0x00, 0x00, 0x05, 0xA0}));
  EXPECT_EQ(BuildHeader(0x02, 10, 0), (std::array<uint8_t, 6>{0x55, 0x02, 0x00, 0x00, 0x03, 0x70}));
  EXPECT_EQ(BuildHeader(0x03, 1, 0), (std::array<uint8_t, 6>{0x55, 0x03, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(BuildHeader(0x50, 5, 0x02), (std::array<uint8_t, 6>{0x55, 0x50, 0x02, 0x00, 0x00, 0x00}));
}

TEST(AppendChecksumTest, AppendsXorAndLeavesEmptyPacketAlone) {
  Packet ack{0x55, 0x81, 0x80, 0x00, 0x00, 0x00};
  AppendChecksum(ack);
  EXPECT_EQ(ack, (Packet{0x55, 0x81, 0x80, 0x00, 0x00, 0x00, 0x54}));
  Packet empty;
  AppendChecksum(empty);
  EXPECT_TRUE(empty.empty());
}

}  // namespace
}  // namespace tarnlink
