#include "tools/sim/gateway.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cjson/cJSON.h>
#include <cmath>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "tools/common/net.h"

namespace tarnlink::sim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kMaxChannels = 32;
constexpr int64_t kAutoSendSlots = 32;  // timed-entry indexes of a channel
constexpr size_t kRecvBufferSize = 65536 + 1024;
constexpr int kIdlePollMs = 50;
constexpr int kTimerIdleMs = 200;

std::string Format(const char* fmt, ...) __attribute__((format(TARNLINK_PRINTF_FORMAT, 1, 2)));
std::string Format(const char* fmt, ...) {
  char buf[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, args);
  va_end(args);
  return buf;
}

std::string JsonEscape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      out += Format("\\u%04x", c);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

// An integer member of a request body; fallback when missing or not JSON.
int64_t JsonInt(const std::vector<uint8_t>& body, const char* name, int64_t fallback) {
  const std::string text(reinterpret_cast<const char*>(body.data()),
                         strnlen(reinterpret_cast<const char*>(body.data()), body.size()));
  cJSON* root = cJSON_Parse(text.c_str());
  if (root == nullptr) return fallback;
  const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, name);
  int64_t v = fallback;
  // Clamped first: a cast of a double beyond the integer's range is undefined.
  if (cJSON_IsNumber(item)) v = static_cast<int64_t>(std::clamp(item->valuedouble, -1e15, 1e15));
  cJSON_Delete(root);
  return v;
}

const char* TypeName(uint8_t type) {
  switch (type) {
    case kTypeCan:
      return "CanData";
    case kTypeCanFd:
      return "CanFdData";
    case kTypeAutoSend:
      return "AutoSendEntries";
    case kTypeChannelReport:
      return "ChannelReport";
    case kTypeDeviceText:
      return "DeviceText";
    case kTypeGps:
      return "GpsData";
    case kTypeCommand:
      return "Command";
    case kTypeNotice:
      return "Notice";
    case kTypeNoticeAck:
      return "NoticeAck";
    default:
      return "unknown";
  }
}

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

// The data lengths a CAN FD frame can have.
constexpr uint8_t kFdLengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

// The lengths a generator cycles through, in rising order, never empty. With
// fd_valid_lengths a CAN FD length between the valid ones is padded up, as a
// controller pads it.
std::vector<uint8_t> TrafficLengths(const TrafficSpec& plan) {
  const uint8_t max_len = plan.fd ? 64 : 8;
  const uint8_t len_min = std::min(plan.len_min, max_len);
  const uint8_t len_max = std::max(len_min, std::min(plan.len_max, max_len));
  std::vector<uint8_t> out;
  for (unsigned len = len_min; len <= len_max; ++len) {
    const uint8_t padded =
        plan.fd && plan.fd_valid_lengths
            ? *std::find_if(std::begin(kFdLengths), std::end(kFdLengths), [&](uint8_t v) { return v >= len; })
            : static_cast<uint8_t>(len);
    if (out.empty() || out.back() != padded) out.push_back(padded);
  }
  return out;
}

// Only the bits a bus carries back: FD, remote, extended, bit-rate switch.
constexpr uint16_t kBusFlags = kWireFd | kWireRemote | kWireExtended | kWireBrs;

}  // namespace

// ---------------------------------------------------------------------------
class Gateway::Impl {
 public:
  struct Conn {
    int id = 0;
    int fd = -1;
    std::string peer;
    WireParser parser;          // I/O thread only
    std::vector<uint8_t> out;   // guarded by io_mu
    size_t out_offset = 0;      // guarded by io_mu
    bool drop = false;          // guarded by io_mu
    uint64_t skipped_seen = 0;  // I/O thread only
    size_t pending() const { return out.size() - out_offset; }
  };
  struct HeldEntry {
    WireAutoSendEntry entry;
    Clock::time_point next_due;
    uint64_t transmissions = 0;
  };
  struct Awaited {
    uint8_t sequence = 0;
    uint8_t message_id = 0;
    std::optional<HostPacket> answer;
  };
  struct Delayed {
    Clock::time_point due;
    int conn_id;
    std::vector<uint8_t> bytes;
  };
  struct TrafficRun {
    TrafficSpec plan;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::atomic<uint64_t> sent{0};
    std::mutex mu;
    std::condition_variable cv;
  };
  struct AtomicCounters {
    std::atomic<uint64_t> frames_in{0}, frames_out{0}, frames_dropped{0}, packets_in{0}, packets_out{0}, bad_bytes{0},
        commands_answered{0}, notices_acked{0}, autosend_frames{0}, connections{0};
  };

  explicit Impl(GatewayConfig config) : cfg(std::move(config)) {
    cfg.channels = std::clamp<uint32_t>(cfg.channels, 1, kMaxChannels);
    echo.fill(cfg.echo);
    query_texts[1] = "{\r\n\"Type\":1,\r\n\"Text\":\"Emulator Device\"\r\n}";
    query_texts[2] = "{\r\n\"Type\":2,\r\n\"Text\":\"CAN FD\"\r\n}";
    query_texts[3] = "{\r\n\"Type\":3,\r\n\"Text\":\"127.0.0.1\"\r\n}";
    query_texts[4] = "{\r\n\"Type\":4,\r\n\"Text\":\"ok\"\r\n}";
  }

