#include "tools/sim/device_model.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <cjson/cJSON.h>

namespace tarnlink::sim {
namespace {

using std::chrono::milliseconds;

constexpr int kTimerIdleMs = 200;

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

}  // namespace

DeviceModel::DeviceModel(Context& ctx, Link& link, Recorder& recorder) : ctx_(ctx), link_(link), recorder_(recorder) {
  echo_.fill(ctx.cfg.echo);
  // Channels joined by cables form one bus: each gets every other one of it.
  std::array<uint32_t, kMaxChannels> bus{};
  for (uint32_t ch = 0; ch < kMaxChannels; ++ch) bus[ch] = 1u << ch;
  for (bool grew = true; grew;) {
    grew = false;
    for (const auto& [a, b] : ctx.cfg.wires) {
      if (a >= kMaxChannels || b >= kMaxChannels || bus[a] == bus[b]) continue;
      const uint32_t joined = bus[a] | bus[b];
      for (uint32_t ch = 0; ch < kMaxChannels; ++ch) {
        if (joined & (1u << ch)) bus[ch] = joined;
      }
      grew = true;
    }
  }
  for (uint32_t ch = 0; ch < kMaxChannels; ++ch) wired_[ch] = bus[ch] & ~(1u << ch);
  query_texts_[1] = "{\r\n\"Type\":1,\r\n\"Text\":\"Emulator Device\"\r\n}";
  query_texts_[2] = "{\r\n\"Type\":2,\r\n\"Text\":\"CAN FD\"\r\n}";
  query_texts_[3] = "{\r\n\"Type\":3,\r\n\"Text\":\"127.0.0.1\"\r\n}";
  query_texts_[4] = "{\r\n\"Type\":4,\r\n\"Text\":\"ok\"\r\n}";
}

DeviceModel::~DeviceModel() { StopTimer(); }

void DeviceModel::StartTimer() {
  StopTimer();
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_timer_ = false;
  }
  timer_thread_ = std::thread([this] { TimerLoop(); });
}

void DeviceModel::StopTimer() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_timer_ = true;
    timer_cv_.notify_all();
  }
  if (timer_thread_.joinable()) timer_thread_.join();
  std::lock_guard<std::mutex> lock(mu_);
  delayed_.clear();
}

void DeviceModel::HandlePacket(int conn_id, const std::string& peer, const std::vector<uint8_t>& packet) {
  ctx_.counters.packets_in.fetch_add(1);
  const uint8_t type = packet[1];
  const uint8_t flags = packet[2];
  const uint8_t* payload = packet.data() + kWireHeaderSize;
  const size_t n = packet.size() - kWireHeaderSize - 1;
  if (ctx_.log.enabled()) ctx_.log(Format("rx %s from %s, %zu payload bytes", TypeName(type), peer.c_str(), n));
  switch (type) {
    case kTypeCan:
    case kTypeCanFd:
      OnFrames(conn_id, peer, packet, type == kTypeCanFd, payload, n);
      break;
    case kTypeAutoSend:
      OnAutoSend(conn_id, peer, packet, payload, n);
      break;
    case kTypeCommand:
      if (n >= 2 && (flags & 1u) != 0) {
        recorder_.RecordAnswer(peer, packet);
        break;
      }
      recorder_.Record(peer, packet);
      if (n >= 2) OnRequest(conn_id, flags, payload, n);
      break;
    case kTypeNotice:
      if ((flags & 0x7Fu) == 0 && n == 8) {
        OnNotice(conn_id, peer, packet);
      } else {
        recorder_.Record(peer, packet);
      }
      break;
    default:
      recorder_.Record(peer, packet);  // answers and acknowledgements are only recorded
      break;
  }
}

void DeviceModel::OnNotice(int conn_id, const std::string& peer, const std::vector<uint8_t>& packet) {
  const uint8_t flags = packet[2];
  const uint8_t* payload = packet.data() + kWireHeaderSize;
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | payload[i];
  recorder_.RecordNotice(peer, packet, v);
  link_.Deliver(FramePacket(kTypeNoticeAck, flags, nullptr, 0), conn_id, false, 0, nullptr,
                &ctx_.counters.notices_acked);
  ctx_.log(Format("notice 0x%016llx acknowledged (flags 0x%02x)", static_cast<unsigned long long>(v), flags));
}

