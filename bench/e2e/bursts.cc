// UDP bursts: full datagrams handed to the kernel at once, nothing read.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/e2e/harness.h"

namespace tarnlink::e2e {
namespace {

// UDP bursts: `datagrams` full CanData datagrams sent back to back, the
// application reading nothing meanwhile; the share of frames that never
// reached the queue (dropped by the socket before the driver saw them).
double RunUdpBurst(const Api& tcp, const Api& udp, uint32_t datagrams) {
  Rig rig(tcp, udp, Link::kUdp);
  if (!rig.Open()) return -1;
  SleepUs(50000);
  FrameSource source(false);
  // Built first, then handed to the kernel in as few calls as it takes, so
  // that they arrive faster than any reader drains them.
  std::vector<std::vector<uint8_t>> packets;
  for (uint32_t i = 0; i < datagrams; ++i) {
    const uint8_t* p = source.Next();
    packets.emplace_back(p, p + source.size());
  }
  // sendmmsg on the rig's socket: one call for many datagrams, which the
  // socket layer has no need of elsewhere.
  sockaddr_in dest{};
  dest.sin_family = AF_INET;
  dest.sin_port = htons(rig.udp_destination().port);
  dest.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::vector<iovec> iov(datagrams);
  std::vector<mmsghdr> messages(datagrams);
  for (uint32_t i = 0; i < datagrams; ++i) {
    iov[i] = {packets[i].data(), packets[i].size()};
    messages[i] = {};
    messages[i].msg_hdr.msg_name = &dest;
    messages[i].msg_hdr.msg_namelen = sizeof dest;
    messages[i].msg_hdr.msg_iov = &iov[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  for (uint32_t done = 0; done < datagrams;) {
    const int n = sendmmsg(rig.peer(), messages.data() + done, std::min<uint32_t>(datagrams - done, 1024), 0);
    if (n <= 0) break;
    done += static_cast<uint32_t>(n);
  }
  uint32_t last = UINT32_MAX;
  uint32_t now = 0;
  // Settled: no change for 200 ms.
  while ((now = rig.api().GetReceiveNum(rig.channel(), VELA_QUEUE_CAN)) != last) {
    last = now;
    SleepUs(200000);
  }
  const double sent = static_cast<double>(datagrams) * source.per_packet();
  return 100.0 * (sent - now) / sent;
}

}  // namespace

void BurstsSection(const Context& c) {
  const Api& tcp = c.tcp;
  const Api& udp = c.udp;
  Section("UDP bursts: full CanData datagrams sent at once, nothing read meanwhile");
  for (uint32_t n : {500u, 2000u}) {
    Figure(std::to_string(n) + " datagrams: frames lost before the driver", RunUdpBurst(tcp, udp, n), "%");
  }
}

}  // namespace tarnlink::e2e