  // ---- helpers -------------------------------------------------------------
  void Log(const std::string& line) {
    LogSink sink;
    {
      std::lock_guard<std::mutex> lock(log_mu);
      sink = log_sink;
    }
    if (sink) sink(line);
  }
  bool logging() {
    std::lock_guard<std::mutex> lock(log_mu);
    return static_cast<bool>(log_sink);
  }
  void BumpLocked() {
    ++change_seq;
    changed.notify_all();
  }
  void Bump() {
    std::lock_guard<std::mutex> lock(mu);
    BumpLocked();
  }
  uint64_t NowMicros() const {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - epoch.load()).count());
  }
  // Under io_mu: Stop closes the pipe while a sender on another thread may
  // still be on its way out of Deliver.
  void Wake() {
    std::lock_guard<std::mutex> lock(io_mu);
    if (wake_pipe[1] >= 0) net::WakeWrite(wake_pipe[1]);
  }

  // Sends whatever the socket takes now; io_mu held.
  void FlushLocked(Conn& c) {
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
    io_cv.notify_all();
  }

  // Hands bytes to the link: to one connection (conn_id >= 0) or all of them.
  // With wait_room a TCP send waits while the connection's queue is above the
  // high-water mark (until stop, a drop or *abort).
  bool Deliver(const std::vector<uint8_t>& bytes, int conn_id, bool wait_room, size_t frames,
               const std::atomic<bool>* abort = nullptr, std::atomic<uint64_t>* also_count = nullptr) {
    // Counted before the bytes leave, so that a peer that has them never
    // reads a counter that does not include them yet; taken back on failure.
    auto count = [&](int sign) {
      const uint64_t d = sign > 0 ? 1 : ~uint64_t{0};
      counters.packets_out.fetch_add(d);
      counters.frames_out.fetch_add(sign > 0 ? frames : uint64_t{0} - frames);
      if (also_count != nullptr) also_count->fetch_add(d);
    };
    count(+1);
    const bool delivered = DeliverLocked(bytes, conn_id, wait_room, frames, abort);
    if (delivered) {
      Wake();  // the I/O thread writes what the socket did not take
    } else {
      count(-1);
    }
    return delivered;
  }

  bool DeliverLocked(const std::vector<uint8_t>& bytes, int conn_id, bool wait_room, size_t frames,
                     const std::atomic<bool>* abort) {
    std::unique_lock<std::mutex> lock(io_mu);
    if (stopping) return false;
    if (cfg.mode == LinkMode::kUdp) {
      if (udp_fd < 0 || !udp_has_destination) return false;
      const ssize_t n = net::SendTo(udp_fd, bytes.data(), bytes.size(), udp_destination);
      return n == static_cast<ssize_t>(bytes.size());
    }
    bool delivered = false;
    const std::vector<std::shared_ptr<Conn>> targets = conns;
    for (const std::shared_ptr<Conn>& c : targets) {
      if (conn_id >= 0 && c->id != conn_id) continue;
      if (wait_room) {
        io_cv.wait(lock, [&] {
          return stopping || c->drop || c->pending() < cfg.send_high_water || (abort && abort->load());
        });
        if (stopping || (abort && abort->load())) return false;
      }
      if (c->drop) continue;
      // A send that cannot wait does not grow the queue of a peer that stopped
      // reading without bound; whole packets are left out, so its stream stays framed.
      if (!wait_room && c->pending() >= 2 * cfg.send_high_water) {
        counters.frames_dropped.fetch_add(frames);
        continue;
      }
      const bool was_empty = c->pending() == 0;
      c->out.insert(c->out.end(), bytes.begin(), bytes.end());
      if (was_empty) FlushLocked(*c);
      delivered = true;
    }
    return delivered;
  }

  bool SendFrames(const std::vector<WireFrame>& frames, bool fd, int conn_id = -1, bool wait_room = true,
                  const std::atomic<bool>* abort = nullptr) {
    if (frames.empty()) return true;
    const size_t per_packet = fd ? kCanFdPerPacket : kCanPerPacket;
    const auto packets = DataPackets(frames, fd);
    for (size_t i = 0; i < packets.size(); ++i) {
      const size_t n = std::min(per_packet, frames.size() - i * per_packet);
      if (!Deliver(packets[i], conn_id, wait_room, n, abort)) return false;
    }
    return true;
  }

  // ---- received packets ------------------------------------------------------
  // Enters a received packet in the record; mu held. The caller bumps once
  // its own state changes for the packet are made too, so that a waiter that
  // sees the packet also sees what it caused. With record_limit 0 the packet
  // is still numbered and counted, only no copy is kept.
  uint64_t RecordLocked(const std::string& peer, const std::vector<uint8_t>& packet) {
    const uint64_t serial = next_serial++;
    ++type_counts[packet[1]];
    ++total_count;
    if (cfg.record_limit == 0) return serial;
    HostPacket p;
    p.serial = serial;
    p.peer = peer;
    p.when = Clock::now();
    p.bytes = packet;
    packets.push_back(std::move(p));
    while (packets.size() > cfg.record_limit) packets.pop_front();
    return serial;
  }

  // Hands a command answer to the RequestFromHost call waiting for it; mu held.
  void CatchAnswerLocked(const std::string& peer, const std::vector<uint8_t>& packet) {
    const uint8_t sequence = static_cast<uint8_t>((packet[2] >> 1) & 7u);
    const uint8_t message_id = packet[kWireHeaderSize];
    for (Awaited* a : awaited) {
      if (a->answer || a->sequence != sequence || a->message_id != message_id) continue;
      HostPacket p;
      p.serial = next_serial - 1;
      p.peer = peer;
      p.when = Clock::now();
      p.bytes = packet;
      a->answer = std::move(p);
      return;
    }
  }

  void Record(const std::string& peer, const std::vector<uint8_t>& packet) {
    std::lock_guard<std::mutex> lock(mu);
    RecordLocked(peer, packet);
    BumpLocked();
  }

  void HandlePacket(int conn_id, const std::string& peer, const std::vector<uint8_t>& packet) {
    counters.packets_in.fetch_add(1);
    const uint8_t type = packet[1];
    const uint8_t flags = packet[2];
    const uint8_t* payload = packet.data() + kWireHeaderSize;
    const size_t n = packet.size() - kWireHeaderSize - 1;
    if (logging()) Log(Format("rx %s from %s, %zu payload bytes", TypeName(type), peer.c_str(), n));
    switch (type) {
      case kTypeCan:
      case kTypeCanFd:
        OnFrames(peer, packet, type == kTypeCanFd, payload, n);
        break;
      case kTypeAutoSend:
        OnAutoSend(peer, packet, payload, n);
        break;
      case kTypeCommand:
        if (n >= 2 && (flags & 1u) != 0) {
          std::lock_guard<std::mutex> lock(mu);
          RecordLocked(peer, packet);
          CatchAnswerLocked(peer, packet);
          BumpLocked();
          break;
        }
        Record(peer, packet);
        if (n >= 2) OnRequest(conn_id, flags, payload, n);
        break;
      case kTypeNotice:
        if ((flags & 0x7Fu) == 0 && n == 8) {
          uint64_t v = 0;
          for (int i = 0; i < 8; ++i) v = (v << 8) | payload[i];
          {
            std::lock_guard<std::mutex> lock(mu);
            RecordLocked(peer, packet);
            if (cfg.record_limit > 0) {
              notices.push_back(v);
              if (notices.size() > cfg.record_limit) notices.pop_front();
            }
            BumpLocked();
          }
          Deliver(FramePacket(kTypeNoticeAck, flags, nullptr, 0), conn_id, false, 0, nullptr, &counters.notices_acked);
          Log(Format("notice 0x%016llx acknowledged (flags 0x%02x)", static_cast<unsigned long long>(v), flags));
        } else {
          Record(peer, packet);
        }
        break;
      default:
        Record(peer, packet);  // answers and acknowledgements are only recorded
        break;
    }
  }

  void OnFrames(const std::string& peer, const std::vector<uint8_t>& packet, bool fd_packet, const uint8_t* payload,
                size_t n) {
    const size_t size = fd_packet ? kWireCanFdSize : kWireCanSize;
    std::vector<WireFrame> echo_can;
    std::vector<WireFrame> echo_fd;
    {
      std::lock_guard<std::mutex> lock(mu);
      const uint64_t serial = RecordLocked(peer, packet);
      for (size_t off = 0; off + size <= n; off += size) {
        HostFrame f;
        f.packet_serial = serial;
        f.in_fd_packet = fd_packet;
        f.record = GetFrame(payload + off, fd_packet);
        if (cfg.frame_record_limit > 0) frames.push_back(f);
        counters.frames_in.fetch_add(1);
        const uint8_t ch = f.record.channel;
        if (ch >= cfg.channels || !echo[ch]) continue;
        WireFrame back = f.record;
        back.flags &= kBusFlags;
        back.timestamp = NowMicros();
        if (back.flags & kWireFd) {
          echo_fd.push_back(back);
        } else {
          std::fill(back.data + 8, back.data + 64, 0);
          echo_can.push_back(back);
        }
      }
      while (frames.size() > cfg.frame_record_limit) frames.pop_front();
      BumpLocked();
    }
    // On the bus every node sees the frame: the echo goes to every connection.
    // It never waits: this is the thread that drains the link.
    SendFrames(echo_can, false, -1, false);
    SendFrames(echo_fd, true, -1, false);
  }

  void OnAutoSend(const std::string& peer, const std::vector<uint8_t>& packet, const uint8_t* payload, size_t n) {
    std::vector<std::string> lines;
    std::unique_lock<std::mutex> lock(mu);
    RecordLocked(peer, packet);
    const auto now = Clock::now();
    for (size_t off = 0; off + kWireAutoSendSize <= n; off += kWireAutoSendSize) {
      const WireAutoSendEntry e = GetAutoSendEntry(payload + off);
      const uint8_t ch = e.frame.channel;
      if (ch >= cfg.channels) continue;
      HeldEntry& held = autosend[ch][e.index];
      held.entry = e;
      held.transmissions = 0;
      held.next_due = now + milliseconds(e.period);
      lines.push_back(Format("auto-send ch%u index %u %s, period %u ms, id 0x%x", ch, e.index,
                             e.enable ? "enabled" : "disabled", e.period, e.frame.id));
    }
    BumpLocked();
    timer_cv.notify_all();
    lock.unlock();
    for (const std::string& line : lines) Log(line);
  }

  std::string AutoSendReadAnswer(int64_t channel, int64_t offset, int64_t num) {
    std::string s = "{";
    bool first = true;
    if (channel >= 0 && channel < static_cast<int64_t>(kMaxChannels)) {
      const bool all_slots = cfg.autosend_read_all_slots && channel < static_cast<int64_t>(cfg.channels);
      const WireAutoSendEntry unused;
      const int64_t end = std::min<int64_t>(offset + num, kAutoSendSlots);
      for (int64_t i = std::max<int64_t>(offset, 0); i < end; ++i) {
        auto it = autosend[channel].find(static_cast<uint8_t>(i));
        if (it == autosend[channel].end() && !all_slots) continue;
        const WireAutoSendEntry& e = it != autosend[channel].end() ? it->second.entry : unused;
        const size_t len = std::min<size_t>(e.frame.len, (e.frame.flags & kWireFd) ? 64 : 8);
        std::string data;
        for (size_t k = 0; k < len; ++k) data += Format(k ? ",%u" : "%u", e.frame.data[k]);
        s += Format(
            "%s\r\n\"Msg%lld\":{\"Enable\":%u,\"Period\":%u,\"Cnt\":%u,\"MsgID\":%u,\"MsgFlag\":%u,\"MsgData\":[",
            first ? "" : ",", static_cast<long long>(i), e.enable, e.period, e.count, e.frame.id, e.frame.flags);
        s += data + "]}";
        first = false;
      }
    }
    s += "\r\n}";
    return s;
  }

  void OnRequest(int conn_id, uint8_t flags, const uint8_t* payload, size_t n) {
    const uint8_t sequence = static_cast<uint8_t>((flags >> 1) & 7u);
    const uint8_t message_id = payload[0];
    const uint8_t code = payload[1];
    const std::vector<uint8_t> body(payload + 2, payload + n);
    uint8_t result = 1;
    std::vector<uint8_t> answer;
    AnswerScript script;
    {
      std::lock_guard<std::mutex> lock(mu);
      switch (code) {
        case 1:
          answer = TextBody("{\r\n\"Model\":\"" + JsonEscape(identity.model) + "\",\r\n\"Firmware\":\"" +
                            JsonEscape(identity.firmware) + "\",\r\n\"Hardware\":\"" + JsonEscape(identity.hardware) +
                            "\",\r\n\"SN\":\"" + JsonEscape(identity.serial) + "\"\r\n}");
          break;
        case 2: {
          const int64_t t = JsonInt(body, "Type", 0);
          answer = TextBody(t >= 1 && t <= 4 ? query_texts[t] : std::string("{}"));
          break;
        }
        case 3:
          answer = TextBody(
              AutoSendReadAnswer(JsonInt(body, "Chn", -1), JsonInt(body, "Offset", 0), JsonInt(body, "Num", 0)));
          break;
        case 4:
          answer = TextBody(Format("{\r\n\"Size\":%lld,\r\n\"Remain\":%lld\r\n}", static_cast<long long>(size_value),
                                   static_cast<long long>(remain_value)));
          break;
        case 5:
          result = channel_action_result;
          break;
        default:
          result = 0;  // not a command this device knows
          break;
      }
      auto it = scripts.find(code);
      if (it != scripts.end()) {
        script = it->second;
        if (it->second.uses > 0 && --it->second.uses == 0) scripts.erase(it);
      }
    }
    uint8_t out_sequence = sequence;
    uint8_t out_id = message_id;
    switch (script.mode) {
      case AnswerMode::kNormal:
        break;
      case AnswerMode::kSilent:
        Log(Format("command %u id %u seq %u: not answered (scripted)", code, message_id, sequence));
        return;
      case AnswerMode::kWrongSequence:
        out_sequence = static_cast<uint8_t>((sequence + 1) & 7u);
        break;
      case AnswerMode::kWrongMessageId:
        out_id = static_cast<uint8_t>(message_id + 1);
        break;
      case AnswerMode::kFailure:
        result = 0;
        break;
      case AnswerMode::kCustomBody:
        result = script.result;
        answer = script.body;
        break;
    }
    std::vector<uint8_t> packet = CommandPacket(true, out_sequence, out_id, result, answer);
    Log(Format("command %u id %u seq %u: answer result %u, %zu body bytes%s", code, message_id, sequence, result,
               answer.size(), script.delay_ms > 0 ? Format(", after %d ms", script.delay_ms).c_str() : ""));
    if (script.delay_ms > 0) {
      std::lock_guard<std::mutex> lock(mu);
      delayed.push_back({Clock::now() + milliseconds(script.delay_ms), conn_id, std::move(packet)});
      timer_cv.notify_all();
      return;
    }
    Deliver(packet, conn_id, false, 0, nullptr, &counters.commands_answered);
  }

  // ---- threads -----------------------------------------------------------------
  void TimerLoop() {
    std::unique_lock<std::mutex> lock(mu);
    while (!stopping_timer) {
      const auto now = Clock::now();
      auto next = now + milliseconds(kTimerIdleMs);
      std::vector<WireFrame> out_can;
      std::vector<WireFrame> out_fd;
      std::vector<Delayed> due_sends;
      for (uint32_t ch = 0; ch < cfg.channels; ++ch) {
        for (auto& [index, held] : autosend[ch]) {
          const WireAutoSendEntry& e = held.entry;
          if (e.enable == 0 || e.period == 0) continue;
          if (held.next_due <= now) {
            ++held.transmissions;
            counters.autosend_frames.fetch_add(1);
            held.next_due += milliseconds(e.period);
            // A gateway that fell far behind does not burst to catch up.
            if (held.next_due < now) held.next_due = now + milliseconds(e.period);
            if (echo[ch]) {
              WireFrame f = e.frame;
              f.flags &= kBusFlags;
              f.channel = static_cast<uint8_t>(ch);
              f.timestamp = NowMicros();
              (f.flags & kWireFd ? out_fd : out_can).push_back(f);
            }
          }
          next = std::min(next, held.next_due);
        }
      }
      for (auto it = delayed.begin(); it != delayed.end();) {
        if (it->due <= now) {
          due_sends.push_back(std::move(*it));
          it = delayed.erase(it);
        } else {
          next = std::min(next, it->due);
          ++it;
        }
      }
      if (!out_can.empty() || !out_fd.empty() || !due_sends.empty()) {
        BumpLocked();
        lock.unlock();
        SendFrames(out_can, false, -1, false);
        SendFrames(out_fd, true, -1, false);
        for (const Delayed& d : due_sends) {
          Deliver(d.bytes, d.conn_id, false, 0, nullptr, &counters.commands_answered);
        }
        lock.lock();
        continue;
      }
      timer_cv.wait_until(lock, next);
    }
  }

  void CloseConnLocked(const std::shared_ptr<Conn>& c) {
    ::shutdown(c->fd, net::kShutBoth);
    net::Close(c->fd);
    c->fd = -1;
    c->drop = true;
  }

  void AddConn(int fd, const std::string& peer) {
    SetNonBlocking(fd);
    int one = 1;
    net::SetOption(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto c = std::make_shared<Conn>();
    c->fd = fd;
    c->peer = peer;
    {
      std::lock_guard<std::mutex> lock(io_mu);
      c->id = next_conn_id++;
      conns.push_back(c);
      conn_count.store(conns.size());
    }
    counters.connections.fetch_add(1);
    Log("connected " + peer);
    Bump();
  }

  // Closes connections marked for dropping (by a failure or DropConnections).
  void ReapConns() {
    std::vector<std::string> gone;
    {
      std::lock_guard<std::mutex> lock(io_mu);
      if (drop_all_requested) {
        for (auto& c : conns) c->drop = true;
        drop_all_requested = false;
      }
      for (auto it = conns.begin(); it != conns.end();) {
        if ((*it)->drop) {
          gone.push_back((*it)->peer);
          CloseConnLocked(*it);
          it = conns.erase(it);
        } else {
          ++it;
        }
      }
      conn_count.store(conns.size());
      ++drop_generation;
      io_cv.notify_all();
    }
    if (!gone.empty()) {
      if (cfg.mode == LinkMode::kTcpConnect) next_connect = Clock::now() + milliseconds(cfg.reconnect_ms);
      for (const std::string& p : gone) Log("disconnected " + p);
      Bump();
    }
  }

  void StartConnect() {
    sockaddr_in a{};
    {
      std::lock_guard<std::mutex> lock(io_mu);
      if (!MakeAddress(cfg.remote_address, cfg.remote_port, &a)) return;
      connect_target = a;
    }
    const int fd = net::Socket(SOCK_STREAM);
    if (fd < 0) return;
    SetNonBlocking(fd);
    const int r = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (r == 0) {
      AddConn(fd, PeerText(a));
    } else if (net::InProgress()) {
      connecting_fd = fd;
      connect_deadline = Clock::now() + milliseconds(3000);
    } else {
      net::Close(fd);
      next_connect = Clock::now() + milliseconds(cfg.reconnect_ms);
    }
  }

  void FinishConnect(bool writable) {
    if (writable && net::SocketError(connecting_fd) == 0) {
      AddConn(connecting_fd, PeerText(connect_target));
    } else {
      net::Close(connecting_fd);
      next_connect = Clock::now() + milliseconds(cfg.reconnect_ms);
    }
    connecting_fd = -1;
  }

  void TcpLoop() {
    std::vector<uint8_t> buf(kRecvBufferSize);
    std::vector<uint8_t> packet;
    while (!stopping.load()) {
      ReapConns();
      if (cfg.mode == LinkMode::kTcpConnect && connecting_fd < 0 && conn_count.load() == 0 && reconnect.load() &&
          Clock::now() >= next_connect) {
        StartConnect();
      }
      std::vector<net::PollFd> fds;
      std::vector<std::shared_ptr<Conn>> polled;
      fds.push_back({wake_pipe[0], POLLIN, 0});
      const size_t listen_at = fds.size();
      if (listen_fd >= 0) fds.push_back({listen_fd, POLLIN, 0});
      const size_t connect_at = fds.size();
      if (connecting_fd >= 0) fds.push_back({connecting_fd, POLLOUT, 0});
      const size_t conns_at = fds.size();
      {
        std::lock_guard<std::mutex> lock(io_mu);
        for (const auto& c : conns) {
          fds.push_back({c->fd, static_cast<short>(POLLIN | (c->pending() > 0 ? POLLOUT : 0)), 0});
          polled.push_back(c);
        }
      }
      const int r = net::Poll(fds.data(), fds.size(), kIdlePollMs);
      if (r < 0 && !net::Interrupted()) break;
      if (fds[0].revents & POLLIN) net::WakeDrain(wake_pipe[0]);
      if (listen_fd >= 0 && (fds[listen_at].revents & POLLIN)) {
        sockaddr_in a{};
        const int fd = net::Accept(listen_fd, &a);
        if (fd >= 0) AddConn(fd, PeerText(a));
      }
      if (connecting_fd >= 0) {
        const short ev = fds[connect_at].revents;
        if (ev & (POLLOUT | POLLERR | POLLHUP)) {
          FinishConnect((ev & POLLOUT) != 0 && (ev & POLLERR) == 0);
        } else if (Clock::now() > connect_deadline) {
          FinishConnect(false);
        }
      }
      for (size_t i = 0; i < polled.size(); ++i) {
        const short ev = fds[conns_at + i].revents;
        Conn& c = *polled[i];
        if (ev & POLLOUT) {
          std::lock_guard<std::mutex> lock(io_mu);
          if (!c.drop) FlushLocked(c);
        }
        if (ev & (POLLIN | POLLHUP | POLLERR)) {
          const ssize_t n = net::RecvNow(c.fd, buf.data(), buf.size());
          if (n > 0) {
            c.parser.Append(buf.data(), static_cast<size_t>(n));
            // Skipped bytes are counted before the packet after them is acted on.
            auto count_skipped = [&] {
              counters.bad_bytes.fetch_add(c.parser.skipped() - c.skipped_seen);
              c.skipped_seen = c.parser.skipped();
            };
            while (c.parser.Next(&packet)) {
              count_skipped();
              HandlePacket(c.id, c.peer, packet);
            }
            count_skipped();
          } else if (n == 0 || (!net::WouldBlock() && !net::Interrupted())) {
            std::lock_guard<std::mutex> lock(io_mu);
            c.drop = true;
          }
        }
      }
    }
  }

  void UdpLoop() {
    std::vector<uint8_t> buf(kRecvBufferSize);
    std::vector<uint8_t> packet;
    std::map<std::string, WireParser> parsers;
    while (!stopping.load()) {
      net::PollFd fds[2] = {{wake_pipe[0], POLLIN, 0}, {udp_fd, POLLIN, 0}};
      const int r = net::Poll(fds, 2, kIdlePollMs);
      if (r < 0 && !net::Interrupted()) break;
      if (fds[0].revents & POLLIN) net::WakeDrain(wake_pipe[0]);
      if (!(fds[1].revents & POLLIN)) continue;
      sockaddr_in from{};
      const ssize_t n = net::RecvFrom(udp_fd, buf.data(), buf.size(), &from);
      if (n <= 0) continue;
      const std::string peer = PeerText(from);
      {
        std::lock_guard<std::mutex> lock(io_mu);
        if (learn_destination) {
          udp_destination = from;
          udp_has_destination = true;
        }
      }
      WireParser& parser = parsers[peer];
      uint64_t seen = parser.skipped();
      auto count_skipped = [&] {
        counters.bad_bytes.fetch_add(parser.skipped() - seen);
        seen = parser.skipped();
      };
      parser.Append(buf.data(), static_cast<size_t>(n));
      while (parser.Next(&packet)) {
        count_skipped();
        HandlePacket(-1, peer, packet);
      }
      count_skipped();
    }
  }

  void TrafficLoop(TrafficRun* run) {
    const TrafficSpec plan = run->plan;
    const size_t per_packet = plan.fd ? kCanFdPerPacket : kCanPerPacket;
    const std::vector<uint8_t> lengths = TrafficLengths(plan);
    const uint32_t id_span = plan.id_last >= plan.id_first ? plan.id_last - plan.id_first + 1 : 1;
    const auto start = Clock::now();
    uint64_t sent = 0;
    std::vector<WireFrame> batch;
    while (!run->stop.load() && (plan.total == 0 || sent < plan.total)) {
      uint64_t due = sent + per_packet;
      if (plan.frames_per_second > 0) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        due = static_cast<uint64_t>(elapsed * plan.frames_per_second) + 1;
      }
      if (plan.total != 0) due = std::min(due, plan.total);
      if (due <= sent) {
        const auto next = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                      static_cast<double>(sent) / plan.frames_per_second));
        std::unique_lock<std::mutex> lock(run->mu);
        run->cv.wait_until(lock, next, [&] { return run->stop.load(); });
        continue;
      }
      const uint64_t n = std::min<uint64_t>(due - sent, per_packet);
      batch.clear();
      for (uint64_t i = 0; i < n; ++i) {
        const uint64_t k = sent + i;
        WireFrame f;
        f.channel = plan.channel;
        f.id = plan.id_first + static_cast<uint32_t>(k % id_span);
        f.len = lengths[k % lengths.size()];
        f.flags = static_cast<uint16_t>((plan.fd ? kWireFd : 0) | (plan.fd && plan.brs ? kWireBrs : 0) |
                                        (plan.extended ? kWireExtended : 0) | (plan.remote ? kWireRemote : 0));
        f.timestamp = plan.sequence_stamps ? k : NowMicros();
        for (uint8_t b = 0; b < f.len; ++b) f.data[b] = static_cast<uint8_t>(k + b);
        batch.push_back(f);
      }
      if (!SendFrames(batch, plan.fd, -1, true, &run->stop)) {
        // No link at the moment (e.g. reconnecting): try again shortly.
        std::unique_lock<std::mutex> lock(run->mu);
        run->cv.wait_for(lock, milliseconds(20), [&] { return run->stop.load(); });
        continue;
      }
      sent += n;
      run->sent.store(sent);
    }
    run->done.store(true);
    Bump();
  }

  // ---- state -------------------------------------------------------------------
  GatewayConfig cfg;
  std::atomic<Clock::time_point> epoch{Clock::now()};

  std::mutex log_mu;
  LogSink log_sink;  // guarded by log_mu

  mutable std::mutex mu;  // the model and the record
  mutable std::condition_variable changed;
  std::condition_variable timer_cv;
  uint64_t change_seq = 0;
  bool running = false;
  bool stopping_timer = false;
  DeviceIdentity identity;
  std::array<std::string, 5> query_texts;
  int64_t size_value = 1;
  int64_t remain_value = 1;
  uint8_t channel_action_result = 1;
  std::array<bool, kMaxChannels> echo{};
  std::map<uint8_t, AnswerScript> scripts;
  std::array<std::map<uint8_t, HeldEntry>, kMaxChannels> autosend;
  std::vector<Delayed> delayed;
  std::deque<HostPacket> packets;
  std::deque<HostFrame> frames;
  std::deque<uint64_t> notices;
  // RequestFromHost calls waiting for their answers (each entry lives on its caller's stack).
  std::vector<Awaited*> awaited;
  std::array<size_t, 256> type_counts{};
  size_t total_count = 0;
  uint64_t next_serial = 0;

  AtomicCounters counters;

  // Link.
  std::mutex io_mu;
  std::condition_variable io_cv;
  std::atomic<bool> stopping{false};
  std::vector<std::shared_ptr<Conn>> conns;  // guarded by io_mu
  std::atomic<size_t> conn_count{0};
  int next_conn_id = 0;
  bool drop_all_requested = false;  // guarded by io_mu
  uint64_t drop_generation = 0;     // guarded by io_mu
  std::atomic<bool> reconnect{true};
  int wake_pipe[2] = {-1, -1};
  int listen_fd = -1;
  int udp_fd = -1;
  sockaddr_in udp_destination{};     // guarded by io_mu
  bool udp_has_destination = false;  // guarded by io_mu
  bool learn_destination = false;    // guarded by io_mu
  std::atomic<uint16_t> local_port{0};
  // I/O thread only.
  int connecting_fd = -1;
  sockaddr_in connect_target{};
  Clock::time_point connect_deadline;
  Clock::time_point next_connect;

  std::thread io_thread;
  std::thread timer_thread;

  std::mutex traffic_mu;
  std::map<uint8_t, std::unique_ptr<TrafficRun>> traffic;  // guarded by traffic_mu
};

