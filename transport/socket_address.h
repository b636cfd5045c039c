// IPv4 address conversions both socket implementations share; included by
// socket_posix.cc, socket_win.cc and socket_common.cc only.
#ifndef TARNLINK_TRANSPORT_SOCKET_ADDRESS_H_
#define TARNLINK_TRANSPORT_SOCKET_ADDRESS_H_

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

#include <cstdint>
#include <cstring>

#include "transport/socket.h"

namespace tarnlink {

inline bool ToAddress(const char* text, uint16_t port, sockaddr_in* out) {
  std::memset(out, 0, sizeof(*out));
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  // inet_pton is strict: no octal, hex or short forms, no leading zeros.
  return text != nullptr && inet_pton(AF_INET, text, &out->sin_addr) == 1;
}

inline void FillFromAddress(const sockaddr_in& address, SocketEndpoint* out) {
  in_addr copy = address.sin_addr;  // Winsock's inet_ntop takes a non-const pointer
  if (inet_ntop(AF_INET, &copy, out->ip, sizeof(out->ip)) == nullptr) out->ip[0] = '\0';
  out->port = ntohs(address.sin_port);
}

inline bool GroupRequest(const char* group, ip_mreq* out) {
  std::memset(out, 0, sizeof(*out));
  out->imr_interface.s_addr = htonl(INADDR_ANY);
  return group != nullptr && inet_pton(AF_INET, group, &out->imr_multiaddr) == 1;
}

}  // namespace tarnlink

#endif  // TARNLINK_TRANSPORT_SOCKET_ADDRESS_H_
