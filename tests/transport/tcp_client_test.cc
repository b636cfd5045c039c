#include "transport/tcp_client.h"

#include <sys/ioctl.h>

#include <atomic>
#include <cstdio>
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
using test::milliseconds;

std::string PeerText(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// A client connected to a loopback listener, the accepted side in peer.
struct Connected {
  uint16_t port = 0;
  Fd listener;
  Fd peer;
  Inbox inbox;
  std::unique_ptr<TcpClient> client;

  // reuse: the port can be listened on again while old connections linger.
  explicit Connected(int backlog = 8, bool reuse = false) {
    listener = test::Listen(backlog, &port, 0, reuse);
    client = std::make_unique<TcpClient>("127.0.0.1", port);
    client->SetRecvCallback(inbox.Callback());
  }
  bool Start() {
    if (!client->Start()) return false;
    peer = test::AcceptWithin(listener.get());
    return peer.valid();
  }
  ~Connected() { client.reset(); }  // before the inbox it feeds
};

TEST(TcpClientTest, StartRefusesEmptyAndOverlongHosts) {
  TcpClient empty("", 1);
  EXPECT_FALSE(empty.Start());
  EXPECT_FALSE(empty.Send({"x", 1}));
  TcpClient overlong(std::string(32, '1'), 1);
  EXPECT_FALSE(overlong.Start());
}

TEST(TcpClientTest, StartFailsAtOnceWhenNothingListens) {
  uint16_t port = 0;
  test::Listen(1, &port).Reset();  // a port that was free a moment ago
  TcpClient client("127.0.0.1", port);
  EXPECT_LT(ElapsedMs([&] { EXPECT_FALSE(client.Start()); }), 1000.0);
  EXPECT_FALSE(client.Send({"x", 1}));
  EXPECT_TRUE(client.Stop());
}

TEST(TcpClientTest, StartGivesUpWhenPeerNeverAnswers) {
  test::SilentListener silent = test::ListenSilently();
  ASSERT_TRUE(silent.filler.valid());
  TcpClient client("127.0.0.1", silent.port);
  const double ms = ElapsedMs([&] { EXPECT_FALSE(client.Start()); });
  EXPECT_GT(ms, 2500.0);
  EXPECT_LT(ms, 5000.0);
}

TEST(TcpClientTest, SendBeforeStartAndAfterStopFails) {
  Connected c;
  EXPECT_FALSE(c.client->Send({"x", 1}));
  ASSERT_TRUE(c.Start());
  EXPECT_TRUE(c.client->Send({"x", 1}));
  EXPECT_TRUE(c.client->Stop());
  EXPECT_FALSE(c.client->Send({"x", 1}));
  EXPECT_TRUE(test::WaitForClose(c.peer.get()));
}

TEST(TcpClientTest, StopWhenIdleOrTwiceIsHarmless) {
  TcpClient client("127.0.0.1", 1);
  EXPECT_TRUE(client.Stop());
  EXPECT_TRUE(client.Stop());
}

TEST(TcpClientTest, ExchangesBytesUnderConfiguredPeerText) {
  Connected c;
  ASSERT_TRUE(c.Start());
  ASSERT_TRUE(test::SendAll(c.peer.get(), "hello"));
  ASSERT_TRUE(c.inbox.WaitForBytes(5));
  EXPECT_EQ(c.inbox.Bytes(), "hello");
  EXPECT_EQ(c.inbox.Chunks()[0].peer, PeerText(c.port));
  EXPECT_TRUE(c.client->Send({"abc", 3}));
  std::string got;
  ASSERT_TRUE(test::ReadExactly(c.peer.get(), 3, &got));
  EXPECT_EQ(got, "abc");
}

TEST(TcpClientTest, LargeInputArrivesInChunksOfAtMost2048) {
  Connected c;
  ASSERT_TRUE(c.Start());
  const std::string block(10000, 'z');
  ASSERT_TRUE(test::SendAll(c.peer.get(), block));
  ASSERT_TRUE(c.inbox.WaitForBytes(block.size()));
  for (const Inbox::Chunk& chunk : c.inbox.Chunks()) EXPECT_LE(chunk.data.size(), 2048u);
  EXPECT_EQ(c.inbox.Bytes(), block);
}

TEST(TcpClientTest, SendFromTheCallbackDoesNotDeadlock) {
  Connected c;
  c.client->SetRecvCallback([&c](const char*, ByteSpan bytes) { c.client->Send(bytes); });
  ASSERT_TRUE(c.Start());
  ASSERT_TRUE(test::SendAll(c.peer.get(), "echo"));
  std::string got;
  ASSERT_TRUE(test::ReadExactly(c.peer.get(), 4, &got));
  EXPECT_EQ(got, "echo");
}

TEST(TcpClientTest, ReconnectsAfterPeerClosesAndKeepsThePeerText) {
  Connected c;
  ASSERT_TRUE(c.Start());
  ASSERT_TRUE(test::SendAll(c.peer.get(), "one"));
  ASSERT_TRUE(c.inbox.WaitForBytes(3));
  c.peer.Reset();
  Fd second = test::AcceptWithin(c.listener.get());
  ASSERT_TRUE(second.valid());
  ASSERT_TRUE(test::SendAll(second.get(), "two"));
  ASSERT_TRUE(c.inbox.WaitForBytes(6));
  const std::vector<Inbox::Chunk> chunks = c.inbox.Chunks();
  EXPECT_EQ(c.inbox.Bytes(), "onetwo");
  EXPECT_EQ(chunks.front().peer, chunks.back().peer);
  // Data reached us on the new socket, so it is the one Send uses now.
  EXPECT_TRUE(c.client->Send({"back", 4}));
  std::string got;
  ASSERT_TRUE(test::ReadExactly(second.get(), 4, &got));
  EXPECT_EQ(got, "back");
}

TEST(TcpClientTest, RetriesAboutOnceASecondUntilPeerListensAgain) {
  Connected c(8, true);
  ASSERT_TRUE(c.Start());
  const uint16_t client_port = test::RemotePort(c.peer.get());
  c.peer.Reset();
  c.listener.Reset();  // refused from now on: the client pauses between tries
  const auto lost = test::Clock::now();
  // The old socket gone means the first, refused, retry has been made.
  ASSERT_TRUE(test::Eventually([&] { return !test::TcpSocketExists(client_port, c.port); }));
  std::this_thread::sleep_for(milliseconds(50));  // past that retry, made right after the close
  uint16_t again = 0;
  c.listener = test::Listen(8, &again, c.port, true);
  ASSERT_TRUE(c.listener.valid());
  Fd back = test::AcceptWithin(c.listener.get(), milliseconds(4000));
  ASSERT_TRUE(back.valid());
  const double ms = std::chrono::duration<double, std::milli>(test::Clock::now() - lost).count();
  std::printf("reconnected %.0f ms after the peer went away\n", ms);
  EXPECT_GT(ms, 900.0);  // one pause of about a second, not a busy retry
  EXPECT_LT(ms, 3000.0);
}

TEST(TcpClientTest, StartWhileRunningReplacesTheConnection) {
  Connected c;
  ASSERT_TRUE(c.Start());
  ASSERT_TRUE(c.client->Start());
  EXPECT_TRUE(test::WaitForClose(c.peer.get()));
  Fd second = test::AcceptWithin(c.listener.get());
  ASSERT_TRUE(second.valid());
  ASSERT_TRUE(test::SendAll(second.get(), "new"));
  ASSERT_TRUE(c.inbox.WaitForBytes(3));
  EXPECT_EQ(c.inbox.Bytes(), "new");
}

// Stop must not wait out a blocked recv, the reconnect pause or a connect.
TEST(TcpClientStopTest, ReturnsPromptlyWhileReceiving) {
  Connected c;
  ASSERT_TRUE(c.Start());
  const double ms = ElapsedMs([&] { EXPECT_TRUE(c.client->Stop()); });
  std::printf("Stop while receiving: %.2f ms\n", ms);
  EXPECT_LT(ms, 500.0);
}

TEST(TcpClientStopTest, ReturnsPromptlyDuringReconnectPause) {
  Connected c;
  ASSERT_TRUE(c.Start());
  const uint16_t client_port = test::RemotePort(c.peer.get());
  c.listener.Reset();
  c.peer.Reset();
  // Once the client has closed its old socket, its next try is refused at
  // once and the second-long pause begins.
  ASSERT_TRUE(test::Eventually([&] { return !test::TcpSocketExists(client_port, c.port); }));
  std::this_thread::sleep_for(milliseconds(100));  // well inside the pause
  const double ms = ElapsedMs([&] { EXPECT_TRUE(c.client->Stop()); });
  std::printf("Stop in reconnect pause: %.2f ms\n", ms);
  EXPECT_LT(ms, 500.0);
}

TEST(TcpClientStopTest, ReturnsPromptlyDuringReconnectAttempt) {
  Connected c(0);
  ASSERT_TRUE(c.Start());
  // Fill the accept queue: the client's next connect hangs unanswered.
  Fd filler = test::Connect(c.port);
  ASSERT_TRUE(filler.valid());
  c.peer.Reset();
  ASSERT_TRUE(test::Eventually([&] { return test::TcpConnectingTo(c.port); }));
  const double ms = ElapsedMs([&] { EXPECT_TRUE(c.client->Stop()); });
  std::printf("Stop during a connect attempt: %.2f ms\n", ms);
  EXPECT_LT(ms, 500.0);
}

TEST(TcpClientStopTest, WakesASendBlockedOnAPeerThatDoesNotRead) {
  Connected c;
  ASSERT_TRUE(c.Start());
  const std::string huge(64 << 20, 'q');  // far beyond both socket buffers
  std::atomic<int> result{-1};
  std::thread sender([&] { result = c.client->Send(huge) ? 1 : 0; });
  ASSERT_TRUE(test::Eventually([&] {
    int queued = 0;
    return ioctl(c.peer.get(), FIONREAD, &queued) == 0 && queued > 0;
  }));
  const double ms = ElapsedMs([&] { EXPECT_TRUE(c.client->Stop()); });
  sender.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_LT(ms, 500.0);
}

// Blocks from many threads must arrive whole, one after another.
TEST(TcpClientStressTest, ConcurrentSendsNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kBlocks = 250;
  Connected c;
  ASSERT_TRUE(c.Start());

  // Block: thread id, sequence (u16 big-endian), payload length (u16
  // big-endian), then payload bytes derived from all three.
  auto make_block = [](int thread, int seq) {
    const int length = 1 + (thread * 977 + seq * 131) % 6000;
    std::string block;
    block.push_back(static_cast<char>(thread));
    block.push_back(static_cast<char>(seq >> 8));
    block.push_back(static_cast<char>(seq & 0xFF));
    block.push_back(static_cast<char>(length >> 8));
    block.push_back(static_cast<char>(length & 0xFF));
    for (int i = 0; i < length; ++i) block.push_back(static_cast<char>(thread * 31 + seq + i));
    return block;
  };
  size_t total = 0;
  for (int t = 0; t < kThreads; ++t) {
    for (int s = 0; s < kBlocks; ++s) total += make_block(t, s).size();
  }

  std::string received;
  std::thread reader([&] { test::ReadExactly(c.peer.get(), total, &received, milliseconds(30000)); });
  std::atomic<int> failures{0};
  std::vector<std::thread> senders;
  senders.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int s = 0; s < kBlocks; ++s) {
        const std::string block = make_block(t, s);
        if (!c.client->Send(block)) ++failures;
      }
    });
  }
  for (std::thread& s : senders) s.join();
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_EQ(received.size(), total);

  std::vector<int> next(kThreads, 0);
  size_t at = 0;
  while (at < received.size()) {
    const int thread = static_cast<unsigned char>(received[at]);
    ASSERT_LT(thread, kThreads) << "at " << at;
    const int seq = (static_cast<unsigned char>(received[at + 1]) << 8) | static_cast<unsigned char>(received[at + 2]);
    ASSERT_EQ(seq, next[thread]) << "at " << at;
    const std::string expected = make_block(thread, seq);
    ASSERT_EQ(received.compare(at, expected.size(), expected), 0) << "block " << thread << "/" << seq << " torn";
    at += expected.size();
    ++next[thread];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kBlocks);
}

}  // namespace
}  // namespace tarnlink
