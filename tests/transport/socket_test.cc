#include "transport/socket.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/cannot_run.h"
#include "tests/transport/loopback.h"
#include "transport/stop_signal.h"

namespace tarnlink {
namespace {

using test::ElapsedMs;
using test::Fd;

// A connected pair: ours (a SocketEndpoint) and the peer's plain descriptor.
struct Pair {
  SocketEndpoint ours;
  Fd theirs;
  ~Pair() { CloseSocket(&ours); }
};

void MakePair(Pair* pair) {
  uint16_t port = 0;
  Fd listener = test::Listen(4, &port);
  ASSERT_TRUE(listener.valid());
  ASSERT_EQ(CreateSocket(&pair->ours, true), 0);
  ASSERT_EQ(ConnectWithTimeout(&pair->ours, "127.0.0.1", port), 0);
  pair->theirs = test::AcceptWithin(listener.get());
  ASSERT_TRUE(pair->theirs.valid());
}

TEST(PollReadableTest, ReportsTheReadySocketEvenAboveDescriptor1023) {
  rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  // The soft limit may be raised up to the hard one without privilege.
  if (limit.rlim_cur <= 1500 && limit.rlim_max > 1500) {
    rlimit raised = limit;
    raised.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2048);
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur <= 1500) TARNLINK_CANNOT_RUN() << "descriptor limit " << limit.rlim_cur << " too low for fd 1500";
  Pair quiet, busy;
  MakePair(&quiet);
  MakePair(&busy);
  // select() could not even hold this descriptor in an fd_set.
  const int high = fcntl(busy.ours.sock, F_DUPFD_CLOEXEC, 1500);
  ASSERT_GE(high, 1500);
  close(busy.ours.sock);
  busy.ours.sock = high;
  ASSERT_TRUE(test::SendAll(busy.theirs.get(), "x"));

  PollEntry entries[] = {{quiet.ours.sock}, {busy.ours.sock}};
  EXPECT_EQ(PollReadable(entries, 2, 2000), 1);
  EXPECT_FALSE(Readable(entries[0]));
  EXPECT_TRUE(Readable(entries[1]));
  EXPECT_EQ(PollReadable(entries, 1, 0), 0);
}

TEST(SocketTest, SendToVanishedPeerFailsWithoutSigpipe) {
  Pair pair;
  MakePair(&pair);
  pair.theirs.Reset();
  // The first sends may still be buffered; the reset that answers them makes
  // a later one fail. Without MSG_NOSIGNAL this would kill the process.
  int result = 0;
  ASSERT_TRUE(test::Eventually([&] {
    result = SendWhole(pair.ours, "data", 4);
    return result != kSent;
  }));
  EXPECT_EQ(result, kSendBroken);
}

TEST(SocketTest, SocketsAreCloseOnExec) {
  SocketEndpoint listener, udp, connected, accepted;
  ASSERT_EQ(CreateSocket(&listener, true), 0);
  ASSERT_EQ(BindAny(&listener, 0), 0);
  ASSERT_EQ(ListenOn(listener, 4), 0);
  ASSERT_EQ(CreateSocket(&udp, false), 0);
  ASSERT_EQ(CreateSocket(&connected, true), 0);
  ASSERT_EQ(ConnectWithTimeout(&connected, "127.0.0.1", listener.port), 0);
  ASSERT_EQ(AcceptOne(listener, &accepted), 0);
  for (const SocketEndpoint* e : {&listener, &udp, &connected, &accepted}) {
    EXPECT_NE(fcntl(e->sock, F_GETFD) & FD_CLOEXEC, 0);
  }
  EXPECT_STREQ(accepted.ip, "127.0.0.1");
  EXPECT_EQ(accepted.port, test::LocalPort(connected.sock));
  for (SocketEndpoint* e : {&listener, &udp, &connected, &accepted}) CloseSocket(e);
  EXPECT_FALSE(IsOpen(listener));
}

TEST(SocketTest, BindAnyReportsThePortTheSystemChose) {
  SocketEndpoint endpoint;
  ASSERT_EQ(CreateSocket(&endpoint, false), 0);
  ASSERT_EQ(BindAny(&endpoint, 0), 0);
  EXPECT_STREQ(endpoint.ip, "0.0.0.0");
  EXPECT_NE(endpoint.port, 0);
  EXPECT_EQ(endpoint.port, test::LocalPort(endpoint.sock));
  CloseSocket(&endpoint);
}

TEST(ConnectTest, NonNumericHostTextsFailWithoutLookup) {
  uint16_t port = 0;
  Fd listener = test::Listen(4, &port);
  for (const char* host : {"localhost", "127.1", "127.000.0.1", "", "1.2.3.4.5"}) {
    SocketEndpoint endpoint;
    ASSERT_EQ(CreateSocket(&endpoint, true), 0);
    EXPECT_EQ(ConnectWithTimeout(&endpoint, host, port), 1) << host;
    EXPECT_STREQ(endpoint.ip, host);
    CloseSocket(&endpoint);
  }
}

TEST(ConnectTest, SetWakeSignalEndsTheWaitAtOnce) {
  test::SilentListener silent = test::ListenSilently();
  ASSERT_TRUE(silent.filler.valid());
  StopSignal stop;
  stop.Set();
  SocketEndpoint endpoint;
  ASSERT_EQ(CreateSocket(&endpoint, true), 0);
  EXPECT_LT(ElapsedMs([&] { EXPECT_EQ(ConnectWithTimeout(&endpoint, "127.0.0.1", silent.port, stop.fd()), 1); }),
            500.0);
  CloseSocket(&endpoint);
}

TEST(ShutdownTest, WakesBlockedAcceptAndRecvFrom) {
  SocketEndpoint listener, udp;
  ASSERT_EQ(CreateSocket(&listener, true), 0);
  ASSERT_EQ(BindAny(&listener, 0), 0);
  ASSERT_EQ(ListenOn(listener, 4), 0);
  ASSERT_EQ(CreateSocket(&udp, false), 0);
  ASSERT_EQ(BindAny(&udp, 0), 0);
  int accept_result = 0;
  int recv_result = 0;
  std::thread acceptor([&] {
    SocketEndpoint client;
    accept_result = AcceptOne(listener, &client);
  });
  std::thread receiver([&] {
    char buffer[16];
    recv_result = RecvFrom(udp, buffer, sizeof(buffer), nullptr);
  });
  // Whether or not the threads are blocked yet, both calls must return.
  const double ms = ElapsedMs([&] {
    ShutdownSocket(listener);
    ShutdownSocket(udp);
    acceptor.join();
    receiver.join();
  });
  EXPECT_LT(ms, 500.0);
  EXPECT_EQ(accept_result, 1);
  EXPECT_EQ(recv_result, -1);
  CloseSocket(&listener);
  CloseSocket(&udp);
}

TEST(SocketTest, MulticastRangeIsRecognised) {
  EXPECT_TRUE(IsMulticastAddress("224.0.0.1"));
  EXPECT_TRUE(IsMulticastAddress("239.255.255.255"));
  EXPECT_FALSE(IsMulticastAddress("223.255.255.255"));
  EXPECT_FALSE(IsMulticastAddress("240.0.0.0"));
  EXPECT_FALSE(IsMulticastAddress("224.000.0.1"));  // does not convert
  EXPECT_FALSE(IsMulticastAddress(""));
}

}  // namespace
}  // namespace tarnlink
