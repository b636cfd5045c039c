// tarnlink serve end to end: the simulator (echoing what it is sent), the
// server, and raw socketcand connections on 127.0.0.1 doing what
// python-can's client does not: BCM jobs and subscriptions, statistics, CAN
// FD, refusals, a stalled reader, and clients that behave badly.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/cli/process.h"
#include "tests/support/eventually.h"
#include "transport/socket.h"

namespace tarnlink::test {
namespace {

using std::chrono::milliseconds;

constexpr char kTool[] = TARNLINK_CLI_TOOL;

std::string PortAfter(const std::string& text, const char* key) {
  const size_t at = text.find(key);
  if (at == std::string::npos) return {};
  const size_t from = at + std::strlen(key);
  size_t end = from;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  return end > from && end < text.size() ? text.substr(from, end - from) : std::string();
}

// A process of the tool whose first line names the port it listens on.
class Tool {
 public:
  Tool(std::vector<std::string> args, const char* key) : key_(key), p_(Prepend(std::move(args))) {
    if (p_.WaitForOutput([this](const std::string& s) { return !PortAfter(s, key_).empty(); }, milliseconds(10000))) {
      port_ = static_cast<uint16_t>(std::atoi(PortAfter(p_.out(), key_).c_str()));
    }
  }
  ~Tool() { Stop(); }
  Process& process() { return p_; }
  uint16_t port() const { return port_; }
  int Stop() {
    p_.Signal(SIGTERM);
    return p_.Wait(milliseconds(5000));
  }
  // SIGUSR1, then the report's last line ("... sends refused (read-only)" ends
  // the head; client lines follow within the same write).
  std::string Report() {
    const size_t before = p_.out().size();
    p_.Signal(SIGUSR1);
    p_.WaitForOutput([before](const std::string& s) { return s.find("(read-only)\n", before) != std::string::npos; },
                     milliseconds(5000));
    p_.WaitForOutput([](const std::string&) { return false; }, milliseconds(50));
    return p_.out().substr(before);
  }

 private:
  static std::vector<std::string> Prepend(std::vector<std::string> args) {
    args.insert(args.begin(), kTool);
    return args;
  }
  const char* key_;
  Process p_;
  uint16_t port_ = 0;
};

// One socketcand connection, read with deadlines.
class Conn {
 public:
  explicit Conn(uint16_t port, int rcvbuf = 0) {
    if (tarnlink::CreateSocket(&endpoint_, true) != 0) return;
    fd_ = endpoint_.sock;
    // A small receive buffer before the connect: the window a stalled client offers.
    if (rcvbuf > 0) setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    connected_ = tarnlink::ConnectWithTimeout(&endpoint_, "127.0.0.1", port) == 0;
  }
  ~Conn() { Close(); }
  bool connected() const { return connected_; }
  void Send(const std::string& s) const { ASSERT_EQ(send(fd_, s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size())); }
  void Close() {
    tarnlink::CloseSocket(&endpoint_);
    fd_ = -1;
  }

  // Reads until the whole text read so far holds pred, the end, or the deadline.
  bool ReadUntil(const std::function<bool(const std::string&)>& pred, int ms = 5000) {
    const auto deadline = Clock::now() + milliseconds(ms);
    while (!pred(in_)) {
      const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || closed_) return pred(in_);
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[65536];
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        closed_ = true;
      } else {
        in_.append(buf, static_cast<size_t>(n));
      }
    }
    return true;
  }
  bool Has(const std::string& s, int ms = 5000) {
    return ReadUntil([&](const std::string& in) { return in.find(s) != std::string::npos; }, ms);
  }
  bool WaitClosed(int ms = 5000) {
    ReadUntil([this](const std::string&) { return closed_; }, ms);
    return closed_;
  }
  // Round trip: everything sent before is handled once the echo is back.
  bool Sync() {
    const size_t echoes = Count("< echo >");
    Send("< echo >");
    return ReadUntil([&](const std::string&) { return Count("< echo >") > echoes; });
  }
  size_t Count(const std::string& s) const {
    size_t n = 0;
    for (size_t at = in_.find(s); at != std::string::npos; at = in_.find(s, at + 1)) ++n;
    return n;
  }
  // The messages read, each without its angle brackets and padding.
  std::vector<std::string> Messages(const std::string& prefix) const {
    std::vector<std::string> out;
    for (size_t at = in_.find("< " + prefix); at != std::string::npos; at = in_.find("< " + prefix, at + 1)) {
      const size_t end = in_.find('>', at);
      if (end == std::string::npos) break;
      out.push_back(in_.substr(at + 2, end - at - 3));
    }
    return out;
  }
  std::string& in() { return in_; }
  void Open(const std::string& bus, const char* mode) {
    ASSERT_TRUE(Has("< hi >"));
    Send("< open " + bus + " >");
    ASSERT_TRUE(Has("< ok >"));
    if (mode != nullptr) {
      Send(std::string("< ") + mode + " >");
      ASSERT_TRUE(ReadUntil([this](const std::string&) { return Count("< ok >") == 2; }));
    }
  }