// ---------------------------------------------------------------------------
Gateway::Gateway(GatewayConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

Gateway::~Gateway() { Stop(); }

bool Gateway::Start() {
  Impl& s = *impl_;
  Stop();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.running = false;
    s.stopping_timer = false;
  }
  // `stopping` stays set (senders give up at once) until everything below is
  // in place; clearing it under io_mu publishes the new sockets to them.
  s.epoch.store(Clock::now());
  int pipe_fds[2] = {-1, -1};
  if (!net::WakePipe(pipe_fds)) return false;
  auto fail = [&](const char* what) {
    s.Log(Format("start failed: %s (%s)", what, std::strerror(errno)));
    std::lock_guard<std::mutex> lock(s.io_mu);
    net::Close(s.listen_fd);
    net::Close(s.udp_fd);
    s.listen_fd = s.udp_fd = -1;
    net::Close(pipe_fds[0]);
    net::Close(pipe_fds[1]);
    return false;
  };
  const GatewayConfig& c = s.cfg;
  sockaddr_in local{};
  if (c.mode == LinkMode::kTcpListen) {
    if (!MakeAddress(c.bind_address, c.local_port, &local)) return fail("bad bind address");
    s.listen_fd = net::Socket(SOCK_STREAM);
    if (s.listen_fd < 0) return fail("socket");
    int one = 1;
    net::SetOption(s.listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(s.listen_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return fail("bind");
    if (::listen(s.listen_fd, 16) != 0) return fail("listen");
    SetNonBlocking(s.listen_fd);
  } else if (c.mode == LinkMode::kUdp) {
    const bool group = IsMulticast(c.remote_address);
    // A group member hears the group on its port from any local address.
    if (!MakeAddress(group ? "0.0.0.0" : c.bind_address, c.local_port, &local)) return fail("bad bind address");
    s.udp_fd = net::Socket(SOCK_DGRAM);
    if (s.udp_fd < 0) return fail("socket");
    if (::bind(s.udp_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return fail("bind");
    int big = 4 << 20;
    net::SetOption(s.udp_fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (group) {
      in_addr iface{};
      inet_pton(AF_INET, c.multicast_interface.c_str(), &iface);
      net::SetOption(s.udp_fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface);
      const unsigned char loop = c.multicast_loop ? 1 : 0;
      net::SetOption(s.udp_fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
      ip_mreq m{};
      inet_pton(AF_INET, c.remote_address.c_str(), &m.imr_multiaddr);
      m.imr_interface = iface;
      net::SetOption(s.udp_fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
    }
    std::lock_guard<std::mutex> lock(s.io_mu);
    s.learn_destination = c.remote_port == 0;
    s.udp_has_destination = c.remote_port != 0 && MakeAddress(c.remote_address, c.remote_port, &s.udp_destination);
  }
  const int bound = s.listen_fd >= 0 ? s.listen_fd : s.udp_fd;
  if (bound >= 0) {
    sockaddr_in a{};
    net::LocalAddress(bound, &a);
    s.local_port = ntohs(a.sin_port);
  }
  s.next_connect = Clock::now();
  s.reconnect.store(true);
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.running = true;
  }
  s.conn_count.store(0);
  {
    std::lock_guard<std::mutex> lock(s.io_mu);
    s.wake_pipe[0] = pipe_fds[0];
    s.wake_pipe[1] = pipe_fds[1];
    s.stopping.store(false);
  }
  if (c.mode == LinkMode::kUdp) {
    s.io_thread = std::thread([&s] { s.UdpLoop(); });
  } else {
    s.io_thread = std::thread([&s] { s.TcpLoop(); });
  }
  s.timer_thread = std::thread([&s] { s.TimerLoop(); });
  s.Log(Format("gateway started: %s, %u channel(s), port %u",
               c.mode == LinkMode::kTcpListen    ? "TCP listening"
               : c.mode == LinkMode::kTcpConnect ? "TCP connecting"
                                                 : "UDP",
               c.channels, static_cast<unsigned>(s.local_port.load())));
  s.Bump();
  return true;
}

void Gateway::Stop() {
  Impl& s = *impl_;
  StopAllTraffic();
  {
    std::lock_guard<std::mutex> lock(s.io_mu);
    s.stopping.store(true);
    s.io_cv.notify_all();
  }
  s.Wake();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.stopping_timer = true;
    s.timer_cv.notify_all();
  }
  const bool was_running = s.io_thread.joinable();
  if (s.io_thread.joinable()) s.io_thread.join();
  if (s.timer_thread.joinable()) s.timer_thread.join();
  {
    std::lock_guard<std::mutex> lock(s.io_mu);
    for (auto& c : s.conns) s.CloseConnLocked(c);
    s.conns.clear();
    s.conn_count.store(0);
    s.udp_has_destination = false;
    s.io_cv.notify_all();
    net::Close(s.connecting_fd);
    net::Close(s.listen_fd);
    net::Close(s.udp_fd);
    s.connecting_fd = s.listen_fd = s.udp_fd = -1;
    for (int& fd : s.wake_pipe) {
      net::Close(fd);
      fd = -1;
    }
  }
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.running = false;
    s.delayed.clear();
    s.BumpLocked();
  }
  if (was_running) s.Log("gateway stopped; " + Summary());
}

bool Gateway::running() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->running;
}

uint16_t Gateway::LocalPort() const {
  Impl& s = *impl_;
  if (s.cfg.mode != LinkMode::kTcpConnect) return s.local_port;
  std::lock_guard<std::mutex> lock(s.io_mu);
  if (s.conns.empty()) return 0;
  sockaddr_in a{};
  net::LocalAddress(s.conns.front()->fd, &a);
  return ntohs(a.sin_port);
}

void Gateway::SetRemote(const std::string& address, uint16_t port) {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lock(s.io_mu);
  s.cfg.remote_address = address;
  s.cfg.remote_port = port;
  if (s.cfg.mode == LinkMode::kUdp) {
    s.learn_destination = port == 0;
    s.udp_has_destination = port != 0 && MakeAddress(address, port, &s.udp_destination);
  }
}

size_t Gateway::ConnectionCount() const {
  Impl& s = *impl_;
  if (s.cfg.mode == LinkMode::kUdp) return s.udp_fd >= 0 ? 1 : 0;
  return s.conn_count.load();
}

bool Gateway::WaitConnections(size_t n, std::chrono::milliseconds timeout) const {
  return WaitUntil([&] { return ConnectionCount() >= n; }, timeout);
}

void Gateway::DropConnections() {
  Impl& s = *impl_;
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(s.io_mu);
    if (s.conns.empty() || s.stopping) return;
    s.drop_all_requested = true;
    generation = s.drop_generation;
  }
  s.Wake();
  // The I/O thread owns the sockets; wait until it has closed them.
  std::unique_lock<std::mutex> lock(s.io_mu);
  s.io_cv.wait_for(lock, milliseconds(2000), [&] { return s.stopping || s.drop_generation > generation; });
}

void Gateway::SetReconnect(bool on) { impl_->reconnect.store(on); }

uint32_t Gateway::channels() const { return impl_->cfg.channels; }

void Gateway::SetIdentity(const DeviceIdentity& identity) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->identity = identity;
}

void Gateway::SetQueryText(int type, const std::string& text) {
  if (type < 1 || type > 4) return;
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->query_texts[type] = text;
}

void Gateway::SetSizeRemain(int64_t size, int64_t remain) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->size_value = size;
  impl_->remain_value = remain;
}

