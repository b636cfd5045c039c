#include "tools/serve/socketcand_server.h"

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "tools/cli/stats.h"
#include "tools/serve/socketcand_protocol.h"

namespace tarnlink::serve {

using socketcand::Command;
using socketcand::Verb;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kReadChunk = 4096;
constexpr int kSendBufferBytes = 128 * 1024;
constexpr char kTooLong[] = "line too long";
constexpr int kRefusalWriteMs = 200;  // best effort for a last error line
constexpr uint32_t kMinStatisticsMs = 10;
constexpr auto kMaxIdleWait = std::chrono::seconds(1);

enum class Mode { kNone, kBcm, kRaw, kControl };

const char* ModeName(Mode m) {
  switch (m) {
    case Mode::kBcm:
      return "bcm";
    case Mode::kRaw:
      return "raw";
    case Mode::kControl:
      return "control";
    default:
      return "-";
  }
}

uint32_t IdKey(const Frame& f) { return f.id & (VELA_ID_EFF_FLAG | VELA_ID_MASK); }

int64_t SteadyMicros(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

std::string XmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

struct Subscription {
  uint32_t id = 0;
  uint64_t interval_us = 0;
  bool filter = false;
  Frame mask;
  bool sent_any = false;
  Frame last;
  int64_t last_sent_us = 0;
  bool pending = false;
  Frame pending_frame;
  uint64_t pending_stamp = 0;
};

struct CyclicJob {
  Frame frame;
  uint64_t period_us = 0;
  Clock::time_point next;  // timed here
  int entry = -1;          // else the gateway's timed entry of this index
};

constexpr uint64_t kMaxEntryPeriodUs = 65535000;  // the gateway's 16-bit ms

VELA_CAN_AUTOSEND EntryOf(const CyclicJob& job, bool enable) {
  VELA_CAN_AUTOSEND e{};
  e.enable = enable ? 1 : 0;
  e.index = static_cast<uint16_t>(job.entry);
  e.period = static_cast<uint32_t>(job.period_us / 1000);
  e.frame = cli::ToTransmit(job.frame);
  return e;
}

}  // namespace

bool ParseIpv4(std::string_view text, uint32_t* out) {
  uint32_t v = 0;
  int parts = 0;
  size_t i = 0;
  while (parts < 4) {
    size_t j = i;
    uint32_t octet = 0;
    while (j < text.size() && text[j] >= '0' && text[j] <= '9' && j - i < 3) {
      octet = octet * 10 + static_cast<uint32_t>(text[j] - '0');
      ++j;
    }
    if (j == i || octet > 255) return false;
    v = v << 8 | octet;
    ++parts;
    if (parts < 4) {
      if (j >= text.size() || text[j] != '.') return false;
      ++j;
    }
    i = j;
  }
  if (i != text.size()) return false;
  *out = v;
  return true;
}

bool ParseCidr(std::string_view text, Cidr* out) {
  const size_t slash = text.find('/');
  uint32_t address = 0;
  if (!ParseIpv4(text.substr(0, slash), &address)) return false;
  uint32_t bits = 32;
  if (slash != std::string_view::npos) {
    const std::string_view b = text.substr(slash + 1);
    if (b.empty() || b.size() > 2) return false;
    bits = 0;
    for (char c : b) {
      if (c < '0' || c > '9') return false;
      bits = bits * 10 + static_cast<uint32_t>(c - '0');
    }
    if (bits > 32) return false;
  }
  out->mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  out->network = address & out->mask;
  return true;
}

// One connected client. Its thread owns the socket, the input, the timers
// and the writes; the hub's threads touch only what mu_ guards.
class Client {
 public:
  Client(SocketcandServer& server, const SocketEndpoint& sock, uint64_t id)
      : server_(server), sock_(sock), id_(id), wake_(OpenWake()) {
    char peer[kPeerTextSize];
    FormatPeer(sock, peer);
    peer_ = peer;
  }
  ~Client() {
    Join();
    CloseSocket(&sock_);
    CloseWake(wake_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    stop_.store(true);
    SignalWake(wake_);
    ShutdownSocket(sock_);
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  bool done() const { return done_.load(); }
  bool ok() const { return wake_ >= 0; }

  // On a hub thread; scratch holds the batch formatted, for raw mode.
  void OnFrames(const Gateway& gateway, uint32_t channel, const Received* frames, size_t count, const std::string& text,
                const std::vector<size_t>& ends) EXCLUDES(mu_) {
    bool wake = false;
    {
      MutexLock lock(mu_);
      if (gateway_ != &gateway || channel_ != channel) return;
      if (mode_ == Mode::kRaw) {
        const size_t room = backlog_frames_ < limit() ? limit() - backlog_frames_ : 0;
        const size_t take = std::min(count, room);
        if (take > 0) backlog_.append(text, 0, ends[take - 1]);
        backlog_frames_ += take;
        Drop(count - take);
        wake = take > 0;
      } else if (mode_ == Mode::kBcm && !subs_.empty()) {
        const int64_t now = SteadyMicros(Clock::now());
        for (size_t i = 0; i < count; ++i) {
          wake |= Offer(gateway, frames[i], now);
        }
      }
    }
    if (wake) SignalWake(wake_);
  }

  std::string ReportLine() const EXCLUDES(mu_) {
    std::string bus;
    Mode mode;
    size_t backlog;
    {
      MutexLock lock(mu_);
      bus = gateway_ != nullptr ? gateway_->BusName(channel_) : "-";
      mode = mode_;
      backlog = backlog_frames_;
    }
    char line[320];
    std::snprintf(line, sizeof line,
                  "client %llu %s bus %s mode %s: frames out %s, dropped %s, backlog %s, sent %s, "
                  "refused %s, errors %s, jobs %zu (%zu on the gateway)",
                  static_cast<unsigned long long>(id_), peer_.c_str(), bus.c_str(), ModeName(mode),
                  cli::Grouped(frames_out_.load()).c_str(), cli::Grouped(dropped_.load()).c_str(),
                  cli::Grouped(backlog).c_str(), cli::Grouped(sent_.load()).c_str(),
                  cli::Grouped(refused_.load()).c_str(), cli::Grouped(errors_.load()).c_str(), jobs_count_.load(),
                  gateway_jobs_.load());
    return line;
  }

 private:
  size_t limit() const { return server_.options().backlog_frames; }

  void Drop(size_t n) REQUIRES(mu_) {
    if (n == 0) return;
    dropped_unreported_ += n;
    dropped_.fetch_add(n, std::memory_order_relaxed);
  }

  // A frame for a BCM subscription; true when it went to the backlog.
  bool Offer(const Gateway& gateway, const Received& r, int64_t now_us) REQUIRES(mu_) {
    const uint32_t key = IdKey(r.frame);
    for (Subscription& s : subs_) {
      if (s.id != key) continue;
      if (s.filter && s.sent_any && r.frame.len == s.last.len) {
        bool changed = false;
        for (uint8_t i = 0; i < s.mask.len && i < r.frame.len; ++i) {
          changed |= ((r.frame.data[i] ^ s.last.data[i]) & s.mask.data[i]) != 0;
        }
        if (!changed) return false;
      }
      const uint64_t stamp = gateway.StampMicros(r, server_.options().time_source);
      if (s.interval_us == 0 || !s.sent_any || now_us - s.last_sent_us >= static_cast<int64_t>(s.interval_us)) {
        s.pending = false;
        return Deliver(&s, r.frame, stamp, now_us);
      }
      s.pending = true;  // the latest waits for the end of the interval
      s.pending_frame = r.frame;
      s.pending_stamp = stamp;
      return false;
    }
    return false;
  }

  bool Deliver(Subscription* s, const Frame& f, uint64_t stamp, int64_t now_us) REQUIRES(mu_) {
    s->sent_any = true;
    s->last = f;
    s->last_sent_us = now_us;
    if (backlog_frames_ >= limit()) {
      Drop(1);
      return false;
    }
    socketcand::AppendFrame(f, stamp, &backlog_);
    ++backlog_frames_;
    return true;
  }

  // Writes one message on its own (python-can reads `< hi >` and `< ok >`
  // with one recv each). False when the client is gone or not reading.
  bool Reply(const char* text) {
    const int r = SendWhole(sock_, text, static_cast<int>(std::strlen(text)), server_.options().client_timeout_ms);
    if (r != kSent) {
      close_reason_ = r == kSendTimedOut ? "not reading" : "connection lost";
      return false;
    }
    return true;
  }
  bool Ok() EXCLUDES(mu_) {
    {
      MutexLock lock(mu_);
      hold_until_ = Clock::now() + std::chrono::milliseconds(server_.options().ok_grace_ms);
    }
    return Reply("< ok >");
  }
  bool Error(const char* text) {
    errors_.fetch_add(1, std::memory_order_relaxed);
    std::string line = std::string(" < error ") + text + " >";
    return Reply(line.c_str());
  }

  // The gateway stops sending a job's frame; its index is free again.
  void StopEntry(CyclicJob* job) {
    if (job->entry < 0) return;
    gw_->SetTimedEntry(ch_, EntryOf(*job, false));
    server_.ReleaseEntry(gw_, ch_, job->entry);
    job->entry = -1;
  }
  void CountJobs() {
    size_t on_gateway = 0;
    for (const auto& [id, job] : jobs_) on_gateway += job.entry >= 0 ? 1 : 0;
    jobs_count_.store(jobs_.size());
    gateway_jobs_.store(on_gateway);
  }

  void Run() {
    Serve();
    for (auto& [id, job] : jobs_) StopEntry(&job);  // jobs end with the connection
    jobs_.clear();
    CountJobs();
    if (close_reason_ == kTooLong) {
      // Best effort: the client may already be gone.
      const std::string line = std::string(" < error ") + kTooLong + ", closing >";
      SendWhole(sock_, line.data(), static_cast<int>(line.size()), kRefusalWriteMs);
    }
    {
      MutexLock lock(mu_);
      gateway_ = nullptr;  // the hub stops looking at this client
      subs_.clear();
      backlog_.clear();
    }
    ShutdownSocket(sock_);
    done_.store(true);
  }

  void Serve() {
    if (wake_ < 0) {
      close_reason_ = "out of resources";
      return;
    }
    if (!Reply("< hi >")) return;
    char chunk[kReadChunk];
    std::vector<PollEntry> entries(2);
    while (!stop_.load()) {
      const auto now = Clock::now();
      const auto due = NextDue(now);
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
      entries[0] = PollEntry{sock_.sock, 0, 0};
      entries[1] = PollEntry{wake_, 0, 0};
      const int n = PollReadable(entries.data(), entries.size(), static_cast<int>(std::max<int64_t>(0, wait) + 1));
      if (n < 0 || stop_.load()) return;
      if (Readable(entries[1])) DrainWake(wake_);
      if (Readable(entries[0])) {
        const int got = RecvSome(sock_, chunk, sizeof chunk, true);
        if (got < 0) {
          close_reason_ = "closed by the client";
          return;
        }
        in_.append(chunk, static_cast<size_t>(got));
        if (!HandleInput()) return;
      }
      if (!RunTimers(Clock::now())) return;
      if (!Flush()) return;
    }
  }

  Clock::time_point NextDue(Clock::time_point now) EXCLUDES(mu_) {
    Clock::time_point due = now + kMaxIdleWait;
    for (const auto& [id, job] : jobs_) {
      if (job.entry < 0) due = std::min(due, job.next);
    }
    if (stat_ms_ != 0) due = std::min(due, next_stat_);
    MutexLock lock(mu_);
    if (!backlog_.empty() || dropped_unreported_ != 0) due = std::min(due, hold_until_);
    for (const Subscription& s : subs_) {
      if (s.pending) {
        due = std::min(due, Clock::time_point(std::chrono::microseconds(s.last_sent_us + s.interval_us)));
      }
    }
    return due;
  }

  bool HandleInput() {
    size_t at = 0;
    for (;;) {
      std::string_view token;
      size_t used = 0;
      const socketcand::Scan scan = socketcand::NextToken(std::string_view(in_).substr(at), &token, &used);
      if (scan == socketcand::Scan::kOverlong) {
        close_reason_ = kTooLong;
        return false;
      }
      if (scan == socketcand::Scan::kNeedMore) {
        at += used;
        break;
      }
      if (scan == socketcand::Scan::kGarbage) {
        at += used;
        if (!Error("unknown command")) return false;
        continue;
      }
      Command c;
      const socketcand::Parse p = socketcand::ParseCommand(token, &c);
      at += used;
      bool ok = true;
      if (p == socketcand::Parse::kUnknown) {
        ok = Error("unknown command");
      } else if (p == socketcand::Parse::kInvalid) {
        ok = Error("invalid arguments");
      } else {
        ok = Handle(c);
      }
      if (!ok) return false;
    }
    in_.erase(0, at);
    return true;
  }

  bool Refuse() {
    refused_.fetch_add(1, std::memory_order_relaxed);
    server_.CountRefusal();
    return Error("read-only");
  }

  bool Handle(const Command& c) EXCLUDES(mu_) {
    if (c.verb == Verb::kEcho) return Reply("< echo >");
    if (gw_ == nullptr) {
      if (c.verb != Verb::kOpen) return Error("no bus open");
      uint32_t channel = 0;
      const Gateway* g = server_.hub().FindBus(c.bus, &channel);
      if (g == nullptr) {
        Error("could not open bus");
        close_reason_ = "could not open bus";
        return false;
      }
      gw_ = g;
      ch_ = channel;
      {
        MutexLock lock(mu_);
        gateway_ = g;
        channel_ = channel;
        mode_ = Mode::kBcm;
      }
      mode_copy_ = Mode::kBcm;
      return Ok();
    }
    switch (c.verb) {
      case Verb::kOpen:
        return Error("a bus is open already");
      case Verb::kRawMode:
      case Verb::kBcmMode:
      case Verb::kControlMode: {
        const Mode m = c.verb == Verb::kRawMode ? Mode::kRaw : c.verb == Verb::kBcmMode ? Mode::kBcm : Mode::kControl;
        {
          MutexLock lock(mu_);
          mode_ = m;
        }
        mode_copy_ = m;
        return Ok();
      }
      case Verb::kIsoTpMode:
        return Error("isotp mode is not supported");
      case Verb::kSend:
        if (mode_copy_ == Mode::kControl) return Error("not in control mode");
        if (server_.options().read_only) return Refuse();
        if (!gw_->Send(ch_, c.frame)) return Error("send failed");
        sent_.fetch_add(1, std::memory_order_relaxed);
        return true;
      case Verb::kStatistics:
        if (mode_copy_ != Mode::kControl) return Error("statistics need control mode");
        stat_ms_ = c.ms == 0 ? 0 : std::max(c.ms, kMinStatisticsMs);
        next_stat_ = Clock::now() + std::chrono::milliseconds(stat_ms_);
        return true;
      default:
        break;
    }
    // The BCM commands.
    if (mode_copy_ != Mode::kBcm) return Error("not in bcm mode");
    switch (c.verb) {
      case Verb::kAdd: {
        if (server_.options().read_only) return Refuse();
        CyclicJob& job = jobs_[IdKey(c.frame)];
        job.frame = c.frame;
        job.period_us = c.interval_us;
        job.next = Clock::now();  // the first at once, as a cyclic send begins
        const bool whole_ms = c.interval_us % 1000 == 0 && c.interval_us <= kMaxEntryPeriodUs;
        if (!whole_ms) StopEntry(&job);
        if (whole_ms && job.entry < 0) job.entry = server_.ReserveEntry(gw_, ch_);
        if (job.entry >= 0 && !gw_->SetTimedEntry(ch_, EntryOf(job, true))) {
          server_.ReleaseEntry(gw_, ch_, job.entry);  // timed here instead
          job.entry = -1;
        }
        CountJobs();
        return true;
      }
      case Verb::kUpdate: {
        if (server_.options().read_only) return Refuse();
        auto it = jobs_.find(IdKey(c.frame));
        if (it == jobs_.end()) return Error("no such job");
        it->second.frame = c.frame;  // the timer goes on
        if (it->second.entry >= 0 && !gw_->SetTimedEntry(ch_, EntryOf(it->second, true))) return Error("send failed");
        return true;
      }
      case Verb::kDelete: {
        auto it = jobs_.find(c.id);
        if (it == jobs_.end()) return Error("no such job");
        StopEntry(&it->second);
        jobs_.erase(it);
        CountJobs();
        return true;
      }
      case Verb::kSubscribe:
      case Verb::kFilter: {
        MutexLock lock(mu_);
        auto it = std::find_if(subs_.begin(), subs_.end(), [&](const Subscription& s) { return s.id == c.id; });
        if (it == subs_.end()) it = subs_.insert(subs_.end(), Subscription{});
        *it = Subscription{};
        it->id = c.id;
        it->interval_us = c.interval_us;
        it->filter = c.verb == Verb::kFilter;
        it->mask = c.frame;
        return true;
      }
      case Verb::kUnsubscribe: {
        MutexLock lock(mu_);
        const size_t before = subs_.size();
        subs_.erase(std::remove_if(subs_.begin(), subs_.end(), [&](const Subscription& s) { return s.id == c.id; }),
                    subs_.end());
        if (subs_.size() != before) return true;
      }
        return Error("no such subscription");
      default:
        return Error("unknown command");
    }
  }

  bool RunTimers(Clock::time_point now) EXCLUDES(mu_) {
    for (auto& [id, job] : jobs_) {
      if (job.entry >= 0 || job.next > now) continue;
      if (gw_->Send(ch_, job.frame)) {
        sent_.fetch_add(1, std::memory_order_relaxed);
      } else {
        errors_.fetch_add(1, std::memory_order_relaxed);
      }
      const auto period = std::chrono::microseconds(job.period_us);
      job.next += period;
      if (job.next <= now) job.next = now + period;  // fell behind: no burst to catch up
    }
    if (stat_ms_ != 0 && now >= next_stat_) {
      VELA_STATS stats{};
      uint64_t rx_frames = 0;
      if (gw_->ReadStats(&stats) && ch_ < VELA_STATS_CHANNELS) {
        rx_frames = stats.channel[ch_].frames_can + stats.channel[ch_].frames_canfd;
      }
      const ChannelTraffic& t = gw_->traffic(ch_);
      line_.clear();
      socketcand::AppendStat(t.rx_bytes.load(), rx_frames, t.tx_bytes.load(), t.tx_frames.load(), &line_);
      next_stat_ += std::chrono::milliseconds(stat_ms_);
      if (next_stat_ <= now) next_stat_ = now + std::chrono::milliseconds(stat_ms_);
      if (!Reply(line_.c_str())) return false;
    }
    bool any = false;
    {
      MutexLock lock(mu_);
      const int64_t now_us = SteadyMicros(now);
      for (Subscription& s : subs_) {
        if (s.pending && now_us - s.last_sent_us >= static_cast<int64_t>(s.interval_us)) {
          s.pending = false;
          any |= Deliver(&s, s.pending_frame, s.pending_stamp, now_us);
        }
      }
    }
    (void)any;
    return true;
  }

  // The backlog goes out in one write, taken whole from under the lock.
  bool Flush() EXCLUDES(mu_) {
    out_.clear();
    size_t frames = 0;
    {
      MutexLock lock(mu_);
      if (Clock::now() < hold_until_) return true;
      out_.swap(backlog_);
      frames = backlog_frames_;
      backlog_frames_ = 0;
      if (dropped_unreported_ != 0) {
        out_ += " < error dropped " + std::to_string(dropped_unreported_) + " frames >";
        dropped_unreported_ = 0;
      }
    }
    if (out_.empty()) return true;
    const int r = SendWhole(sock_, out_.data(), static_cast<int>(out_.size()), server_.options().client_timeout_ms);
    if (r != kSent) {
      close_reason_ = r == kSendTimedOut ? "not reading" : "connection lost";
      return false;
    }
    frames_out_.fetch_add(frames, std::memory_order_relaxed);
    // The emptied buffer's capacity goes back for the next batch.
    MutexLock lock(mu_);
    if (backlog_.empty()) {
      out_.clear();
      out_.swap(backlog_);
    }
    return true;
  }

 public:
  const std::string& close_reason() const { return close_reason_; }
  const std::string& peer() const { return peer_; }

 private:
  SocketcandServer& server_;
  SocketEndpoint sock_;
  const uint64_t id_;
  std::string peer_;
  const int wake_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};

  // The client's thread only.
  std::string in_;
  std::string out_;
  std::string line_;
  std::map<uint32_t, CyclicJob> jobs_;
  uint32_t stat_ms_ = 0;
  Clock::time_point next_stat_;
  std::string close_reason_;
  const Gateway* gw_ = nullptr;
  uint32_t ch_ = 0;
  Mode mode_copy_ = Mode::kNone;

  mutable Mutex mu_;
  const Gateway* gateway_ GUARDED_BY(mu_) = nullptr;
  uint32_t channel_ GUARDED_BY(mu_) = 0;
  Mode mode_ GUARDED_BY(mu_) = Mode::kNone;
  std::vector<Subscription> subs_ GUARDED_BY(mu_);
  std::string backlog_ GUARDED_BY(mu_);
  size_t backlog_frames_ GUARDED_BY(mu_) = 0;
  uint64_t dropped_unreported_ GUARDED_BY(mu_) = 0;
  Clock::time_point hold_until_ GUARDED_BY(mu_);

  std::atomic<size_t> jobs_count_{0};
  std::atomic<size_t> gateway_jobs_{0};
  std::atomic<uint64_t> frames_out_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> sent_{0};
  std::atomic<uint64_t> refused_{0};
  std::atomic<uint64_t> errors_{0};
};

SocketcandServer::SocketcandServer(const Hub& hub, ServerOptions options) : hub_(hub), options_(std::move(options)) {
  if (options_.listen.empty()) options_.listen.push_back(ListenAddress{});
  for (const auto& g : hub_.gateways()) scratch_[g.get()] = std::make_unique<Scratch>();
  wake_ = OpenWake();
}

SocketcandServer::~SocketcandServer() {
  Stop();
  for (SocketEndpoint& l : listeners_) CloseSocket(&l);
  CloseWake(wake_);
}

bool SocketcandServer::Listen(std::string* error) {
  for (const ListenAddress& a : options_.listen) {
    SocketEndpoint l;
    if (CreateSocket(&l, true) != 0) {
      *error = "cannot make a socket";
      return false;
    }
    AllowRebind(l);
    if (BindTo(&l, a.ip.c_str(), a.port) != 0 || ListenOn(l, 64) != 0) {
      CloseSocket(&l);
      *error = "cannot listen on " + a.ip + ":" + std::to_string(a.port) + " (in use, or not an address of this host)";
      return false;
    }
    listeners_.push_back(l);
  }
  return true;
}

std::vector<std::string> SocketcandServer::Addresses() const {
  std::vector<std::string> out;
  for (const SocketEndpoint& l : listeners_) out.push_back(std::string(l.ip) + ":" + std::to_string(l.port));
  return out;
}

int SocketcandServer::ReserveEntry(const Gateway* gateway, uint32_t channel) {
  MutexLock lock(entries_mu_);
  uint32_t& used = entries_used_[{gateway, channel}];
  for (int i = 0; i < 32; ++i) {
    if ((used & (1u << i)) == 0) {
      used |= 1u << i;
      return i;
    }
  }
  return -1;
}

void SocketcandServer::ReleaseEntry(const Gateway* gateway, uint32_t channel, int index) {
  if (index < 0 || index >= 32) return;
  MutexLock lock(entries_mu_);
  entries_used_[{gateway, channel}] &= ~(1u << index);
}

void SocketcandServer::Start() {
  // Entries the gateway already sends (another application's, or
  // `tarnlink autosend`) are not ours to take.
  for (const auto& g : hub_.gateways()) {
    for (uint32_t ch : g->channels()) {
      const uint32_t busy = g->EnabledEntries(ch);
      MutexLock lock(entries_mu_);
      entries_used_[{g.get(), ch}] = busy;
    }
  }
  accept_thread_ = std::thread([this] { AcceptLoop(); });
}

void SocketcandServer::Stop() {
  if (stop_.exchange(true)) return;
  SignalWake(wake_);
  if (accept_thread_.joinable()) accept_thread_.join();
  {
    MutexLock lock(clients_mu_);
    for (auto& c : clients_) c->Stop();
  }
  Reap(true);
}

// Finished clients leave the list under the lock and are joined outside it.
void SocketcandServer::Reap(bool all) {
  std::vector<std::shared_ptr<Client>> gone;
  {
    MutexLock lock(clients_mu_);
    auto it = std::stable_partition(clients_.begin(), clients_.end(),
                                    [all](const std::shared_ptr<Client>& c) { return !all && !c->done(); });
    gone.assign(std::make_move_iterator(it), std::make_move_iterator(clients_.end()));
    clients_.erase(it, clients_.end());
  }
  gone.clear();  // joins and closes
}

void SocketcandServer::Admit(SocketEndpoint peer) {
  uint32_t address = 0;
  if (!options_.allow.empty()) {
    bool allowed = false;
    if (ParseIpv4(peer.ip, &address)) {
      for (const Cidr& c : options_.allow) allowed |= c.Contains(address);
    }
    if (!allowed) {
      refused_allow_.fetch_add(1, std::memory_order_relaxed);
      CloseSocket(&peer);
      return;
    }
  }
  EnableKeepAlive(peer);
  DisableNagle(peer);
  // The backlog is the bound on what a slow client holds, not the kernel's
  // automatic tuning of the send buffer (megabytes per client).
  LimitSendBuffer(peer, kSendBufferBytes);
  {
    MutexLock lock(clients_mu_);
    // A client that has ended counts no more, reaped or not.
    const auto live = std::count_if(clients_.begin(), clients_.end(), [](const auto& c) { return !c->done(); });
    if (static_cast<size_t>(live) < options_.max_clients) {
      auto client = std::make_shared<Client>(*this, peer, next_client_id_++);
      accepted_.fetch_add(1, std::memory_order_relaxed);
      client->Start();
      clients_.push_back(std::move(client));
      return;
    }
  }
  // Full: told so outside the lock (the write may wait), then closed.
  refused_full_.fetch_add(1, std::memory_order_relaxed);
  static constexpr char kFull[] = "< error too many clients >";
  SendWhole(peer, kFull, sizeof(kFull) - 1, kRefusalWriteMs);
  CloseSocket(&peer);
}

void SocketcandServer::AcceptLoop() {
  SocketEndpoint beacon;
  if (options_.beacon && CreateSocket(&beacon, false) == 0) AllowBroadcast(beacon);
  auto next_beacon = Clock::now();
  std::vector<PollEntry> entries;
  while (!stop_.load()) {
    const auto now = Clock::now();
    if (IsOpen(beacon) && now >= next_beacon) {
      SendBeacon(&beacon);
      next_beacon = now + std::chrono::milliseconds(options_.beacon_period_ms);
    }
    Reap(false);
    entries.clear();
    for (const SocketEndpoint& l : listeners_) entries.push_back(PollEntry{l.sock, 0, 0});
    entries.push_back(PollEntry{wake_, 0, 0});
    const auto wait =
        IsOpen(beacon) ? std::chrono::duration_cast<std::chrono::milliseconds>(next_beacon - now).count() : 1000;
    // Finished clients are reaped at least every 200 ms.
    const int n = PollReadable(entries.data(), entries.size(), static_cast<int>(std::clamp<int64_t>(wait, 0, 200)));
    if (n < 0 || stop_.load()) break;
    if (Readable(entries.back())) DrainWake(wake_);
    for (size_t i = 0; i + 1 < entries.size(); ++i) {
      if (!Readable(entries[i])) continue;
      SocketEndpoint peer;
      if (AcceptOne(listeners_[i], &peer) == 0) Admit(peer);
    }
  }
  CloseSocket(&beacon);
}

std::string SocketcandServer::BeaconText() const {
  std::string name = options_.beacon_name;
  if (name.empty()) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0) name = host;
    if (name.empty()) name = "tarnlink";
  }
  std::string text = "<CANBeacon name=\"" + XmlEscape(name) + "\" type=\"adapter\" description=\"tarnlink serve\">";
  for (const SocketEndpoint& l : listeners_) {
    std::vector<std::string> ips;
#if !defined(_WIN32)
    if (std::string(l.ip) == "0.0.0.0") {
      // Every address of this host that a listener on all of them answers at.
      ifaddrs* list = nullptr;
      if (getifaddrs(&list) == 0) {
        for (const ifaddrs* e = list; e != nullptr; e = e->ifa_next) {
          if (e->ifa_addr == nullptr || e->ifa_addr->sa_family != AF_INET) continue;
          const uint32_t a = ntohl(reinterpret_cast<const sockaddr_in*>(e->ifa_addr)->sin_addr.s_addr);
          if ((a >> 24) == 127) continue;
          ips.push_back(std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
                        std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF));
        }
        freeifaddrs(list);
      }
    }
#endif
    if (ips.empty()) ips.push_back(l.ip);
    for (const std::string& ip : ips) text += "<URL>can://" + ip + ":" + std::to_string(l.port) + "</URL>";
  }
  for (const std::string& bus : hub_.BusNames()) text += "<Bus name=\"" + XmlEscape(bus) + "\"/>";
  text += "</CANBeacon>";
  return text;
}