 private:
  tarnlink::SocketEndpoint endpoint_;
  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  std::string in_;
};

double Seconds(const std::string& message, int field) {
  size_t at = 0;
  for (int i = 0; i < field; ++i) at = message.find(' ', at) + 1;
  return std::strtod(message.c_str() + at, nullptr);
}

class ServeTest : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> serve_args = {}) {
    sim_ = std::make_unique<Tool>(std::vector<std::string>{"sim", "--listen", "0", "--echo"}, "127.0.0.1:");
    ASSERT_NE(sim_->port(), 0) << sim_->process().err();
    std::vector<std::string> args = {"serve",       "--port", std::to_string(sim_->port()), "--listen", "127.0.0.1:0",
                                     "--no-beacon", "-q"};
    args.insert(args.end(), serve_args.begin(), serve_args.end());
    serve_ = std::make_unique<Tool>(args, "listening on 127.0.0.1:");
    ASSERT_NE(serve_->port(), 0) << serve_->process().out() << serve_->process().err();
  }
  void TearDown() override {
    if (serve_) {
      EXPECT_EQ(serve_->Stop(), 0) << serve_->process().err();
    }
    serve_.reset();
    sim_.reset();
  }
  std::unique_ptr<Conn> Client(const char* mode = "rawmode", const std::string& bus = "ch0", int rcvbuf = 0) {
    auto c = std::make_unique<Conn>(serve_->port(), rcvbuf);
    EXPECT_TRUE(c->connected());
    c->Open(bus, mode);
    return c;
  }

  std::unique_ptr<Tool> sim_;
  std::unique_ptr<Tool> serve_;
};

TEST_F(ServeTest, RawModeFramesFdRemoteErrorsAndGarbage) {
  Start();
  auto a = Client();
  auto b = Client();
  auto other = Client("rawmode", "ch1");
  a->Send("< fdsend 123 1 C 1 2 3 4 5 6 7 8 9 a b c >< sendrtr 12345678 4 >");
  // Nothing of these may become a frame.
  a->Send("hello < bogus > < send 123 3 1 2 > < send 123 1 < send 7FF 1 AA >");
  ASSERT_TRUE(a->Sync());
  EXPECT_EQ(a->Count("< error unknown command >"), 3u) << a->in();
  EXPECT_EQ(a->Count("< error invalid arguments >"), 1u) << a->in();
  sim_->process().WriteStdin("error 0 busoff\n");
  for (Conn* c : {a.get(), b.get()}) {
    ASSERT_TRUE(c->Has("< error 040 ")) << c->in();
    ASSERT_TRUE(c->Has("< frame 7FF ")) << c->in();
    const auto fd = c->Messages("fdframe");
    ASSERT_EQ(fd.size(), 1u) << c->in();
    EXPECT_EQ(fd[0].substr(0, 15), "fdframe 123 01 ");
    EXPECT_NE(fd[0].find(" 0102030405060708090A0B0C"), std::string::npos) << fd[0];
    const auto rtr = c->Messages("rtr");
    ASSERT_EQ(rtr.size(), 1u);
    EXPECT_EQ(rtr[0].substr(0, 13), "rtr 12345678 ");
    EXPECT_EQ(rtr[0].back(), '4');
    const auto frames = c->Messages("frame");
    ASSERT_EQ(frames.size(), 1u) << c->in();
    EXPECT_EQ(frames[0].substr(0, 10), "frame 7FF ");
    EXPECT_NE(frames[0].find(" AA"), std::string::npos);
    EXPECT_NEAR(Seconds(frames[0], 2), std::time(nullptr), 60);
  }
  ASSERT_TRUE(other->Sync());
  EXPECT_TRUE(other->Messages("frame").empty()) << other->in();
  // Mode rules: ISO-TP is refused, statistics need control mode.
  a->Send("< isotpmode >< statistics 100 >");
  ASSERT_TRUE(a->Sync());
  EXPECT_NE(a->in().find("isotp mode is not supported"), std::string::npos);
  EXPECT_NE(a->in().find("statistics need control mode"), std::string::npos);
}

