#include "tools/sim/link.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "transport/socket.h"

namespace tarnlink::sim {
namespace {

using std::chrono::milliseconds;

constexpr size_t kRecvBufferSize = 65536 + 1024;
constexpr int kIdlePollMs = 50;

bool IsMulticast(const std::string& address) { return IsMulticastAddress(address.c_str()); }

bool MakeAddress(const std::string& text, uint16_t port, SocketEndpoint* out) {
  *out = SocketEndpoint{};
  char dotted[32];
  if (!ResolveIPv4(text.c_str(), dotted)) return false;
  std::snprintf(out->ip, sizeof(out->ip), "%s", dotted);
  out->port = port;
  return true;
}

std::string PeerText(const SocketEndpoint& a) { return Format("%s:%u", a.ip, static_cast<unsigned>(a.port)); }

// The link keeps plain descriptors; the socket calls take endpoints.
SocketEndpoint At(int fd) {
  SocketEndpoint e;
  e.sock = fd;
  return e;
}

void Close(int fd) {
  SocketEndpoint e = At(fd);
  CloseSocket(&e);
}

}  // namespace

Link::Link(Context& ctx, PacketHandler handler, std::function<void()> on_change)
    : ctx_(ctx),
      handler_(std::move(handler)),
      on_change_(std::move(on_change)),
      remote_address_(ctx.cfg.remote_address),
      remote_port_(ctx.cfg.remote_port) {}

Link::~Link() { Stop(); }

bool Link::Open(int wake) {
  auto fail = [&](const char* what) {
    ctx_.log(Format("start failed: %s (%s)", what, std::strerror(errno)));
    std::lock_guard<std::mutex> lock(mu_);
    Close(listen_fd_);
    Close(udp_fd_);
    listen_fd_ = udp_fd_ = -1;
    CloseWake(wake);
    return false;
  };
  const GatewayConfig& c = ctx_.cfg;
  SocketEndpoint local;
  if (c.mode == LinkMode::kTcpListen) {
    if (!MakeAddress(c.bind_address, c.local_port, &local)) return fail("bad bind address");
    SocketEndpoint listener;
    if (CreateSocket(&listener, true) != 0) return fail("socket");
    listen_fd_ = listener.sock;
    AllowRebind(listener);
    if (BindTo(&listener, local.ip, local.port) != 0) return fail("bind");
    if (ListenOn(listener, 16) != 0) return fail("listen");
    MakeNonBlocking(listener);
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
    SocketEndpoint udp;
    if (CreateSocket(&udp, false) != 0) return fail("socket");
    udp_fd_ = udp.sock;
    if (BindTo(&udp, local.ip, local.port) != 0) return fail("bind");
    WidenReceiveBuffer(udp);
    if (group) JoinGroup(udp, remote.c_str(), c.multicast_loop ? 1 : 0, c.multicast_interface.c_str());
    std::lock_guard<std::mutex> lock(mu_);
    learn_destination_ = remote_port == 0;
    udp_has_destination_ = remote_port != 0 && MakeAddress(remote, remote_port, &udp_destination_);
  }
  const int bound = listen_fd_ >= 0 ? listen_fd_ : udp_fd_;
  if (bound >= 0) local_port_ = LocalPortOf(At(bound));
  return true;
}

bool Link::Start() {
  // `stopping_` stays set (senders give up at once) until everything below is
  // in place; clearing it under mu_ publishes the new sockets to them.
  const int wake = OpenWake();
  if (wake < 0) return false;
  if (!Open(wake)) return false;
  next_connect_ = Clock::now();
  reconnect_.store(true);
  conn_count_.store(0);
  {
    std::lock_guard<std::mutex> lock(mu_);
    wake_ = wake;
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
  Close(connecting_fd_);
  Close(listen_fd_);
  Close(udp_fd_);
  connecting_fd_ = listen_fd_ = udp_fd_ = -1;
  CloseWake(wake_);
  wake_ = -1;
}

void Link::WakeSenders() {
  std::lock_guard<std::mutex> lock(mu_);
  cv_.notify_all();
}

// Under mu_: Stop closes the wake handle while a sender on another thread may still
// be on its way out of Deliver.
void Link::Wake() {
  std::lock_guard<std::mutex> lock(mu_);
  if (wake_ >= 0) SignalWake(wake_);
}

// Sends whatever the socket takes now; mu_ held.
void Link::FlushLocked(Conn& c) {
  while (c.pending() > 0 && !c.drop) {
    const size_t chunk = std::min<size_t>(c.pending(), 1u << 30);
    const int n =
        SendSome(At(c.fd), reinterpret_cast<const char*>(c.out.data() + c.out_offset), static_cast<int>(chunk));
    if (n > 0) {
      c.out_offset += static_cast<size_t>(n);
    } else if (n == 0) {
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
    const int n = SendTo(At(udp_fd_), reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()),
                         udp_destination_);
    return n >= 0 && static_cast<size_t>(n) == bytes.size();
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
  return LocalPortOf(At(conns_.front()->fd));
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
  ShutdownSocket(At(c->fd));
  Close(c->fd);
  c->fd = -1;
  c->drop = true;
}

void Link::AddConn(int fd, const std::string& peer) {
  MakeNonBlocking(At(fd));
  DisableNagle(At(fd));
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
  SocketEndpoint a;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!MakeAddress(remote_address_, remote_port_, &a)) return;
    connect_target_ = a;
  }
  SocketEndpoint socket;
  if (CreateSocket(&socket, true) != 0) return;
  const int fd = socket.sock;
  const int r = tarnlink::StartConnect(&socket, a.ip, a.port);
  if (r == kSent) {
    AddConn(fd, PeerText(a));
  } else if (r == kConnecting) {
    connecting_fd_ = fd;
    connect_deadline_ = Clock::now() + milliseconds(3000);
  } else {
    Close(fd);
    next_connect_ = Clock::now() + milliseconds(ctx_.cfg.reconnect_ms);
  }
}

void Link::FinishConnect(bool writable) {
  if (writable && ConnectError(At(connecting_fd_)) == 0) {
    AddConn(connecting_fd_, PeerText(connect_target_));
  } else {
    Close(connecting_fd_);
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
    std::vector<PollEntry> fds;
    std::vector<std::shared_ptr<Conn>> polled;
    fds.push_back({wake_, kWantRead, 0});
    const size_t listen_at = fds.size();
    if (listen_fd_ >= 0) fds.push_back({listen_fd_, kWantRead, 0});
    const size_t connect_at = fds.size();
    if (connecting_fd_ >= 0) fds.push_back({connecting_fd_, kWantWrite, 0});
    const size_t conns_at = fds.size();
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (const auto& c : conns_) {
        fds.push_back({c->fd, static_cast<short>(kWantRead | (c->pending() > 0 ? kWantWrite : 0)), 0});
        polled.push_back(c);
      }
    }
    const int r = PollSockets(fds.data(), fds.size(), kIdlePollMs);
    if (r < 0) break;
    if (Readable(fds[0])) DrainWake(wake_);
    if (listen_fd_ >= 0 && Readable(fds[listen_at])) {
      SocketEndpoint a;
      if (AcceptOne(At(listen_fd_), &a) == 0) AddConn(a.sock, PeerText(a));
    }
    if (connecting_fd_ >= 0) {
      const PollEntry& entry = fds[connect_at];
      if (Writable(entry)) {
        FinishConnect(true);
      } else if (Clock::now() > connect_deadline_) {
        FinishConnect(false);
      }
    }
    for (size_t i = 0; i < polled.size(); ++i) {
      const PollEntry& entry = fds[conns_at + i];
      Conn& c = *polled[i];
      if (Writable(entry)) {
        std::lock_guard<std::mutex> lock(mu_);
        if (!c.drop) FlushLocked(c);
      }
      if (Readable(entry)) {
        const int n = RecvSome(At(c.fd), reinterpret_cast<char*>(buf.data()), static_cast<int>(buf.size()), true);
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
        } else if (n < 0) {
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
    PollEntry fds[2] = {{wake_}, {udp_fd_}};
    const int r = PollReadable(fds, 2, kIdlePollMs);
    if (r < 0) break;
    if (Readable(fds[0])) DrainWake(wake_);
    if (!Readable(fds[1])) continue;
    SocketEndpoint from;
    const int n = RecvFrom(At(udp_fd_), reinterpret_cast<char*>(buf.data()), static_cast<int>(buf.size()), &from);
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