void Gateway::SetChannelActionResult(uint8_t result) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->channel_action_result = result;
}

void Gateway::SetEcho(uint8_t channel, bool on) {
  if (channel >= kMaxChannels) return;
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->echo[channel] = on;
}

void Gateway::ScriptAnswer(uint8_t code, const AnswerScript& script) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (script.uses == 0) {
    impl_->scripts.erase(code);
  } else {
    impl_->scripts[code] = script;
  }
}

void Gateway::ClearScripts() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->scripts.clear();
}

std::vector<WireAutoSendEntry> Gateway::AutoSendTable(uint8_t channel) const {
  std::vector<WireAutoSendEntry> out;
  if (channel >= kMaxChannels) return out;
  std::lock_guard<std::mutex> lock(impl_->mu);
  for (const auto& [index, held] : impl_->autosend[channel]) out.push_back(held.entry);
  return out;
}

void Gateway::SetAutoSendTable(uint8_t channel, const std::vector<WireAutoSendEntry>& entries) {
  if (channel >= kMaxChannels) return;
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lock(s.mu);
  s.autosend[channel].clear();
  const auto now = Clock::now();
  for (WireAutoSendEntry e : entries) {
    e.frame.channel = channel;
    Impl::HeldEntry& held = s.autosend[channel][e.index];
    held.entry = e;
    held.next_due = now + milliseconds(e.period);
  }
  s.timer_cv.notify_all();
}

