#include "tools/sim/link.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <utility>

#include "tools/common/net.h"

namespace tarnlink::sim {
namespace {

using std::chrono::milliseconds;

constexpr size_t kRecvBufferSize = 65536 + 1024;
constexpr int kIdlePollMs = 50;

bool IsMulticast(const std::string& address) {
  in_addr a{};
  if (inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
  return (ntohl(a.s_addr) >> 28) == 0xE;
}

bool MakeAddress(const std::string& text, uint16_t port, sockaddr_in* out) {
  *out = sockaddr_in{};
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  return inet_pton(AF_INET, text.c_str(), &out->sin_addr) == 1;
}

std::string PeerText(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return Format("%s:%u", ip, static_cast<unsigned>(ntohs(a.sin_port)));
}

using net::SetNonBlocking;
using net::ssize_t;

}  // namespace

Link::Link(Context& ctx, PacketHandler handler, std::function<void()> on_change)
    : ctx_(ctx),
      handler_(std::move(handler)),
      on_change_(std::move(on_change)),
      remote_address_(ctx.cfg.remote_address),
      remote_port_(ctx.cfg.remote_port) {}

Link::~Link() { Stop(); }

bool Link::Open(int pipe_fds[2]) {
  auto fail = [&](const char* what) {
    ctx_.log(Format("start failed: %s (%s)", what, std::strerror(errno)));
    std::lock_guard<std::mutex> lock(mu_);
    net::Close(listen_fd_);
    net::Close(udp_fd_);
    listen_fd_ = udp_fd_ = -1;
    net::Close(pipe_fds[0]);
    net::Close(pipe_fds[1]);
    return false;
  };
  const GatewayConfig& c = ctx_.cfg;
  sockaddr_in local{};
  if (c.mode == LinkMode::kTcpListen) {
    if (!MakeAddress(c.bind_address, c.local_port, &local)) return fail("bad bind address");
    listen_fd_ = net::Socket(SOCK_STREAM);
    if (listen_fd_ < 0) return fail("socket");
    int one = 1;
    net::SetOption(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return fail("bind");
    if (::listen(listen_fd_, 16) != 0) return fail("listen");
    SetNonBlocking(listen_fd_);
  } else if (c.mode == LinkMode::kUdp) {
    std::string remote;
    uint16_t remote_port = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      remote = remote_address_;
      remote_port = remote_port_;
    }
    const bool group = IsMulticast(remote);
    // A group member hears the group on its port from any local address.
    if (!MakeAddress(group ? "0.0.0.0" : c.bind_address, c.local_port, &local)) return fail("bad bind address");
    udp_fd_ = net::Socket(SOCK_DGRAM);
    if (udp_fd_ < 0) return fail("socket");
    if (::bind(udp_fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return fail("bind");
    int big = 4 << 20;
    net::SetOption(udp_fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (group) {
      in_addr iface{};
      inet_pton(AF_INET, c.multicast_interface.c_str(), &iface);
      net::SetOption(udp_fd_, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface);
      const unsigned char loop = c.multicast_loop ? 1 : 0;
      net::SetOption(udp_fd_, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
      ip_mreq m{};
      inet_pton(AF_INET, remote.c_str(), &m.imr_multiaddr);
      m.imr_interface = iface;
      net::SetOption(udp_fd_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
    }
    std::lock_guard<std::mutex> lock(mu_);
    learn_destination_ = remote_port == 0;
    udp_has_destination_ = remote_port != 0 && MakeAddress(remote, remote_port, &udp_destination_);
  }
  const int bound = listen_fd_ >= 0 ? listen_fd_ : udp_fd_;
  if (bound >= 0) {
    sockaddr_in a{};
    net::LocalAddress(bound, &a);
    local_port_ = ntohs(a.sin_port);
  }
  return true;
}

bool Link::Start() {
  // `stopping_` stays set (senders give up at once) until everything below is
  // in place; clearing it under mu_ publishes the new sockets to them.
  int pipe_fds[2] = {-1, -1};
  if (!net::WakePipe(pipe_fds)) return false;
  if (!Open(pipe_fds)) return false;
  next_connect_ = Clock::now();
  reconnect_.store(true);
  conn_count_.store(0);
  {
    std::lock_guard<std::mutex> lock(mu_);
    wake_pipe_[0] = pipe_fds[0];
    wake_pipe_[1] = pipe_fds[1];
    stopping_.store(false);
  }
  if (ctx_.cfg.mode == LinkMode::kUdp) {
    io_thread_ = std::thread([this] { UdpLoop(); });
  } else {
    io_thread_ = std::thread([this] { TcpLoop(); });
  }
  return true;
}

void Link::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_.store(true);
    cv_.notify_all();
  }
  Wake();
  if (io_thread_.joinable()) io_thread_.join();
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& c : conns_) CloseConnLocked(c);
  conns_.clear();
  conn_count_.store(0);
  udp_has_destination_ = false;
  cv_.notify_all();
  net::Close(connecting_fd_);
  net::Close(listen_fd_);
  net::Close(udp_fd_);
  connecting_fd_ = listen_fd_ = udp_fd_ = -1;
  for (int& fd : wake_pipe_) {
    net::Close(fd);
    fd = -1;
  }
}

void Link::WakeSenders() {
  std::lock_guard<std::mutex> lock(mu_);
  cv_.notify_all();
}

// Under mu_: Stop closes the pipe while a sender on another thread may still
// be on its way out of Deliver.
void Link::Wake() {
  std::lock_guard<std::mutex> lock(mu_);
  if (wake_pipe_[1] >= 0) net::WakeWrite(wake_pipe_[1]);
}

// Sends whatever the socket takes now; mu_ held.
void Link::FlushLocked(Conn& c) {
  while (c.pending() > 0 && !c.drop) {
    const ssize_t n = net::SendNow(c.fd, c.out.data() + c.out_offset, c.pending());
    if (n > 0) {
      c.out_offset += static_cast<size_t>(n);
    } else if (n < 0 && net::Interrupted()) {
      continue;
    } else if (n < 0 && net::WouldBlock()) {
      break;
    } else {
      c.drop = true;
    }
  }
  if (c.pending() == 0) {
    c.out.clear();
    c.out_offset = 0;
  } else if (c.out_offset > (1u << 20)) {
    c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(c.out_offset));
    c.out_offset = 0;
  }
  cv_.notify_all();
}

bool Link::Deliver(const std::vector<uint8_t>& bytes, int conn_id, bool wait_room, size_t frames,
                   const std::atomic<bool>* abort, std::atomic<uint64_t>* also_count, int except_conn) {
  // Counted before the bytes leave, so that a peer that has them never reads
  // a counter that does not include them yet; taken back on failure.
  auto count = [&](int sign) {
    const uint64_t d = sign > 0 ? 1 : ~uint64_t{0};
    ctx_.counters.packets_out.fetch_add(d);
    ctx_.counters.frames_out.fetch_add(sign > 0 ? frames : uint64_t{0} - frames);
    if (also_count != nullptr) also_count->fetch_add(d);
  };
  count(+1);
  const bool delivered = DeliverLocked(bytes, conn_id, wait_room, frames, abort, except_conn);
  if (delivered) {
    Wake();  // the I/O thread writes what the socket did not take
  } else {
    count(-1);
  }
  return delivered;
}

bool Link::DeliverLocked(const std::vector<uint8_t>& bytes, int conn_id, bool wait_room, size_t frames,
                         const std::atomic<bool>* abort, int except_conn) {
  const GatewayConfig& cfg = ctx_.cfg;
  std::unique_lock<std::mutex> lock(mu_);
  if (stopping_) return false;
  if (cfg.mode == LinkMode::kUdp) {
    if (except_conn == -1) return false;  // the one peer is the one left out
    if (udp_fd_ < 0 || !udp_has_destination_) return false;
    const ssize_t n = net::SendTo(udp_fd_, bytes.data(), bytes.size(), udp_destination_);
    return n == static_cast<ssize_t>(bytes.size());
  }
  // To every connection, a send waits only while none of them has room: one
  // peer that stopped reading must not stop the traffic to the others. Its
  // queue fills to the limit below, then it alone loses packets.
  const bool to_all = conn_id < 0;
  if (wait_room && to_all) {
    cv_.wait(lock, [&] {
      if (stopping_ || (abort && abort->load())) return true;
      for (const std::shared_ptr<Conn>& c : conns_) {
        if (c->id != except_conn && !c->drop && c->pending() < cfg.send_high_water) return true;
      }
      return std::all_of(conns_.begin(), conns_.end(),
                         [&](const std::shared_ptr<Conn>& c) { return c->drop || c->id == except_conn; });
    });
    if (stopping_ || (abort && abort->load())) return false;
  }
  bool delivered = false;
  const std::vector<std::shared_ptr<Conn>> targets = conns_;
  for (const std::shared_ptr<Conn>& c : targets) {
    if ((conn_id >= 0 && c->id != conn_id) || c->id == except_conn) continue;
    if (wait_room && !to_all) {
      cv_.wait(lock,
               [&] { return stopping_ || c->drop || c->pending() < cfg.send_high_water || (abort && abort->load()); });
      if (stopping_ || (abort && abort->load())) return false;
    }
    if (c->drop) continue;
    // A send does not grow the queue of a peer that stopped reading without
    // bound; whole packets are left out, so its stream stays framed.
    if ((!wait_room || to_all) && c->pending() >= 2 * cfg.send_high_water) {
      ctx_.counters.frames_dropped.fetch_add(frames);
      continue;
    }
    const bool was_empty = c->pending() == 0;
    c->out.insert(c->out.end(), bytes.begin(), bytes.end());
    if (was_empty) FlushLocked(*c);
    delivered = true;
  }
  return delivered;
}

bool Link::SendFrames(const std::vector<WireFrame>& frames, bool fd, int conn_id, bool wait_room,
                      const std::atomic<bool>* abort, int except_conn) {
  if (frames.empty()) return true;
  const size_t per_packet = fd ? kCanFdPerPacket : kCanPerPacket;
  const auto packets = DataPackets(frames, fd);
  for (size_t i = 0; i < packets.size(); ++i) {
    const size_t n = std::min(per_packet, frames.size() - i * per_packet);
    if (!Deliver(packets[i], conn_id, wait_room, n, abort, nullptr, except_conn)) return false;
  }
  return true;
}

uint16_t Link::LocalPort() const {
  if (ctx_.cfg.mode != LinkMode::kTcpConnect) return local_port_;
  std::lock_guard<std::mutex> lock(mu_);
  if (conns_.empty()) return 0;
  sockaddr_in a{};
  net::LocalAddress(conns_.front()->fd, &a);
  return ntohs(a.sin_port);
}

void Link::SetRemote(const std::string& address, uint16_t port) {
  std::lock_guard<std::mutex> lock(mu_);
  remote_address_ = address;
  remote_port_ = port;
  if (ctx_.cfg.mode == LinkMode::kUdp) {
    learn_destination_ = port == 0;
    udp_has_destination_ = port != 0 && MakeAddress(address, port, &udp_destination_);
  }
}

size_t Link::ConnectionCount() const {
  if (ctx_.cfg.mode == LinkMode::kUdp) return udp_fd_ >= 0 ? 1 : 0;
  return conn_count_.load();
}

void Link::DropConnections() {
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (conns_.empty() || stopping_) return;
    drop_all_requested_ = true;
    generation = drop_generation_;
  }
  Wake();
  // The I/O thread owns the sockets; wait until it has closed them.
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait_for(lock, milliseconds(2000), [&] { return stopping_ || drop_generation_ > generation; });
}

void Link::CloseConnLocked(const std::shared_ptr<Conn>& c) {
  ::shutdown(c->fd, net::kShutBoth);
  net::Close(c->fd);
  c->fd = -1;
  c->drop = true;
}

void Link::AddConn(int fd, const std::string& peer) {
  SetNonBlocking(fd);
  int one = 1;
  net::SetOption(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto c = std::make_shared<Conn>();
  c->fd = fd;
  c->peer = peer;
  {
    std::lock_guard<std::mutex> lock(mu_);
    c->id = next_conn_id_++;
    conns_.push_back(c);
    conn_count_.store(conns_.size());
  }
  ctx_.counters.connections.fetch_add(1);
  ctx_.log("connected " + peer);
  on_change_();
}

// Closes connections marked for dropping (by a failure or DropConnections).
void Link::ReapConns() {
  std::vector<std::string> gone;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (drop_all_requested_) {
      for (auto& c : conns_) c->drop = true;
      drop_all_requested_ = false;
    }
    for (auto it = conns_.begin(); it != conns_.end();) {
      if ((*it)->drop) {
        gone.push_back((*it)->peer);
        CloseConnLocked(*it);
        it = conns_.erase(it);
      } else {
        ++it;
      }
    }
    conn_count_.store(conns_.size());
    ++drop_generation_;
    cv_.notify_all();
  }
  if (!gone.empty()) {
    if (ctx_.cfg.mode == LinkMode::kTcpConnect) next_connect_ = Clock::now() + milliseconds(ctx_.cfg.reconnect_ms);
    for (const std::string& p : gone) ctx_.log("disconnected " + p);
    on_change_();
  }
}

void Link::StartConnect() {
  sockaddr_in a{};
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!MakeAddress(remote_address_, remote_port_, &a)) return;
    connect_target_ = a;
  }
  const int fd = net::Socket(SOCK_STREAM);
  if (fd < 0) return;
  SetNonBlocking(fd);
  const int r = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (r == 0) {
    AddConn(fd, PeerText(a));
  } else if (net::InProgress()) {
    connecting_fd_ = fd;
    connect_deadline_ = Clock::now() + milliseconds(3000);
  } else {
    net::Close(fd);
    next_connect_ = Clock::now() + milliseconds(ctx_.cfg.reconnect_ms);
  }
}