void DeviceModel::OnFrames(int conn_id, const std::string& peer, const std::vector<uint8_t>& packet, bool fd_packet,
                           const uint8_t* payload, size_t n) {
  const size_t size = fd_packet ? kWireCanFdSize : kWireCanSize;
  std::vector<HostFrame> frames;
  Outbox out;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t off = 0; off + size <= n; off += size) {
      HostFrame f;
      f.in_fd_packet = fd_packet;
      f.record = GetFrame(payload + off, fd_packet);
      frames.push_back(f);
      ctx_.counters.frames_in.fetch_add(1);
      if (f.record.channel >= ctx_.cfg.channels) continue;
      WireFrame sent = f.record;
      sent.flags &= kBusFlags;
      sent.timestamp = ctx_.NowMicros();
      if (!(sent.flags & kWireFd)) std::fill(sent.data + 8, sent.data + 64, 0);
      RouteLocked(sent, conn_id, &out);
    }
  }
  recorder_.RecordFrames(peer, packet, frames);
  Send(out);
}

void DeviceModel::RouteLocked(const WireFrame& frame, int from, Outbox* out) const {
  const uint8_t ch = frame.channel;
  if (echo_[ch]) {
    // The echo: every driver gets it, the sender too.
    out->all.push_back(frame);
    return;
  }
  if (!ctx_.cfg.bus) return;
  out->others[from].push_back(frame);
  for (uint32_t left = wired_[ch]; left != 0; left &= left - 1) {
    const auto other = static_cast<uint8_t>(__builtin_ctz(left));
    if (other >= ctx_.cfg.channels) continue;
    WireFrame copy = frame;
    copy.channel = other;
    out->all.push_back(copy);
  }
}

// Never waits for room: this runs on the thread that drains the link, or on the timer.
void DeviceModel::Send(const Outbox& out) {
  auto send = [&](const std::vector<WireFrame>& frames, int except) {
    std::vector<WireFrame> can;
    std::vector<WireFrame> fd;
    for (const WireFrame& f : frames) (f.flags & kWireFd ? fd : can).push_back(f);
    link_.SendFrames(can, false, -1, false, nullptr, except);
    link_.SendFrames(fd, true, -1, false, nullptr, except);
  };
  send(out.all, Link::kNobody);
  for (const auto& [except, frames] : out.others) send(frames, except);
}

void DeviceModel::OnAutoSend(int conn_id, const std::string& peer, const std::vector<uint8_t>& packet,
                             const uint8_t* payload, size_t n) {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const auto now = Clock::now();
    for (size_t off = 0; off + kWireAutoSendSize <= n; off += kWireAutoSendSize) {
      const WireAutoSendEntry e = GetAutoSendEntry(payload + off);
      const uint8_t ch = e.frame.channel;
      if (ch >= ctx_.cfg.channels) continue;
      HeldEntry& held = autosend_[ch][e.index];
      held.entry = e;
      held.transmissions = 0;
      held.next_due = now + milliseconds(e.period);
      held.owner = conn_id;
      lines.push_back(Format("auto-send ch%u index %u %s, period %u ms, id 0x%x", ch, e.index,
                             e.enable ? "enabled" : "disabled", e.period, e.frame.id));
    }
    timer_cv_.notify_all();
  }
  // Recorded once the table holds the entries: a waiter that sees the packet sees them.
  recorder_.Record(peer, packet);
  for (const std::string& line : lines) ctx_.log(line);
}