uint64_t Gateway::AutoSendTransmissions(uint8_t channel, uint8_t index) const {
  if (channel >= kMaxChannels) return 0;
  std::lock_guard<std::mutex> lock(impl_->mu);
  auto it = impl_->autosend[channel].find(index);
  return it == impl_->autosend[channel].end() ? 0 : it->second.transmissions;
}

uint64_t Gateway::NowMicros() const { return impl_->NowMicros(); }

WireFrame Gateway::MakeFrame(uint8_t channel, uint32_t id, const std::vector<uint8_t>& data, bool fd) const {
  WireFrame f;
  f.timestamp = NowMicros();
  f.id = id & 0x1FFFFFFFu;
  f.channel = channel;
  const size_t n = std::min<size_t>(data.size(), fd ? 64 : 8);
  f.len = static_cast<uint8_t>(n);
  std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n), f.data);
  if (fd) f.flags |= kWireFd;
  return f;
}

bool Gateway::SendCanFrames(const std::vector<WireFrame>& frames) { return impl_->SendFrames(frames, false); }

bool Gateway::SendCanFdFrames(const std::vector<WireFrame>& frames) { return impl_->SendFrames(frames, true); }

bool Gateway::SendErrorFrame(uint8_t channel, uint8_t b0, uint8_t d1, uint8_t detail1, uint8_t detail2, uint8_t len,
                             bool in_fd_packet) {
  WireFrame f;
  f.timestamp = NowMicros();
  f.flags = kWireError;
  f.channel = channel;
  f.len = len;
  f.data[0] = b0;
  f.data[1] = d1;
  f.data[3] = detail1;
  f.data[4] = detail2;
  impl_->Log(Format("error frame ch%u: %02X %02X, details %02X %02X", channel, b0, d1, detail1, detail2));
  return impl_->SendFrames({f}, in_fd_packet);
}