void Link::FinishConnect(bool writable) {
  if (writable && net::SocketError(connecting_fd_) == 0) {
    AddConn(connecting_fd_, PeerText(connect_target_));
  } else {
    net::Close(connecting_fd_);
    next_connect_ = Clock::now() + milliseconds(ctx_.cfg.reconnect_ms);
  }
  connecting_fd_ = -1;
}

void Link::TcpLoop() {
  std::vector<uint8_t> buf(kRecvBufferSize);
  std::vector<uint8_t> packet;
  while (!stopping_.load()) {
    ReapConns();
    if (ctx_.cfg.mode == LinkMode::kTcpConnect && connecting_fd_ < 0 && conn_count_.load() == 0 && reconnect_.load() &&
        Clock::now() >= next_connect_) {
      StartConnect();
    }
    std::vector<net::PollFd> fds;
    std::vector<std::shared_ptr<Conn>> polled;
    fds.push_back({wake_pipe_[0], POLLIN, 0});
    const size_t listen_at = fds.size();
    if (listen_fd_ >= 0) fds.push_back({listen_fd_, POLLIN, 0});
    const size_t connect_at = fds.size();
    if (connecting_fd_ >= 0) fds.push_back({connecting_fd_, POLLOUT, 0});
    const size_t conns_at = fds.size();
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (const auto& c : conns_) {
        fds.push_back({c->fd, static_cast<short>(POLLIN | (c->pending() > 0 ? POLLOUT : 0)), 0});
        polled.push_back(c);
      }
    }
    const int r = net::Poll(fds.data(), fds.size(), kIdlePollMs);
    if (r < 0 && !net::Interrupted()) break;
    if (fds[0].revents & POLLIN) net::WakeDrain(wake_pipe_[0]);
    if (listen_fd_ >= 0 && (fds[listen_at].revents & POLLIN)) {
      sockaddr_in a{};
      const int fd = net::Accept(listen_fd_, &a);
      if (fd >= 0) AddConn(fd, PeerText(a));
    }
    if (connecting_fd_ >= 0) {
      const short ev = fds[connect_at].revents;
      if (ev & (POLLOUT | POLLERR | POLLHUP)) {
        FinishConnect((ev & POLLOUT) != 0 && (ev & POLLERR) == 0);
      } else if (Clock::now() > connect_deadline_) {
        FinishConnect(false);
      }
    }
    for (size_t i = 0; i < polled.size(); ++i) {
      const short ev = fds[conns_at + i].revents;
      Conn& c = *polled[i];
      if (ev & POLLOUT) {
        std::lock_guard<std::mutex> lock(mu_);
        if (!c.drop) FlushLocked(c);
      }
      if (ev & (POLLIN | POLLHUP | POLLERR)) {
        const ssize_t n = net::RecvNow(c.fd, buf.data(), buf.size());
        if (n > 0) {
          c.parser.Append(buf.data(), static_cast<size_t>(n));
          // Skipped bytes are counted before the packet after them is acted on.
          auto count_skipped = [&] {
            ctx_.counters.bad_bytes.fetch_add(c.parser.skipped() - c.skipped_seen);
            c.skipped_seen = c.parser.skipped();
          };
          while (c.parser.Next(&packet)) {
            count_skipped();
            handler_(c.id, c.peer, packet);
          }
          count_skipped();
        } else if (n == 0 || (!net::WouldBlock() && !net::Interrupted())) {
          std::lock_guard<std::mutex> lock(mu_);
          c.drop = true;
        }
      }
    }
  }
}

