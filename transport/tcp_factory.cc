// CreateTransport of the TCP library.
#include <memory>

#include "transport/service.h"
#include "transport/tcp_client.h"
#include "transport/tcp_server.h"

namespace tarnlink {

namespace {
constexpr uint32_t kServerWorkMode = 1;
constexpr int kServerBacklog = 100;
}  // namespace

std::unique_ptr<IService> CreateTransport(const TransportSettings& settings) {
  if (settings.work_mode == kServerWorkMode) return std::make_unique<TcpServer>(settings.local_port, kServerBacklog);
  return std::make_unique<TcpClient>(settings.remote_address, settings.remote_port);
}

}  // namespace tarnlink
