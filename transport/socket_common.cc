// The parts of the socket layer that read the same on every system.
#include <cstdio>
#include <cstring>

#include "transport/socket.h"
#include "transport/socket_address.h"

namespace tarnlink {

bool IsMulticastAddress(const char* text) {
  in_addr address;
  if (text == nullptr || inet_pton(AF_INET, text, &address) != 1) return false;
  const uint32_t first_octet = ntohl(address.s_addr) >> 24;
  return first_octet >= 224 && first_octet <= 239;
}

uint16_t FreePort(bool tcp) {
  SocketEndpoint probe;
  uint16_t port = 0;
  if (CreateSocket(&probe, tcp) == 0 && BindTo(&probe, "127.0.0.1", 0) == 0) port = probe.port;
  CloseSocket(&probe);
  return port;
}

void FormatPeer(const SocketEndpoint& endpoint, char (&peer)[kPeerTextSize]) {
  std::memset(peer, 0, sizeof(peer));
  std::snprintf(peer, sizeof(peer), "%s:%u", endpoint.ip, static_cast<unsigned>(endpoint.port));
}

}  // namespace tarnlink
