#include <memory>

#include "gtest/gtest.h"
#include "transport/service.h"
#include "transport/tcp_client.h"
#include "transport/tcp_server.h"

namespace tarnlink {
namespace {

TEST(TcpFactoryTest, WorkModeOneMakesAServerAnythingElseAClient) {
  TransportSettings settings;
  settings.work_mode = 1;
  std::unique_ptr<IService> server = CreateTransport(settings);
  EXPECT_NE(dynamic_cast<TcpServer*>(server.get()), nullptr);
  EXPECT_NE(dynamic_cast<IClientList*>(server.get()), nullptr);
  for (uint32_t mode : {0u, 2u}) {
    settings.work_mode = mode;
    std::unique_ptr<IService> client = CreateTransport(settings);
    EXPECT_NE(dynamic_cast<TcpClient*>(client.get()), nullptr);
    EXPECT_EQ(dynamic_cast<IClientList*>(client.get()), nullptr);
  }
}

}  // namespace
}  // namespace tarnlink