void SocketcandServer::SendBeacon(SocketEndpoint* sock) {
  const std::string text = BeaconText();
  SocketEndpoint to;
  std::snprintf(to.ip, sizeof to.ip, "%s", options_.beacon_to.ip.c_str());
  to.port = options_.beacon_to.port;
  SendTo(*sock, text.data(), static_cast<int>(text.size()), to);
}

void SocketcandServer::OnFrames(const Gateway& gateway, uint32_t channel, const Received* frames, size_t count) {
  auto it = scratch_.find(&gateway);
  if (it == scratch_.end()) return;
  Scratch& s = *it->second;
  MutexLock lock(clients_mu_);
  if (clients_.empty()) return;
  s.text.clear();
  s.ends.clear();
  for (size_t i = 0; i < count; ++i) {
    socketcand::AppendFrame(frames[i].frame, gateway.StampMicros(frames[i], options_.time_source), &s.text);
    s.ends.push_back(s.text.size());
  }
  for (const auto& c : clients_) c->OnFrames(gateway, channel, frames, count, s.text, s.ends);
}

std::string SocketcandServer::Report() const {
  std::string out;
  size_t connected = 0;
  std::vector<std::string> lines;
  {
    MutexLock lock(clients_mu_);
    for (const auto& c : clients_) {
      if (c->done()) continue;
      ++connected;
      lines.push_back(c->ReportLine());
    }
  }
  char head[256];
  std::snprintf(head, sizeof head,
                "serve: %zu clients connected, %s accepted, %s refused by the allow list, %s refused as too many, "
                "%s sends refused (read-only)\n",
                connected, cli::Grouped(accepted_.load()).c_str(), cli::Grouped(refused_allow_.load()).c_str(),
                cli::Grouped(refused_full_.load()).c_str(), cli::Grouped(refused_read_only_.load()).c_str());
  out += head;
  for (const std::string& l : lines) out += "serve: " + l + "\n";
  return out;
}

}  // namespace tarnlink::serve