TEST_F(ServeTest, BcmJobsAtTheirPeriodAndSubscriptionsWithThrottle) {
  Start();
  auto watch = Client();
  auto bcm = Client(nullptr);
  // 50 ms is a whole number of ms: the gateway's own timed entry; 70.5 ms
  // is timed by the server.
  bcm->Send("< add 0 50000 123 2 1 2 >< add 0 70500 124 1 7 >");
  ASSERT_TRUE(bcm->Sync());
  EXPECT_NE(serve_->Report().find("jobs 2 (1 on the gateway)"), std::string::npos);
  for (const char* id : {"frame 123", "frame 124"}) {
    ASSERT_TRUE(watch->ReadUntil([&](const std::string&) { return watch->Messages(id).size() >= 6; })) << id;
    const auto seen = watch->Messages(id);
    const double period = (Seconds(seen.back(), 2) - Seconds(seen.front(), 2)) / double(seen.size() - 1);
    EXPECT_GT(period, 0.025) << id;  // 50 or 70 ms, loosely: a loaded machine may be late
    EXPECT_LT(period, 0.25) << id;
  }
  EXPECT_NE(watch->Messages("frame 123").front().find(" 0102"), std::string::npos);
  bcm->Send("< update 123 2 3 4 >");
  ASSERT_TRUE(watch->Has("0304 >"));
  bcm->Send("< delete 123 >< delete 124 >");
  ASSERT_TRUE(bcm->Sync());
  // After the delete is handled at most one frame can be in flight.
  watch->ReadUntil([](const std::string&) { return false; }, 300);
  const size_t seen = watch->Messages("frame 12").size();
  watch->ReadUntil([](const std::string&) { return false; }, 300);
  EXPECT_EQ(watch->Messages("frame 12").size(), seen);
  // Jobs end with the connection, on the gateway too.
  {
    auto gone = Client(nullptr);
    gone->Send("< add 0 20000 125 0 >");
    ASSERT_TRUE(watch->Has("< frame 125 "));
  }
  ASSERT_TRUE(Eventually([&] { return serve_->Report().find("serve: 2 clients connected") != std::string::npos; }));
  watch->ReadUntil([](const std::string&) { return false; }, 300);
  const size_t after = watch->Messages("frame 125").size();
  watch->ReadUntil([](const std::string&) { return false; }, 300);
  EXPECT_EQ(watch->Messages("frame 125").size(), after);
  bcm->Send("< delete 123 >< update 555 1 1 >");
  ASSERT_TRUE(bcm->Sync());
  EXPECT_EQ(bcm->Count("no such job"), 2u);

  // Subscriptions: ten frames in a burst give the first at once and the
  // last at the end of the interval; a filter passes changes of the masked bytes.
  auto sub = Client(nullptr);
  sub->Send("< subscribe 0 300000 222 >< filter 0 0 333 2 F0 0 >");
  ASSERT_TRUE(sub->Sync());
  std::string burst;
  for (int i = 0; i < 10; ++i) burst += "< send 222 1 " + std::to_string(i) + " >";
  for (const char* d : {"10 1", "11 2", "20 3", "2F 4", "30 5"}) burst += std::string("< send 333 2 ") + d + " >";
  watch->Send(burst);
  ASSERT_TRUE(sub->ReadUntil([&](const std::string&) { return sub->Messages("frame 222").size() >= 2; }));
  const auto sub222 = sub->Messages("frame 222");
  ASSERT_EQ(sub222.size(), 2u) << sub->in();
  EXPECT_EQ(sub222[0].substr(sub222[0].size() - 2), "00");
  EXPECT_EQ(sub222[1].substr(sub222[1].size() - 2), "09");
  EXPECT_GE(Seconds(sub222[1], 2) - Seconds(sub222[0], 2), 0.0);
  const auto sub333 = sub->Messages("frame 333");
  ASSERT_EQ(sub333.size(), 3u) << sub->in();
  EXPECT_EQ(sub333[1].substr(sub333[1].size() - 4), "2003");
  EXPECT_EQ(sub333[2].substr(sub333[2].size() - 4), "3005");
  sub->Send("< unsubscribe 222 >< unsubscribe 222 >");
  ASSERT_TRUE(sub->Sync());
  EXPECT_EQ(sub->Count("no such subscription"), 1u);
}

