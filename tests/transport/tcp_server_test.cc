#include "transport/tcp_server.h"

#include <sys/ioctl.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/transport/loopback.h"

namespace tarnlink {
namespace {

using test::ElapsedMs;
using test::Fd;
using test::Inbox;

std::string PeerText(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// A started server on an ephemeral port feeding inbox.
struct Served {
  Inbox inbox;
  TcpServer server{0, 100};
  uint16_t port = 0;

  Served() : Served(RecvCallback()) {}
  // The callback is installed before Start: the receive thread reads it.
  explicit Served(RecvCallback callback) {
    server.SetRecvCallback(callback ? std::move(callback) : inbox.Callback());
    if (server.Start()) port = server.BoundPort();
  }
  // Connects and waits until the server has counted the new client.
  Fd Join() {
    const uint32_t before = server.ClientCount();
    Fd fd = test::Connect(port);
    if (!test::Eventually([&] { return server.ClientCount() > before; })) return Fd();
    return fd;
  }
  ~Served() { server.Stop(); }  // before the inbox it feeds
};

TEST(TcpServerTest, SendWithoutClientsFails) {
  Served s;
  ASSERT_NE(s.port, 0);
  EXPECT_FALSE(s.server.Send({"x", 1}));
}

TEST(TcpServerTest, EveryClientGetsTheBlockAndHasItsOwnPeerText) {
  Served s;
  Fd a = s.Join();
  Fd b = s.Join();
  ASSERT_TRUE(a.valid() && b.valid());
  EXPECT_TRUE(s.server.Send({"ping", 4}));
  std::string got;
  ASSERT_TRUE(test::ReadExactly(a.get(), 4, &got));
  EXPECT_EQ(got, "ping");
  ASSERT_TRUE(test::ReadExactly(b.get(), 4, &got));
  EXPECT_EQ(got, "ping");

  ASSERT_TRUE(test::SendAll(a.get(), "from a"));
  ASSERT_TRUE(test::SendAll(b.get(), "from b"));
  ASSERT_TRUE(s.inbox.WaitForBytes(12));
  for (const Inbox::Chunk& chunk : s.inbox.Chunks()) {
    const uint16_t from = chunk.data == "from a" ? test::LocalPort(a.get()) : test::LocalPort(b.get());
    EXPECT_EQ(chunk.peer, PeerText(from)) << chunk.data;
  }
  // One client gone: Send still reports success for the rest.
  a.Reset();
  EXPECT_TRUE(s.server.Send({"pong", 4}));
  ASSERT_TRUE(test::ReadExactly(b.get(), 4, &got));
  EXPECT_EQ(got, "pong");
}

TEST(TcpServerTest, LeavingClientIsRemovedAfterItsLastChunk) {
  Served s;
  Fd a = s.Join();
  ASSERT_TRUE(a.valid());
  ASSERT_TRUE(test::SendAll(a.get(), "bye"));
  a.Reset();
  EXPECT_TRUE(test::Eventually([&] { return s.server.ClientCount() == 0; }));
  ASSERT_TRUE(s.inbox.WaitForBytes(3));
  EXPECT_EQ(s.inbox.Bytes(), "bye");
  EXPECT_FALSE(s.server.Send({"x", 1}));
}

TEST(TcpServerTest, ClientListLookupsAndRemoval) {
  Served s;
  Fd a = s.Join();
  ASSERT_TRUE(a.valid());
  SocketEndpoint client;
  ASSERT_TRUE(s.server.ClientAt(0, &client));
  EXPECT_STREQ(client.ip, "127.0.0.1");
  EXPECT_EQ(client.port, test::LocalPort(a.get()));
  EXPECT_FALSE(s.server.ClientAt(1, &client));  // index equal to the count

  EXPECT_FALSE(s.server.RemoveClient(-1));
  EXPECT_FALSE(s.server.RemoveClient(client.sock + 1000));
  EXPECT_EQ(s.server.ClientCount(), 1u);
  ASSERT_TRUE(s.server.ClientAt(0, &client));
  EXPECT_TRUE(s.server.RemoveClient(client.sock));
  EXPECT_EQ(s.server.ClientCount(), 0u);
  EXPECT_TRUE(test::WaitForClose(a.get()));
}

TEST(TcpServerTest, StartOnAPortInUseFails) {
  uint16_t port = 0;
  Fd other = test::Listen(4, &port);
  ASSERT_TRUE(other.valid());
  // Bound to 127.0.0.1 only, the port still clashes with INADDR_ANY.
  TcpServer server(port, 100);
  EXPECT_FALSE(server.Start());
  EXPECT_TRUE(server.Stop());

  Served s;
  TcpServer second(s.port, 100);
  EXPECT_FALSE(second.Start());
}

TEST(TcpServerTest, SecondStartListensAnewOnTheSamePort) {
  uint16_t port = 0;
  {
    Served probe;
    port = probe.port;
  }
  TcpServer server(port, 100);
  ASSERT_TRUE(server.Start());
  Fd a = test::Connect(port);
  ASSERT_TRUE(test::Eventually([&] { return server.ClientCount() == 1; }));
  // The server closes first, so its side lingers in TIME_WAIT on this port.
  ASSERT_TRUE(server.Start());
  EXPECT_TRUE(test::WaitForClose(a.get()));
  EXPECT_EQ(server.ClientCount(), 0u);
  Fd b = test::Connect(port);
  ASSERT_TRUE(b.valid());
  EXPECT_TRUE(test::Eventually([&] { return server.ClientCount() == 1; }));
  EXPECT_TRUE(server.Stop());
}

TEST(TcpServerTest, MoreThan64ClientsAreAllServed) {
  constexpr int kClients = 80;
  Served s;
  std::vector<Fd> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(test::Connect(s.port));
    ASSERT_TRUE(clients.back().valid());
  }
  ASSERT_TRUE(test::Eventually([&] { return s.server.ClientCount() == kClients; }));
  // The last ones would go unread if only the first 64 were watched.
  for (int i = kClients - 1; i >= 0; --i) ASSERT_TRUE(test::SendAll(clients[i].get(), "c" + std::to_string(i)));
  ASSERT_TRUE(s.inbox.WaitFor([](const std::vector<Inbox::Chunk>& chunks) {
    std::set<std::string> peers;
    for (const Inbox::Chunk& c : chunks) peers.insert(c.peer);
    return peers.size() == kClients;
  }));
  EXPECT_TRUE(s.server.Send({"all", 3}));
  std::string got;
  for (Fd& c : clients) {
    ASSERT_TRUE(test::ReadExactly(c.get(), 3, &got));
    EXPECT_EQ(got, "all");
  }
}

TEST(TcpServerTest, SendFromTheCallbackReentersTheClientsLock) {
  std::atomic<TcpServer*> server{nullptr};
  Served s([&server](const char*, ByteSpan bytes) {
    if (TcpServer* self = server.load()) self->Send(bytes);
  });
  server = &s.server;
  Fd a = s.Join();
  ASSERT_TRUE(a.valid());
  ASSERT_TRUE(test::SendAll(a.get(), "echo"));
  std::string got;
  ASSERT_TRUE(test::ReadExactly(a.get(), 4, &got));
  EXPECT_EQ(got, "echo");
}

TEST(TcpServerStopTest, ReturnsPromptlyIdleAndWithClients) {
  Served s;
  double ms = ElapsedMs([&] { EXPECT_TRUE(s.server.Stop()); });
  std::printf("Stop without clients: %.2f ms\n", ms);
  EXPECT_LT(ms, 500.0);

  ASSERT_TRUE(s.server.Start());
  s.port = s.server.BoundPort();
  Fd a = s.Join();
  Fd b = s.Join();
  ms = ElapsedMs([&] { EXPECT_TRUE(s.server.Stop()); });
  std::printf("Stop with two clients: %.2f ms\n", ms);
  EXPECT_LT(ms, 500.0);
  EXPECT_EQ(s.server.ClientCount(), 0u);
  EXPECT_TRUE(test::WaitForClose(a.get()));
  EXPECT_TRUE(s.server.Stop());
}

TEST(TcpServerStopTest, WakesASendBlockedOnAClientThatDoesNotRead) {
  Served s;
  Fd a = s.Join();
  ASSERT_TRUE(a.valid());
  const std::string huge(64 << 20, 'q');
  std::atomic<bool> returned{false};
  std::thread sender([&] {
    s.server.Send(huge);
    returned = true;
  });
  ASSERT_TRUE(test::Eventually([&] {
    int queued = 0;
    return ioctl(a.get(), FIONREAD, &queued) == 0 && queued > 0;
  }));
  const double ms = ElapsedMs([&] { EXPECT_TRUE(s.server.Stop()); });
  sender.join();
  EXPECT_TRUE(returned.load());
  EXPECT_LT(ms, 500.0);
}

}  // namespace
}  // namespace tarnlink