bool Gateway::SendMarker(uint8_t channel, uint64_t timestamp, bool in_fd_packet) {
  WireFrame f;
  f.timestamp = timestamp;
  f.flags = kWireMarker;
  f.channel = channel;
  return impl_->SendFrames({f}, in_fd_packet);
}

bool Gateway::SendGps(const std::vector<GpsFix>& fixes) {
  std::vector<WireGps> records;
  for (const GpsFix& fix : fixes) {
    WireGps g;
    g.time_word = (fix.utc_seconds & 0x00FFFFFFFFFFFFFFull) | (fix.time_valid ? 1ull << 63 : 0);
    auto coordinate = [](double degrees, bool valid) {
      const uint32_t magnitude = static_cast<uint32_t>(std::llround(std::fabs(degrees) * 1e6)) & 0x0FFFFFFFu;
      return magnitude | (degrees < 0 ? 1u << 30 : 0u) | (valid ? 1u << 31 : 0u);
    };
    g.fields[0] = coordinate(fix.longitude, false);
    g.fields[1] = coordinate(fix.latitude, fix.position_valid);
    g.fields[2] = (static_cast<uint32_t>(std::llround(fix.speed * 10)) & 0xFFFFu) | (fix.speed_valid ? 1u << 31 : 0u);
    g.fields[3] =
        (static_cast<uint32_t>(std::llround(fix.course * 1e6)) & 0x7FFFFFFFu) | (fix.course_valid ? 1u << 31 : 0u);
    g.fields[4] =
        (static_cast<uint32_t>(std::llround(fix.altitude + 1000)) & 0xFFFFu) | (fix.altitude_valid ? 1u << 31 : 0u);
    records.push_back(g);
  }
  return SendGpsRecords(records);
}