TEST_F(ServeTest, StatisticsInControlMode) {
  Start();
  auto sender = Client();
  auto control = Client("controlmode");
  sender->Send("< send 123 2 1 2 >< send 123 2 1 2 >");
  ASSERT_TRUE(sender->ReadUntil([&](const std::string&) { return sender->Messages("frame").size() == 2; }));
  control->Send("< statistics 50 >");
  ASSERT_TRUE(control->ReadUntil([&](const std::string&) { return control->Messages("stat").size() >= 2; }));
  // RBYTES RPACKETS TBYTES TPACKETS of ch0: two frames of two bytes each way.
  EXPECT_EQ(control->Messages("stat").back(), "stat 4 2 4 2");
  control->Send("< statistics 0 >");
  ASSERT_TRUE(control->Sync());
  const size_t n = control->Messages("stat").size();
  control->ReadUntil([](const std::string&) { return false; }, 200);
  EXPECT_EQ(control->Messages("stat").size(), n);
}

TEST_F(ServeTest, ReadOnlyRefusesAndCountsEverySendingCommand) {
  Start({"--read-only", "--stats", "0.2"});
  ASSERT_TRUE(serve_->process().WaitForLine("sends refused (read-only)", milliseconds(5000)));  // --stats
  auto watch = Client();
  auto bcm = Client(nullptr);
  watch->Send("< send 123 1 1 >< fdsend 123 0 1 1 >< sendrtr 123 0 >");
  bcm->Send("< add 0 10000 123 0 >");
  ASSERT_TRUE(watch->Sync());
  ASSERT_TRUE(bcm->Sync());
  EXPECT_EQ(watch->Count("< error read-only >"), 3u);
  EXPECT_EQ(bcm->Count("< error read-only >"), 1u);
  sim_->process().WriteStdin("frame 0 321#01\n");
  ASSERT_TRUE(watch->Has("< frame 321 "));  // receiving still works
  EXPECT_TRUE(watch->Messages("frame 123").empty());
  const std::string report = serve_->Report();
  EXPECT_NE(report.find("4 sends refused (read-only)"), std::string::npos) << report;
  EXPECT_NE(report.find("refused 3,"), std::string::npos) << report;
}

TEST_F(ServeTest, AllowListAndClientLimitRefuseAtAccept) {
  Start({"--allow", "10.0.0.0/8", "--allow", "192.168.0.0/16"});
  Conn stranger(serve_->port());
  ASSERT_TRUE(stranger.connected());
  EXPECT_TRUE(stranger.WaitClosed());
  EXPECT_EQ(stranger.in().find("< hi >"), std::string::npos);
  EXPECT_NE(serve_->Report().find("1 refused by the allow list"), std::string::npos);
  ASSERT_EQ(serve_->Stop(), 0);

  Start({"--allow", "127.0.0.0/8", "--max-clients", "2"});
  auto one = Client();
  auto two = Client();
  Conn three(serve_->port());
  EXPECT_TRUE(three.WaitClosed());
  EXPECT_EQ(three.in(), "< error too many clients >");
  one.reset();
  ASSERT_TRUE(Eventually([&] {
    Conn again(serve_->port());
    return again.Has("< hi >", 1000);
  }));
}

