// A link cut silently under traffic (no FIN, no RST): a gateway in a network
// namespace of its own, reached over a veth pair whose far end is then taken
// down. The driver must notice within its unacknowledged-data limit and
// reconnect once the link is back. Skips where namespaces cannot be made.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/reliability/link.h"
#include "tests/support/cannot_run.h"

namespace tarnlink::test {
namespace {

constexpr uint32_t kType = VELA_TYPE_LINK_2CH_TCP;

bool Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

// A namespace "gw" with 10.213.N.2 on its end of a veth pair, 10.213.N.1 here.
class Namespace {
 public:
  Namespace() {
    const int n = static_cast<int>(getpid() % 200) + 20;
    name_ = "tarnlink" + std::to_string(getpid());
    here_ = "tlh" + std::to_string(getpid());
    there_ = "tlg" + std::to_string(getpid());
    subnet_ = "10.213." + std::to_string(n) + ".";
    if (geteuid() != 0) {
      why_ = "needs root to make a network namespace";
      return;
    }
    if (!Shell("ip netns add " + name_)) {
      why_ = "'ip netns add' failed (no ip tool, or no namespaces here)";
      return;
    }
    made_ = true;
    ok_ = Shell("ip link add " + here_ + " type veth peer name " + there_) &&
          Shell("ip link set " + there_ + " netns " + name_) && Shell("ip addr add " + subnet_ + "1/30 dev " + here_) &&
          Shell("ip link set " + here_ + " up") && Shell(In("ip addr add " + subnet_ + "2/30 dev " + there_)) &&
          Shell(In("ip link set " + there_ + " up")) && Shell(In("ip link set lo up"));
    if (!ok_) why_ = "could not set up the veth pair";
  }
  ~Namespace() {
    if (made_) Shell("ip netns del " + name_);  // takes the veth pair with it
    Shell("ip link del " + here_);
  }
  bool ok() const { return ok_; }
  const std::string& why() const { return why_; }
  std::string gateway_ip() const { return subnet_ + "2"; }
  bool SetFarEnd(bool up) { return Shell(In(std::string("ip link set ") + there_ + (up ? " up" : " down"))); }

  // A listening socket inside the namespace (made on a thread that enters it).
  Fd Listen(uint16_t* port) {
    Fd listener;
    std::thread([&] {
      const Fd ns(::open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC));
      if (!ns.valid() || ::setns(ns.get(), CLONE_NEWNET) != 0) return;
      SocketEndpoint e;
      if (CreateSocket(&e, true) != 0) return;
      listener = Fd(e.sock);
      if (BindTo(&e, gateway_ip().c_str(), 0) != 0 || ListenOn(e, 8) != 0) listener.Reset();
    }).join();
    if (listener.valid()) *port = BoundPort(listener.get());
    return listener;
  }

 private:
  std::string In(const std::string& command) const { return "ip netns exec " + name_ + " " + command; }

  std::string name_, here_, there_, subnet_, why_;
  bool made_ = false;
  bool ok_ = false;
};

TEST(DeadLink, CutUnderTrafficIsNoticedAndReconnected) {
  Namespace ns;
  if (!ns.ok()) TARNLINK_CANNOT_RUN() << ns.why();
  uint16_t port = 0;
  const Fd listener = ns.Listen(&port);
  ASSERT_TRUE(listener.valid());
  DeviceLink device(TARNLINK_TCP_LIB, kType, 11);
  ASSERT_EQ(device.lib().SetReference(kType, 11, 0, VELA_REF_REMOTE_ADDR, ns.gateway_ip().c_str()), 1u);
  ASSERT_TRUE(device.SetU32(VELA_REF_REMOTE_PORT, port));
  ASSERT_TRUE(device.StartChannels(1));
  Fd first = WaitAccept(listener.get(), 5000);
  ASSERT_TRUE(first.valid());

  // A frame every 50 ms: far too little to fill the send buffer, so only
  // unacknowledged data can show that nobody is there.
  VELA_CAN_TRANSMIT frame{};
  frame.id = 0x123;
  frame.len = 1;
  ASSERT_EQ(device.lib().Transmit(device.ch(0), &frame, 1), 1u);
  ASSERT_TRUE(ns.SetFarEnd(false));
  const auto cut = Clock::now();
  bool noticed = false;
  while (!noticed && MsSince(cut) < 40000) {
    noticed = device.lib().Transmit(device.ch(0), &frame, 1) == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(noticed) << "frames still accepted " << MsSince(cut) << " ms after the link died";
  ASSERT_TRUE(ns.SetFarEnd(true));
  Fd second = WaitAccept(listener.get(), 15000);
  EXPECT_TRUE(second.valid()) << "no reconnection once the link was back";
}

}  // namespace
}  // namespace tarnlink::test