void Link::UdpLoop() {
  std::vector<uint8_t> buf(kRecvBufferSize);
  std::vector<uint8_t> packet;
  std::map<std::string, WireParser> parsers;
  while (!stopping_.load()) {
    net::PollFd fds[2] = {{wake_pipe_[0], POLLIN, 0}, {udp_fd_, POLLIN, 0}};
    const int r = net::Poll(fds, 2, kIdlePollMs);
    if (r < 0 && !net::Interrupted()) break;
    if (fds[0].revents & POLLIN) net::WakeDrain(wake_pipe_[0]);
    if (!(fds[1].revents & POLLIN)) continue;
    sockaddr_in from{};
    const ssize_t n = net::RecvFrom(udp_fd_, buf.data(), buf.size(), &from);
    if (n <= 0) continue;
    const std::string peer = PeerText(from);
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (learn_destination_) {
        udp_destination_ = from;
        udp_has_destination_ = true;
      }
    }
    WireParser& parser = parsers[peer];
    uint64_t seen = parser.skipped();
    auto count_skipped = [&] {
      ctx_.counters.bad_bytes.fetch_add(parser.skipped() - seen);
      seen = parser.skipped();
    };
    parser.Append(buf.data(), static_cast<size_t>(n));
    while (parser.Next(&packet)) {
      count_skipped();
      handler_(-1, peer, packet);
    }
    count_skipped();
  }
}

}  // namespace tarnlink::sim