TEST_F(ServeTest, StalledClientLosesOnlyItsOwnFramesAndIsDisconnected) {
  // A backlog of two seconds of traffic: the healthy reader may be held up
  // on a loaded machine, and loses nothing unless it is that slow.
  Start({"--backlog", "20000", "--client-timeout", "1500"});
  auto stalled = Client("rawmode", "ch0", 4096);  // reads nothing from here on
  auto healthy = Client();
  constexpr size_t kFrames = 25000;
  sim_->process().WriteStdin("gen 0 10000\n");
  ASSERT_TRUE(healthy->ReadUntil([&](const std::string&) { return healthy->Count("< frame ") >= kFrames; }, 30000))
      << healthy->Count("< frame ") << serve_->Report();
  sim_->process().WriteStdin("stop 0\n");
  // Everything the driver received reached the healthy client, in order.
  std::string report;
  ASSERT_TRUE(Eventually(
      [&] {
        healthy->ReadUntil([](const std::string&) { return false; }, 100);
        report = serve_->Report();
        const size_t at = report.find("ch0: frames CAN ");
        const std::string total = report.substr(at + 16, report.find(", CAN FD", at) - at - 16);
        return report.find("frames out " + total + ", dropped 0,") != std::string::npos;
      },
      10000))
      << report;
  EXPECT_EQ(healthy->Count("dropped"), 0u);
  const auto frames = healthy->Messages("frame");
  for (size_t i = 1; i < frames.size(); ++i) ASSERT_LE(Seconds(frames[i - 1], 2), Seconds(frames[i], 2)) << i;
  // The stalled one lost frames, or was already disconnected for not reading.
  const size_t at = report.find("client 1 ");
  EXPECT_TRUE(at == std::string::npos || report.find("dropped 0,", at) > report.find('\n', at)) << report;
  ASSERT_TRUE(
      Eventually([&] { return serve_->Report().find("serve: 1 clients connected") != std::string::npos; }, 10000));
  EXPECT_TRUE(stalled->WaitClosed(10000));
  EXPECT_TRUE(healthy->Sync());
}

TEST_F(ServeTest, SlowReaderIsToldWhatItLost) {
  Start({"--backlog", "100"});
  auto slow = Client("rawmode", "ch0", 4096);
  sim_->process().WriteStdin("gen 0 10000\n");
  // Unread for a second: about 3,000 frames fit the socket buffers, 100 the
  // backlog; the rest is dropped for this client and reported once it reads.
  std::this_thread::sleep_for(milliseconds(1000));  // the stall under test, not a wait for something
  ASSERT_TRUE(slow->Has("< error dropped ", 10000)) << serve_->Report();
  sim_->process().WriteStdin("stop 0\n");
  const std::string report = serve_->Report();
  EXPECT_EQ(report.find("dropped 0,"), std::string::npos) << report;
}

TEST_F(ServeTest, BadClientsLeaveNothingBehind) {
  Start();
  auto watch = Client();
  // A command cut off by the disconnect is never sent.
  {
    auto c = Client();
    c->Send("< send 7FF 1 AA");
    c->Close();
  }
  // A line longer than any command closes the connection.
  {
    auto c = Client();
    c->Send("< send " + std::string(600, '1'));
    EXPECT_TRUE(c->WaitClosed());
    EXPECT_NE(c->in().find("line too long"), std::string::npos);
  }
  // A thousand clients come and go, some mid-line.
  for (int i = 0; i < 1000; ++i) {
    Conn c(serve_->port());
    ASSERT_TRUE(c.connected()) << i;
    if (i % 10 == 0) {
      ASSERT_TRUE(c.Has("< hi >")) << i;
      c.Send(i % 20 == 0 ? "< open ch0 >< rawmode >< send 12" : "< open ch");
    }
  }
  ASSERT_TRUE(
      Eventually([&] { return serve_->Report().find("serve: 1 clients connected") != std::string::npos; }, 10000));
  ASSERT_TRUE(watch->Sync());
  EXPECT_TRUE(watch->Messages("frame").empty()) << watch->in();
  watch->Send("< send 456 1 BB >");
  EXPECT_TRUE(watch->Has("< frame 456 "));
}

}  // namespace
}  // namespace tarnlink::test
