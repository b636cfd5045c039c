// CreateTransport of the UDP library: UDP whatever the work mode.
#include <memory>

#include "transport/service.h"
#include "transport/udp_service.h"

namespace tarnlink {

std::unique_ptr<IService> CreateTransport(const TransportSettings& settings) {
  return std::make_unique<UdpService>(settings.local_port, settings.remote_address, settings.remote_port,
                                      settings.multicast_loopback);
}

}  // namespace tarnlink
