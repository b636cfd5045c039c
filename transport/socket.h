// Thin socket layer over POSIX sockets (IPv4 TCP and UDP).
#ifndef TARNLINK_TRANSPORT_SOCKET_H_
#define TARNLINK_TRANSPORT_SOCKET_H_

#include <cstdint>

namespace tarnlink {

struct SocketEndpoint {
  int sock = -1;     // -1: no socket
  char ip[32] = {};  // dotted IPv4 text, zero-terminated
  uint16_t port = 0;
};

// TODO(transport): the operations of the socket layer.

}  // namespace tarnlink

#endif  // TARNLINK_TRANSPORT_SOCKET_H_