std::string DeviceModel::AutoSendReadAnswerLocked(int64_t channel, int64_t offset, int64_t num) const {
  std::string s = "{";
  bool first = true;
  if (channel >= 0 && channel < static_cast<int64_t>(kMaxChannels)) {
    const bool all_slots = ctx_.cfg.autosend_read_all_slots && channel < static_cast<int64_t>(ctx_.cfg.channels);
    const WireAutoSendEntry unused;
    const int64_t end = std::min<int64_t>(offset + num, kAutoSendSlots);
    for (int64_t i = std::max<int64_t>(offset, 0); i < end; ++i) {
      auto it = autosend_[channel].find(static_cast<uint8_t>(i));
      if (it == autosend_[channel].end() && !all_slots) continue;
      const WireAutoSendEntry& e = it != autosend_[channel].end() ? it->second.entry : unused;
      const size_t len = std::min<size_t>(e.frame.len, (e.frame.flags & kWireFd) ? 64 : 8);
      std::string data;
      for (size_t k = 0; k < len; ++k) data += Format(k ? ",%u" : "%u", e.frame.data[k]);
      s += Format("%s\r\n\"Msg%lld\":{\"Enable\":%u,\"Period\":%u,\"Cnt\":%u,\"MsgID\":%u,\"MsgFlag\":%u,\"MsgData\":[",
                  first ? "" : ",", static_cast<long long>(i), e.enable, e.period, e.count, e.frame.id, e.frame.flags);
      s += data + "]}";
      first = false;
    }
  }
  s += "\r\n}";
  return s;
}

void DeviceModel::OnRequest(int conn_id, uint8_t flags, const uint8_t* payload, size_t n) {
  const uint8_t sequence = static_cast<uint8_t>((flags >> 1) & 7u);
  const uint8_t message_id = payload[0];
  const uint8_t code = payload[1];
  const std::vector<uint8_t> body(payload + 2, payload + n);
  uint8_t result = 1;
  std::vector<uint8_t> answer;
  AnswerScript script;
  {
    std::lock_guard<std::mutex> lock(mu_);
    switch (code) {
      case 1:
        answer = TextBody("{\r\n\"Model\":\"" + JsonEscape(identity_.model) + "\",\r\n\"Firmware\":\"" +
                          JsonEscape(identity_.firmware) + "\",\r\n\"Hardware\":\"" + JsonEscape(identity_.hardware) +
                          "\",\r\n\"SN\":\"" + JsonEscape(identity_.serial) + "\"\r\n}");
        break;
      case 2: {
        const int64_t t = JsonInt(body, "Type", 0);
        answer = TextBody(t >= 1 && t <= 4 ? query_texts_[t] : std::string("{}"));
        break;
      }
      case 3:
        answer = TextBody(
            AutoSendReadAnswerLocked(JsonInt(body, "Chn", -1), JsonInt(body, "Offset", 0), JsonInt(body, "Num", 0)));
        break;
      case 4:
        answer = TextBody(Format("{\r\n\"Size\":%lld,\r\n\"Remain\":%lld\r\n}", static_cast<long long>(size_value_),
                                 static_cast<long long>(remain_value_)));
        break;
      case 5:
        result = channel_action_result_;
        break;
      default:
        result = 0;  // not a command this device knows
        break;
    }
    auto it = scripts_.find(code);
    if (it != scripts_.end()) {
      script = it->second;
      if (it->second.uses > 0 && --it->second.uses == 0) scripts_.erase(it);
    }
  }
  uint8_t out_sequence = sequence;
  uint8_t out_id = message_id;
  switch (script.mode) {
    case AnswerMode::kNormal:
      break;
    case AnswerMode::kSilent:
      ctx_.log(Format("command %u id %u seq %u: not answered (scripted)", code, message_id, sequence));
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
  ctx_.log(Format("command %u id %u seq %u: answer result %u, %zu body bytes%s", code, message_id, sequence, result,
                  answer.size(), script.delay_ms > 0 ? Format(", after %d ms", script.delay_ms).c_str() : ""));
  if (script.delay_ms > 0) {
    std::lock_guard<std::mutex> lock(mu_);
    delayed_.push_back({Clock::now() + milliseconds(script.delay_ms), conn_id, std::move(packet)});
    timer_cv_.notify_all();
    return;
  }
  link_.Deliver(packet, conn_id, false, 0, nullptr, &ctx_.counters.commands_answered);
}

void DeviceModel::TimerLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopping_timer_) {
    const auto now = Clock::now();
    auto next = now + milliseconds(kTimerIdleMs);
    Outbox out;
    std::vector<Delayed> due_sends;
    for (uint32_t ch = 0; ch < ctx_.cfg.channels; ++ch) {
      for (auto& [index, held] : autosend_[ch]) {
        const WireAutoSendEntry& e = held.entry;
        if (e.enable == 0 || e.period == 0) continue;
        if (held.next_due <= now) {
          ++held.transmissions;
          ctx_.counters.autosend_frames.fetch_add(1);
          held.next_due += milliseconds(e.period);
          // A gateway that fell far behind does not burst to catch up.
          if (held.next_due < now) held.next_due = now + milliseconds(e.period);
          WireFrame f = e.frame;
          f.flags &= kBusFlags;
          f.channel = static_cast<uint8_t>(ch);
          f.timestamp = ctx_.NowMicros();
          RouteLocked(f, held.owner, &out);
        }
        next = std::min(next, held.next_due);
      }
    }
    for (auto it = delayed_.begin(); it != delayed_.end();) {
      if (it->due <= now) {
        due_sends.push_back(std::move(*it));
        it = delayed_.erase(it);
      } else {
        next = std::min(next, it->due);
        ++it;
      }
    }
    if (!out.all.empty() || !out.others.empty() || !due_sends.empty()) {
      lock.unlock();
      recorder_.Bump();
      Send(out);
      for (const Delayed& d : due_sends) {
        link_.Deliver(d.bytes, d.conn_id, false, 0, nullptr, &ctx_.counters.commands_answered);
      }
      lock.lock();
      continue;
    }
    timer_cv_.wait_until(lock, next);
  }
}

