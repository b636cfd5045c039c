#include "transport/udp_service.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "tests/support/cannot_run.h"
#include "tests/transport/loopback.h"

namespace tarnlink {
namespace {

using test::ElapsedMs;
using test::Fd;
using test::Inbox;
using test::milliseconds;

std::string PeerText(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// A service talking to a plain peer socket on 127.0.0.1.
struct Pair {
  uint16_t peer_port = 0;
  Fd peer;
  Inbox inbox;
  std::unique_ptr<UdpService> service;

  explicit Pair(const std::string& host = "127.0.0.1") {
    peer = test::UdpBound("127.0.0.1", 0, &peer_port);
    service = std::make_unique<UdpService>(0, host, peer_port, 1);
    service->SetRecvCallback(inbox.Callback());
  }
  uint16_t port() const { return service->BoundPort(); }
  // True once the service has read everything queued on its socket.
  bool Drained() {
    return test::Eventually([&] { return test::UdpQueued(port()) == 0; });
  }
  ~Pair() { service.reset(); }
};

TEST(UdpServiceTest, StartRefusesEmptyAndOverlongHosts) {
  UdpService empty(0, "", 1, 1);
  EXPECT_FALSE(empty.Start());
  UdpService overlong(0, std::string(32, '1'), 1, 1);
  EXPECT_FALSE(overlong.Start());
  EXPECT_FALSE(overlong.Send({"x", 1}));
}

TEST(UdpServiceTest, SendBeforeStartFails) {
  Pair p;
  EXPECT_FALSE(p.service->Send({"x", 1}));
}

TEST(UdpServiceTest, ExchangesWholeDatagramsWithTheConfiguredPeer) {
  Pair p;
  ASSERT_TRUE(p.service->Start());
  ASSERT_TRUE(test::SendDatagram(p.peer.get(), "hi", "127.0.0.1", p.port()));
  const std::string big(60000, 'b');
  ASSERT_TRUE(test::SendDatagram(p.peer.get(), big, "127.0.0.1", p.port()));
  ASSERT_TRUE(p.inbox.WaitFor([](const std::vector<Inbox::Chunk>& c) { return c.size() == 2; }));
  const std::vector<Inbox::Chunk> chunks = p.inbox.Chunks();
  EXPECT_EQ(chunks[0].data, "hi");
  EXPECT_EQ(chunks[0].peer, PeerText(p.peer_port));
  EXPECT_EQ(chunks[1].data, big);  // one datagram, one callback

  EXPECT_TRUE(p.service->Send({"yo", 2}));
  std::string got;
  ASSERT_TRUE(test::ReadDatagram(p.peer.get(), &got));
  EXPECT_EQ(got, "yo");
}

TEST(UdpServiceTest, DropsDatagramsFromAnotherPortOrAddress) {
  Pair p;
  ASSERT_TRUE(p.service->Start());
  uint16_t other_port = 0;
  Fd wrong_port = test::UdpBound("127.0.0.1", 0, &other_port);
  // Right port, but another loopback address.
  Fd wrong_address = test::UdpBound("127.0.0.2", p.peer_port, nullptr);
  ASSERT_TRUE(wrong_port.valid() && wrong_address.valid());
  ASSERT_TRUE(test::SendDatagram(wrong_port.get(), "port", "127.0.0.1", p.port()));
  ASSERT_TRUE(test::SendDatagram(wrong_address.get(), "address", "127.0.0.1", p.port()));
  ASSERT_TRUE(test::SendDatagram(p.peer.get(), "right", "127.0.0.1", p.port()));
  ASSERT_TRUE(p.inbox.WaitForBytes(5));
  EXPECT_EQ(p.inbox.Bytes(), "right");
}

TEST(UdpServiceTest, LeadingZeroHostNeverMatchesAnySender) {
  Pair p("127.000.0.1");
  ASSERT_TRUE(p.service->Start());
  EXPECT_FALSE(p.service->Send({"x", 1}));  // the host text does not convert
  ASSERT_TRUE(test::SendDatagram(p.peer.get(), "dropped", "127.0.0.1", p.port()));
  ASSERT_TRUE(p.Drained());
  EXPECT_FALSE(p.inbox.WaitForBytes(1, milliseconds(100)));
}

TEST(UdpServiceTest, StartAfterAFailedStartClosesTheSocketItLeft) {
  uint16_t port = 0;
  Fd blocker = test::UdpBound("0.0.0.0", 0, &port);
  ASSERT_TRUE(blocker.valid());
  UdpService service(port, "127.0.0.1", 9, 1);
  const int before = test::OpenDescriptorCount();
  EXPECT_FALSE(service.Start());  // port in use
  EXPECT_EQ(test::OpenDescriptorCount(), before + 1);
  EXPECT_TRUE(service.Stop());
  EXPECT_FALSE(service.Start());
  EXPECT_FALSE(service.Start());
  EXPECT_EQ(test::OpenDescriptorCount(), before + 1);
  blocker.Reset();
  EXPECT_TRUE(service.Start());
  EXPECT_TRUE(service.Stop());
  EXPECT_EQ(test::OpenDescriptorCount(), before - 1);  // the blocker is gone too
}

TEST(UdpServiceTest, SecondStopDoesNothing) {
  Pair p;
  ASSERT_TRUE(p.service->Start());
  EXPECT_TRUE(p.service->Stop());
  const int open = test::OpenDescriptorCount();
  EXPECT_TRUE(p.service->Stop());
  EXPECT_FALSE(p.service->Send({"x", 1}));
  EXPECT_EQ(test::OpenDescriptorCount(), open);
}

TEST(UdpServiceStopTest, ReturnsPromptlyWhileWaitingForDatagrams) {
  Pair p;
  ASSERT_TRUE(p.service->Start());
  const double ms = ElapsedMs([&] { EXPECT_TRUE(p.service->Stop()); });
  std::printf("UDP Stop while waiting: %.2f ms\n", ms);
  EXPECT_LT(ms, 500.0);
}

// Runs fn on a thread of its own network namespace, where only lo exists and
// multicast is routed through it, so group traffic can never leave the host.
// Returns why that could not be set up, or an empty text.
std::string InPrivateNetwork(const std::function<void()>& fn) {
  std::string reason;
  std::thread worker([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      reason = std::string("no private network namespace: ") + std::strerror(errno);
      return;
    }
    // Unbound: lo is still down here, 127.0.0.1 not yet there to bind.
    SocketEndpoint unbound;
    CreateSocket(&unbound, false);
    Fd control(unbound.sock);
    ifreq lo;
    std::memset(&lo, 0, sizeof(lo));
    std::snprintf(lo.ifr_name, sizeof(lo.ifr_name), "lo");
    if (ioctl(control.get(), SIOCGIFFLAGS, &lo) != 0) {
      reason = std::string("cannot read lo flags: ") + std::strerror(errno);
      return;
    }
    lo.ifr_flags |= IFF_UP | IFF_MULTICAST;
    if (ioctl(control.get(), SIOCSIFFLAGS, &lo) != 0) {
      reason = std::string("cannot bring lo up for multicast: ") + std::strerror(errno);
      return;
    }
    rtentry route;
    std::memset(&route, 0, sizeof(route));
    auto set = [](sockaddr* field, const char* ip) {
      sockaddr_in* in = reinterpret_cast<sockaddr_in*>(field);
      in->sin_family = AF_INET;
      inet_pton(AF_INET, ip, &in->sin_addr);
    };
    set(&route.rt_dst, "224.0.0.0");
    set(&route.rt_genmask, "240.0.0.0");
    char device[] = "lo";
    route.rt_dev = device;
    route.rt_flags = RTF_UP;
    if (ioctl(control.get(), SIOCADDRT, &route) != 0) {
      reason = std::string("no multicast route through lo: ") + std::strerror(errno);
      return;
    }
    fn();
  });
  worker.join();
  return reason;
}

// /proc/net/igmp lists each joined group as hex in network byte order.
bool GroupJoined(const char* group) {
  in_addr address;
  inet_pton(AF_INET, group, &address);
  char hex[9];
  std::snprintf(hex, sizeof(hex), "%08X", address.s_addr);
  std::ifstream file("/proc/thread-self/net/igmp");
  std::string word;
  while (file >> word) {
    if (word == hex) return true;
  }
  return false;
}

TEST(UdpServiceTest, MulticastJoinsAcceptsEverySenderAndLeaves) {
  constexpr char kGroup[] = "239.255.42.99";
  bool ran = false;
  const std::string skipped = InPrivateNetwork([&] {
    ran = true;
    uint16_t group_port = 0;
    Fd listener = test::UdpBound("0.0.0.0", 0, &group_port);
    ip_mreq request;
    std::memset(&request, 0, sizeof(request));
    inet_pton(AF_INET, kGroup, &request.imr_multiaddr);
    ASSERT_EQ(setsockopt(listener.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)), 0);

    Inbox inbox;
    UdpService service(0, kGroup, group_port, 1);
    service.SetRecvCallback(inbox.Callback());
    ASSERT_TRUE(service.Start());
    EXPECT_TRUE(GroupJoined(kGroup));

    // The service's own datagram reaches a group member on this host.
    EXPECT_TRUE(service.Send({"to group", 8}));
    std::string got;
    ASSERT_TRUE(test::ReadDatagram(listener.get(), &got));
    EXPECT_EQ(got, "to group");

    // Any sender is accepted, each under its own peer text.
    uint16_t port_a = 0, port_b = 0;
    Fd a = test::UdpBound("127.0.0.1", 0, &port_a);
    Fd b = test::UdpBound("127.0.0.1", 0, &port_b);
    ASSERT_TRUE(test::SendDatagram(a.get(), "a", kGroup, service.BoundPort()));
    ASSERT_TRUE(test::SendDatagram(b.get(), "b", kGroup, service.BoundPort()));
    ASSERT_TRUE(inbox.WaitFor([&](const std::vector<Inbox::Chunk>& chunks) {
      std::set<std::string> peers;
      for (const Inbox::Chunk& c : chunks) {
        if (c.data == "a" || c.data == "b") peers.insert(c.peer);
      }
      return peers.size() == 2;
    }));
    for (const Inbox::Chunk& c : inbox.Chunks()) {
      if (c.data == "a") {
        EXPECT_EQ(c.peer, PeerText(port_a));
      } else if (c.data == "b") {
        EXPECT_EQ(c.peer, PeerText(port_b));
      }
    }

    listener.Reset();  // leave only the service's membership
    EXPECT_TRUE(GroupJoined(kGroup));
    EXPECT_TRUE(service.Stop());
    EXPECT_FALSE(GroupJoined(kGroup));
  });
  if (!ran) TARNLINK_CANNOT_RUN() << skipped;
}

}  // namespace
}  // namespace tarnlink
