// A loopback port that was free a moment ago, for settings that need a number
// before anything binds it (the tool's demo, the benchmarks, the tests). Some
// other process may take it first: callers that bind it retry.
#ifndef TARNLINK_TOOLS_COMMON_FREE_PORT_H_
#define TARNLINK_TOOLS_COMMON_FREE_PORT_H_

#include <cstdint>

#include "tools/common/net.h"

namespace tarnlink {

// type: SOCK_STREAM or SOCK_DGRAM; 0 when no socket could be bound.
inline uint16_t FreePort(int type = SOCK_STREAM) {
  const int fd = net::Socket(type);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && net::LocalAddress(fd, &a) == 0) {
    port = ntohs(a.sin_port);
  }
  net::Close(fd);
  return port;
}

}  // namespace tarnlink

#endif  // TARNLINK_TOOLS_COMMON_FREE_PORT_H_