bool Gateway::SendGpsRecords(const std::vector<WireGps>& records) {
  std::vector<uint8_t> payload;
  for (const WireGps& g : records) PutGps(payload, g);
  return SendPacket(kTypeGps, 0, payload);
}

bool Gateway::SendChannelReport(const WireChannelReport& report) {
  std::vector<uint8_t> payload;
  PutReport(payload, report);
  return SendPacket(kTypeChannelReport, 0, payload);
}

bool Gateway::SendDeviceText(uint8_t slot, const std::string& text) {
  return SendPacket(kTypeDeviceText, slot, std::vector<uint8_t>(text.begin(), text.end()));
}

bool Gateway::SendNotice(uint64_t value, uint8_t flags) {
  std::vector<uint8_t> payload;
  for (int i = 7; i >= 0; --i) payload.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return SendPacket(kTypeNotice, flags, payload);
}

std::optional<HostPacket> Gateway::RequestFromHost(uint8_t code, const std::vector<uint8_t>& body, uint8_t sequence,
                                                   uint8_t message_id, std::chrono::milliseconds timeout) {
  Impl& s = *impl_;
  Impl::Awaited waiting;
  waiting.sequence = static_cast<uint8_t>(sequence & 7u);
  waiting.message_id = message_id;
  // Registered before the request leaves, so that no answer can come first.
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.awaited.push_back(&waiting);
  }
  std::optional<HostPacket> found;
  if (s.Deliver(CommandPacket(false, sequence, message_id, code, body), -1, true, 0)) {
    std::unique_lock<std::mutex> lock(s.mu);
    s.changed.wait_for(lock, timeout, [&] { return waiting.answer.has_value() || !s.running; });
    found = std::move(waiting.answer);
  }
  std::lock_guard<std::mutex> lock(s.mu);
  s.awaited.erase(std::find(s.awaited.begin(), s.awaited.end(), &waiting));
  return found;
}

bool Gateway::SendPacket(uint8_t type, uint8_t flags, const std::vector<uint8_t>& payload) {
  return impl_->Deliver(FramePacket(type, flags, payload), -1, true, 0);
}

bool Gateway::SendRaw(const std::vector<uint8_t>& bytes) { return impl_->Deliver(bytes, -1, true, 0); }

bool Gateway::SendInChunks(const std::vector<uint8_t>& bytes, const std::vector<size_t>& sizes,
                           std::chrono::milliseconds gap) {
  size_t offset = 0;
  for (size_t i = 0; i <= sizes.size() && offset < bytes.size(); ++i) {
    const size_t n = i < sizes.size() ? std::min(sizes[i], bytes.size() - offset) : bytes.size() - offset;
    if (n == 0) continue;
    if (offset > 0 && gap.count() > 0) std::this_thread::sleep_for(gap);  // pacing, not synchronisation
    if (!impl_->Deliver(std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                                             bytes.begin() + static_cast<std::ptrdiff_t>(offset + n)),
                        -1, true, 0)) {
      return false;
    }
    offset += n;
  }
  return true;
}