void DeviceModel::SetIdentity(const DeviceIdentity& identity) {
  std::lock_guard<std::mutex> lock(mu_);
  identity_ = identity;
}

void DeviceModel::SetQueryText(int type, const std::string& text) {
  if (type < 1 || type > 4) return;
  std::lock_guard<std::mutex> lock(mu_);
  query_texts_[type] = text;
}

void DeviceModel::SetSizeRemain(int64_t size, int64_t remain) {
  std::lock_guard<std::mutex> lock(mu_);
  size_value_ = size;
  remain_value_ = remain;
}

void DeviceModel::SetChannelActionResult(uint8_t result) {
  std::lock_guard<std::mutex> lock(mu_);
  channel_action_result_ = result;
}

void DeviceModel::SetEcho(uint8_t channel, bool on) {
  if (channel >= kMaxChannels) return;
  std::lock_guard<std::mutex> lock(mu_);
  echo_[channel] = on;
}

void DeviceModel::ScriptAnswer(uint8_t code, const AnswerScript& script) {
  std::lock_guard<std::mutex> lock(mu_);
  if (script.uses == 0) {
    scripts_.erase(code);
  } else {
    scripts_[code] = script;
  }
}

void DeviceModel::ClearScripts() {
  std::lock_guard<std::mutex> lock(mu_);
  scripts_.clear();
}

std::vector<WireAutoSendEntry> DeviceModel::AutoSendTable(uint8_t channel) const {
  std::vector<WireAutoSendEntry> out;
  if (channel >= kMaxChannels) return out;
  std::lock_guard<std::mutex> lock(mu_);
  for (const auto& [index, held] : autosend_[channel]) out.push_back(held.entry);
  return out;
}

void DeviceModel::SetAutoSendTable(uint8_t channel, const std::vector<WireAutoSendEntry>& entries) {
  if (channel >= kMaxChannels) return;
  std::lock_guard<std::mutex> lock(mu_);
  autosend_[channel].clear();
  const auto now = Clock::now();
  for (WireAutoSendEntry e : entries) {
    e.frame.channel = channel;
    HeldEntry& held = autosend_[channel][e.index];
    held.entry = e;
    held.next_due = now + milliseconds(e.period);
  }
  timer_cv_.notify_all();
}

uint64_t DeviceModel::AutoSendTransmissions(uint8_t channel, uint8_t index) const {
  if (channel >= kMaxChannels) return 0;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = autosend_[channel].find(index);
  return it == autosend_[channel].end() ? 0 : it->second.transmissions;
}

}  // namespace tarnlink::sim
