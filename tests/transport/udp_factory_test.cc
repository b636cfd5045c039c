#include <memory>

#include "gtest/gtest.h"
#include "transport/service.h"
#include "transport/udp_service.h"

namespace tarnlink {
namespace {

TEST(UdpFactoryTest, EveryWorkModeMakesAUdpService) {
  TransportSettings settings;
  for (uint32_t mode : {0u, 1u}) {
    settings.work_mode = mode;
    std::unique_ptr<IService> service = CreateTransport(settings);
    EXPECT_NE(dynamic_cast<UdpService*>(service.get()), nullptr);
    EXPECT_EQ(dynamic_cast<IClientList*>(service.get()), nullptr);
  }
}

}  // namespace
}  // namespace tarnlink