void Gateway::StartTraffic(const TrafficSpec& plan) {
  Impl& s = *impl_;
  StopTraffic(plan.channel);
  auto run = std::make_unique<Impl::TrafficRun>();
  run->plan = plan;
  Impl::TrafficRun* raw = run.get();
  s.Log(Format("traffic ch%u: %.0f frames/s, %llu frames, ids 0x%x-0x%x, %s", plan.channel, plan.frames_per_second,
               static_cast<unsigned long long>(plan.total), plan.id_first, plan.id_last, plan.fd ? "CAN FD" : "CAN"));
  std::lock_guard<std::mutex> lock(s.traffic_mu);
  raw->thread = std::thread([&s, raw] { s.TrafficLoop(raw); });
  s.traffic[plan.channel] = std::move(run);
}

uint64_t Gateway::StopTraffic(uint8_t channel) {
  Impl& s = *impl_;
  std::unique_ptr<Impl::TrafficRun> run;
  {
    std::lock_guard<std::mutex> lock(s.traffic_mu);
    auto it = s.traffic.find(channel);
    if (it == s.traffic.end()) return 0;
    run = std::move(it->second);
    s.traffic.erase(it);
  }
  run->stop.store(true);
  {
    std::lock_guard<std::mutex> lock(run->mu);
    run->cv.notify_all();
  }
  {
    std::lock_guard<std::mutex> lock(s.io_mu);
    s.io_cv.notify_all();
  }
  if (run->thread.joinable()) run->thread.join();
  return run->sent.load();
}

void Gateway::StopAllTraffic() {
  std::vector<uint8_t> channels;
  {
    std::lock_guard<std::mutex> lock(impl_->traffic_mu);
    for (const auto& [ch, run] : impl_->traffic) channels.push_back(ch);
  }
  for (uint8_t ch : channels) StopTraffic(ch);
}

uint64_t Gateway::TrafficSent(uint8_t channel) const {
  std::lock_guard<std::mutex> lock(impl_->traffic_mu);
  auto it = impl_->traffic.find(channel);
  return it == impl_->traffic.end() ? 0 : it->second->sent.load();
}

bool Gateway::WaitTrafficDone(uint8_t channel, std::chrono::milliseconds timeout) const {
  return WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(impl_->traffic_mu);
        auto it = impl_->traffic.find(channel);
        return it == impl_->traffic.end() || it->second->done.load();
      },
      timeout);
}

bool Gateway::Burst(uint8_t channel, uint64_t count, uint64_t first_stamp, uint32_t base_id, bool fd) {
  Impl& s = *impl_;
  const size_t per_packet = fd ? kCanFdPerPacket : kCanPerPacket;
  const size_t record = fd ? kWireCanFdSize : kWireCanSize;
  std::vector<uint8_t> payload;
  payload.reserve(per_packet * record);
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = std::min<uint64_t>(per_packet, count - done);
    payload.clear();
    for (uint64_t i = 0; i < n; ++i) {
      WireFrame f;
      const uint64_t k = done + i;
      f.timestamp = first_stamp + k;
      f.id = static_cast<uint32_t>((base_id + k) & 0x7FFu);
      f.channel = channel;
      f.len = 8;
      f.flags = fd ? kWireFd : 0;
      for (int b = 0; b < 8; ++b) f.data[b] = static_cast<uint8_t>(k >> (8 * b));
      PutFrame(payload, f, fd);
    }
    if (!s.Deliver(FramePacket(fd ? kTypeCanFd : kTypeCan, 0, payload), -1, true, n)) return false;
    done += n;
  }
  return true;
}

std::vector<HostPacket> Gateway::Packets() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return {impl_->packets.begin(), impl_->packets.end()};
}

std::vector<HostPacket> Gateway::Packets(uint8_t type) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<HostPacket> out;
  for (const HostPacket& p : impl_->packets) {
    if (p.type() == type) out.push_back(p);
  }
  return out;
}

size_t Gateway::PacketCount(uint8_t type) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->type_counts[type];
}

size_t Gateway::PacketCount() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->total_count;
}

bool Gateway::WaitForPackets(uint8_t type, size_t count, std::chrono::milliseconds timeout) const {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lock(s.mu);
  return s.changed.wait_for(lock, timeout, [&] { return s.type_counts[type] >= count; });
}

bool Gateway::WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const {
  Impl& s = *impl_;
  const auto deadline = Clock::now() + timeout;
  while (true) {
    uint64_t seen = 0;
    {
      std::lock_guard<std::mutex> lock(s.mu);
      seen = s.change_seq;
    }
    if (pred()) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    std::unique_lock<std::mutex> lock(s.mu);
    s.changed.wait_until(lock, std::min(deadline, now + milliseconds(10)), [&] { return s.change_seq != seen; });
  }
}

std::vector<HostFrame> Gateway::FramesFromHost() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return {impl_->frames.begin(), impl_->frames.end()};
}

std::vector<uint64_t> Gateway::NoticesFromHost() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return {impl_->notices.begin(), impl_->notices.end()};
}

void Gateway::ClearRecord() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->packets.clear();
  impl_->frames.clear();
  impl_->notices.clear();
  impl_->type_counts.fill(0);
  impl_->total_count = 0;
  impl_->BumpLocked();
}

GatewayCounters Gateway::Counters() const {
  const Impl::AtomicCounters& a = impl_->counters;
  GatewayCounters c;
  c.frames_in = a.frames_in.load();
  c.frames_out = a.frames_out.load();
  c.frames_dropped = a.frames_dropped.load();
  c.packets_in = a.packets_in.load();
  c.packets_out = a.packets_out.load();
  c.bad_bytes = a.bad_bytes.load();
  c.commands_answered = a.commands_answered.load();
  c.notices_acked = a.notices_acked.load();
  c.autosend_frames = a.autosend_frames.load();
  c.connections = a.connections.load();
  return c;
}

void Gateway::ResetCounters() {
  Impl::AtomicCounters& a = impl_->counters;
  for (auto* v : {&a.frames_in, &a.frames_out, &a.frames_dropped, &a.packets_in, &a.packets_out, &a.bad_bytes,
                  &a.commands_answered, &a.notices_acked, &a.autosend_frames, &a.connections}) {
    v->store(0);
  }
}

std::string Gateway::Summary() const {
  const GatewayCounters c = Counters();
  std::string s = Format(
      "frames in %llu, frames out %llu, packets in %llu, out %llu, commands answered %llu, notices acked %llu, "
      "timed frames %llu, skipped bytes %llu",
      static_cast<unsigned long long>(c.frames_in), static_cast<unsigned long long>(c.frames_out),
      static_cast<unsigned long long>(c.packets_in), static_cast<unsigned long long>(c.packets_out),
      static_cast<unsigned long long>(c.commands_answered), static_cast<unsigned long long>(c.notices_acked),
      static_cast<unsigned long long>(c.autosend_frames), static_cast<unsigned long long>(c.bad_bytes));
  if (c.frames_dropped != 0) {
    s += Format(", frames dropped for peers not reading %llu", static_cast<unsigned long long>(c.frames_dropped));
  }
  return s;
}

void Gateway::SetLog(LogSink sink) {
  std::lock_guard<std::mutex> lock(impl_->log_mu);
  impl_->log_sink = std::move(sink);
}

}  // namespace tarnlink::sim
