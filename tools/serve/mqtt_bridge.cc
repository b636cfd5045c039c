#include "tools/serve/mqtt_bridge.h"

#include <mosquitto.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <utility>

#include <cjson/cJSON.h>

#include "tools/serve/payload.h"

namespace tarnlink::serve {
namespace {

using Clock = std::chrono::steady_clock;

// Messages handed to libmosquitto and not yet done, per connection.
constexpr size_t kWindow = 32;
// Frames a channel holds before its batch is cut; beyond it (a pump that
// cannot keep up) the oldest are dropped and counted.
constexpr size_t kPendingLimit = 64 * 200;
constexpr auto kPumpTick = std::chrono::milliseconds(5);
constexpr auto kWatchPeriod = std::chrono::milliseconds(250);
constexpr auto kDrainWait = std::chrono::seconds(3);
constexpr size_t kMessageOverhead = 64;

// A connection refused for good: retrying cannot help.
const char* FatalConnack(int rc) {
  switch (rc) {
    case 1:
      return "the broker does not speak MQTT 3.1.1";
    case 2:
      return "the broker refused the client identifier";
    case 4:
      return "the broker refused the login: bad user name or password";
    case 5:
      return "the broker refused the login: not authorised";
    default:
      return nullptr;
  }
}

struct MosqDeleter {
  void operator()(mosquitto* m) const { mosquitto_destroy(m); }
};

struct JsonDeleter {
  void operator()(cJSON* j) const { cJSON_Delete(j); }
};

std::string JsonText(cJSON* j) {
  char* text = cJSON_PrintUnformatted(j);
  std::string s = text != nullptr ? text : "{}";
  cJSON_free(text);
  return s;
}

void AddCount(cJSON* obj, const char* name, uint64_t v) { cJSON_AddNumberToObject(obj, name, static_cast<double>(v)); }

}  // namespace

class MqttLink {
 public:
  // `buffered` counts the bytes every link of the bridge holds: the buffer
  // limit is one for the whole process.
  MqttLink(const MqttOptions& options, BridgeGateway gateway, std::atomic<size_t>* buffered)
      : options_(options), gw_(std::move(gateway)), base_(options.prefix + "/" + gw_.name), buffered_(*buffered) {
    for (uint32_t ch : gw_.channels) pending_[ch % 32].known = true;
  }
  ~MqttLink() { Close(); }

  bool Open(std::string* error);
  void Close();
  void OnFrames(uint32_t channel, const cli::Received* frames, size_t count, bool* full);
  // The pump's turn: cut due batches, publish, watch the gateway.
  void Pump(Clock::time_point now, bool cut_all);
  bool Drained();
  std::string Fatal() {
    MutexLock lock(state_mu_);
    return fatal_;
  }
  BridgeCounters Counters() {
    MutexLock lock(state_mu_);
    BridgeCounters c = counters_;
    c.bytes_buffered = outbox_bytes_;
    return c;
  }

 private:
  struct Outgoing {
    std::string topic;
    std::string payload;
    uint32_t channel = 0;
    size_t frames = 0;
    bool inflight = false;
    bool done = false;
    int mid = 0;
  };
  static size_t Cost(const Outgoing& o) { return o.payload.size() + o.topic.size() + kMessageOverhead; }
  void PopDone() REQUIRES(state_mu_) {
    while (!outbox_.empty() && outbox_.front()->done) {
      Uncount(*outbox_.front());
      outbox_.pop_front();
    }
  }
  void Count(const Outgoing& o) REQUIRES(state_mu_) {
    outbox_bytes_ += Cost(o);
    buffered_.fetch_add(Cost(o));
  }
  void Uncount(const Outgoing& o) REQUIRES(state_mu_) {
    outbox_bytes_ -= Cost(o);
    buffered_.fetch_sub(Cost(o));
  }

  struct Pending {
    bool known = false;
    std::vector<cli::Received> frames;
    Clock::time_point first;
    uint64_t seq = 0;
    uint64_t dropped = 0;
  };

  static void OnConnect(mosquitto*, void* self, int rc) { static_cast<MqttLink*>(self)->Connected(rc); }
  static void OnDisconnect(mosquitto*, void* self, int rc) { static_cast<MqttLink*>(self)->Disconnected(rc); }
  static void OnPublish(mosquitto*, void* self, int mid) { static_cast<MqttLink*>(self)->Published(mid); }
  static void OnMessage(mosquitto*, void* self, const mosquitto_message* m) {
    static_cast<MqttLink*>(self)->Message(m);
  }
  static void OnLog(mosquitto*, void* self, int level, const char* text) {
    if (level == MOSQ_LOG_ERR) static_cast<MqttLink*>(self)->LogError(text);
  }

  void Connected(int rc);
  void Disconnected(int rc);
  void Published(int mid);
  void Message(const mosquitto_message* m);
  void LogError(const char* text);
  void Report(const std::string& line);
  void PublishDirect(const std::string& topic, const std::string& payload, int qos, bool retain);
  void PublishStatus(bool up);
  void ReportError(const std::string& topic, const std::string& why);
  void CutBatches(Clock::time_point now, bool all);
  void SendBuffered();
  void Watch(Clock::time_point now);
  void PublishStats();

  const MqttOptions& options_;
  const BridgeGateway gw_;
  const std::string base_;
  std::atomic<size_t>& buffered_;
  std::unique_ptr<mosquitto, MosqDeleter> mosq_;
  bool loop_started_ = false;

  // Frames of each channel not yet in a batch; the receive thread appends,
  // the pump cuts.
  Mutex pending_mu_;
  Pending pending_[32] GUARDED_BY(pending_mu_);

  // The connection's state and the buffer of cut batches, in order.
  Mutex state_mu_;
  std::deque<std::unique_ptr<Outgoing>> outbox_ GUARDED_BY(state_mu_);
  size_t outbox_bytes_ GUARDED_BY(state_mu_) = 0;
  size_t inflight_ GUARDED_BY(state_mu_) = 0;
  std::map<int, Outgoing*> by_mid_ GUARDED_BY(state_mu_);
  // Acknowledgements of numbers not (yet) known, with the serial of their
  // arrival: one that came while a publish was under way may be its own.
  std::map<int, uint64_t> early_done_ GUARDED_BY(state_mu_);
  uint64_t ack_serial_ GUARDED_BY(state_mu_) = 0;
  bool connected_ GUARDED_BY(state_mu_) = false;
  bool gateway_up_ GUARDED_BY(state_mu_) = false;
  std::string fatal_ GUARDED_BY(state_mu_);
  std::string last_log_ GUARDED_BY(state_mu_);
  BridgeCounters counters_ GUARDED_BY(state_mu_);

  // The pump's own (one thread).
  Clock::time_point next_watch_{};
  Clock::time_point next_stats_{};
  uint64_t last_dropped_[32] = {};
};

bool MqttLink::Open(std::string* error) {
  char host[64] = {};
  gethostname(host, sizeof(host) - 1);
  const std::string id = "tarnlink-" + std::string(host) + "-" + std::to_string(getpid()) + "-" + gw_.name;
  mosq_.reset(mosquitto_new(id.c_str(), true, this));
  if (!mosq_) {
    *error = "cannot make an MQTT client";
    return false;
  }
  mosquitto* m = mosq_.get();
  mosquitto_connect_callback_set(m, OnConnect);
  mosquitto_disconnect_callback_set(m, OnDisconnect);
  mosquitto_publish_callback_set(m, OnPublish);
  mosquitto_message_callback_set(m, OnMessage);
  mosquitto_log_callback_set(m, OnLog);
  mosquitto_max_inflight_messages_set(m, kWindow);
  mosquitto_reconnect_delay_set(m, 1, 16, true);
  const std::string status = base_ + "/status";
  if (mosquitto_will_set(m, status.c_str(), 7, "offline", 1, true) != MOSQ_ERR_SUCCESS) {
    *error = "cannot set the last will on " + status;
    return false;
  }
  if (!options_.user.empty() &&
      mosquitto_username_pw_set(m, options_.user.c_str(), options_.password.c_str()) != MOSQ_ERR_SUCCESS) {
    *error = "cannot set the login";
    return false;
  }
  if (options_.tls) {
    const int rc = mosquitto_tls_set(m, options_.cafile.empty() ? nullptr : options_.cafile.c_str(),
                                     options_.cafile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      *error = "TLS settings refused (" + std::string(mosquitto_strerror(rc)) + "): check --mqtt-cafile";
      return false;
    }
  }
  // A broker not there yet is no error: the network thread keeps trying.
  mosquitto_connect_async(m, options_.host.c_str(), options_.port, 30);
  if (mosquitto_loop_start(m) != MOSQ_ERR_SUCCESS) {
    *error = "cannot start the MQTT network thread";
    return false;
  }
  loop_started_ = true;
  return true;
}

void MqttLink::Close() {
  if (!mosq_) return;
  if (loop_started_) {
    // A clean disconnection sends no will: "offline" is said here, and
    // waited for a moment.
    bool connected;
    uint64_t serial;
    {
      MutexLock lock(state_mu_);
      connected = connected_;
      serial = ack_serial_;
    }
    int mid = 0;
    const std::string status = base_ + "/status";
    if (connected && mosquitto_publish(mosq_.get(), &mid, status.c_str(), 7, "offline", 1, true) == MOSQ_ERR_SUCCESS) {
      const auto deadline = Clock::now() + std::chrono::seconds(1);
      while (Clock::now() < deadline) {
        {
          MutexLock lock(state_mu_);
          auto it = early_done_.find(mid);
          if ((it != early_done_.end() && it->second > serial) || !connected_) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    mosquitto_disconnect(mosq_.get());
    mosquitto_loop_stop(mosq_.get(), false);
    loop_started_ = false;
  }
  mosq_.reset();
}

void MqttLink::Report(const std::string& line) {
  std::fprintf(stderr, "tarnlink serve: %s: %s\n", gw_.name.c_str(), line.c_str());
}

void MqttLink::LogError(const char* text) {
  {
    MutexLock lock(state_mu_);
    if (last_log_ == text) return;
    last_log_ = text;
  }
  Report(std::string("MQTT: ") + text);
}

void MqttLink::Connected(int rc) {
  if (rc != 0) {
    const char* fatal = FatalConnack(rc);
    MutexLock lock(state_mu_);
    if (fatal != nullptr && fatal_.empty()) fatal_ = fatal;
    return;
  }
  bool up;
  {
    MutexLock lock(state_mu_);
    connected_ = true;
    last_log_.clear();
    ++counters_.connects;
    up = gateway_up_;
  }
  Report("connected to the broker " + options_.host + ":" + std::to_string(options_.port));
  PublishStatus(up);
  if (!options_.read_only) {
    const std::string tx = base_ + "/+/tx";
    mosquitto_subscribe(mosq_.get(), nullptr, tx.c_str(), options_.qos);
  }
}

void MqttLink::Disconnected(int rc) {
  {
    MutexLock lock(state_mu_);
    if (!connected_) return;
    connected_ = false;
    // QoS 0 messages not yet written are gone with libmosquitto's packet
    // queue: they go again after the reconnection. QoS 1 messages it keeps
    // and sends again itself.
    if (options_.qos == 0) {
      for (auto& o : outbox_) {
        if (o->inflight && !o->done) o->inflight = false;
      }
      inflight_ = 0;
      by_mid_.clear();
      early_done_.clear();
    }
  }
  if (rc != 0) Report("lost the broker; buffering, reconnecting");
}

void MqttLink::Published(int mid) {
  MutexLock lock(state_mu_);
  ++ack_serial_;
  auto it = by_mid_.find(mid);
  if (it == by_mid_.end()) {
    early_done_[mid] = ack_serial_;
    return;
  }
  Outgoing* o = it->second;
  by_mid_.erase(it);
  o->done = true;
  if (inflight_ > 0) --inflight_;
  ++counters_.batches_published;
  counters_.frames_published += o->frames;
  PopDone();
}

void MqttLink::PublishDirect(const std::string& topic, const std::string& payload, int qos, bool retain) {
  mosquitto_publish(mosq_.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain);
}

void MqttLink::PublishStatus(bool up) { PublishDirect(base_ + "/status", up ? "online" : "offline", 1, true); }

void MqttLink::ReportError(const std::string& topic, const std::string& why) {
  std::unique_ptr<cJSON, JsonDeleter> j(cJSON_CreateObject());
  cJSON_AddNumberToObject(j.get(), "version", kPayloadVersion);
  cJSON_AddStringToObject(j.get(), "topic", topic.c_str());
  cJSON_AddStringToObject(j.get(), "error", why.c_str());
  uint64_t refused;
  {
    MutexLock lock(state_mu_);
    refused = ++counters_.tx_refused;
  }
  AddCount(j.get(), "refused", refused);
  PublishDirect(base_ + "/errors", JsonText(j.get()), 0, false);
}

// A message on PREFIX/NAME/chN/tx: read whole, then sent frame by frame.
void MqttLink::Message(const mosquitto_message* m) {
  const std::string topic = m->topic != nullptr ? m->topic : "";
  {
    MutexLock lock(state_mu_);
    ++counters_.tx_messages;
  }
  const std::string head = base_ + "/ch";
  const std::string tail = "/tx";
  uint64_t channel = 0;
  bool ok = topic.size() > head.size() + tail.size() && topic.compare(0, head.size(), head) == 0 &&
            topic.compare(topic.size() - tail.size(), tail.size(), tail) == 0;
  if (ok) {
    const std::string digits = topic.substr(head.size(), topic.size() - head.size() - tail.size());
    ok = !digits.empty() && digits.size() <= 2 && (digits.size() == 1 || digits[0] != '0') &&
         digits.find_first_not_of("0123456789") == std::string::npos;
    if (ok) channel = std::stoul(digits);
  }
  bool served = false;
  for (uint32_t c : gw_.channels) served = served || (ok && c == channel);
  if (!served) {
    ReportError(topic, "no such channel of this gateway");
    return;
  }
  if (options_.read_only) {
    ReportError(topic, "read-only: nothing is sent");
    return;
  }
  std::vector<cli::Frame> frames;
  std::string why;
  const std::string_view payload(static_cast<const char*>(m->payload), m->payloadlen > 0 ? m->payloadlen : 0);
  if (!DecodeTx(payload, &frames, &why)) {
    ReportError(topic, why);
    return;
  }
  size_t sent = 0;
  while (sent < frames.size() && gw_.send(static_cast<uint32_t>(channel), frames[sent])) ++sent;
  {
    MutexLock lock(state_mu_);
    counters_.tx_frames += sent;
  }
  if (sent < frames.size()) {
    ReportError(topic, "the driver took " + std::to_string(sent) + " of " + std::to_string(frames.size()) +
                           " frames (gateway unreachable?)");
  }
}

void MqttLink::OnFrames(uint32_t channel, const cli::Received* frames, size_t count, bool* full) {
  MutexLock lock(pending_mu_);
  Pending& p = pending_[channel % 32];
  if (!p.known) return;
  if (p.frames.empty()) p.first = Clock::now();
  p.frames.insert(p.frames.end(), frames, frames + count);
  if (p.frames.size() > kPendingLimit) {
    const size_t excess = p.frames.size() - kPendingLimit;
    p.frames.erase(p.frames.begin(), p.frames.begin() + static_cast<std::ptrdiff_t>(excess));
    p.dropped += excess;
  }
  if (p.frames.size() >= options_.batch_frames) *full = true;
}

void MqttLink::CutBatches(Clock::time_point now, bool all) {
  struct Cut {
    uint32_t channel;
    uint64_t seq;
    uint64_t dropped;
    std::vector<cli::Received> frames;
  };
  std::vector<Cut> cuts;
  {
    MutexLock lock(pending_mu_);
    for (uint32_t ch = 0; ch < 32; ++ch) {
      Pending& p = pending_[ch];
      if (!p.known || p.frames.empty()) continue;
      const bool due = all || p.frames.size() >= options_.batch_frames ||
                       now - p.first >= std::chrono::milliseconds(options_.batch_ms) - kPumpTick;
      if (!due) continue;
      // Full batches of batch_frames; a due remainder goes too.
      size_t at = 0;
      while (at < p.frames.size()) {
        const size_t n = std::min(options_.batch_frames, p.frames.size() - at);
        Cut c{ch, p.seq++, p.dropped, {}};
        p.dropped = 0;
        c.frames.assign(p.frames.begin() + static_cast<std::ptrdiff_t>(at),
                        p.frames.begin() + static_cast<std::ptrdiff_t>(at + n));
        cuts.push_back(std::move(c));
        at += n;
      }
      p.frames.clear();
    }
  }
  if (cuts.empty()) return;
  std::vector<std::unique_ptr<Outgoing>> made;
  made.reserve(cuts.size());
  for (const Cut& c : cuts) {
    RxBatch b;
    b.gateway = gw_.name;
    b.channel = c.channel;
    b.seq = c.seq;
    b.dropped = c.dropped;
    b.frames = c.frames.data();
    b.count = c.frames.size();
    auto o = std::make_unique<Outgoing>();
    o->topic = base_ + "/" + cli::ChannelName(c.channel) + "/rx";
    o->payload = Encode(options_.format, b);
    o->channel = c.channel;
    o->frames = c.frames.size();
    made.push_back(std::move(o));
  }
  // Beyond the buffer the oldest batches not handed to libmosquitto go.
  uint64_t lost[32] = {};
  bool any_lost = false;
  {
    MutexLock lock(state_mu_);
    for (auto& o : made) {
      Count(*o);
      outbox_.push_back(std::move(o));
    }
    auto it = outbox_.begin();
    while (buffered_.load() > options_.buffer_bytes && it != outbox_.end()) {
      if ((*it)->inflight) {
        ++it;
        continue;
      }
      Uncount(**it);
      ++counters_.batches_dropped;
      counters_.frames_dropped += (*it)->frames;
      lost[(*it)->channel % 32] += (*it)->frames;
      any_lost = true;
      it = outbox_.erase(it);
    }
  }
  if (any_lost) {
    MutexLock lock(pending_mu_);
    for (uint32_t ch = 0; ch < 32; ++ch) pending_[ch].dropped += lost[ch];
  }
}

void MqttLink::SendBuffered() {
  std::vector<Outgoing*> batch;
  uint64_t serial;
  {
    MutexLock lock(state_mu_);
    for (auto it = early_done_.begin(); it != early_done_.end();) {
      it = it->second + 1024 < ack_serial_ ? early_done_.erase(it) : std::next(it);
    }
    serial = ack_serial_;
    if (!connected_) return;
    for (auto& o : outbox_) {
      if (inflight_ + batch.size() >= kWindow) break;
      if (o->inflight) continue;
      o->inflight = true;
      batch.push_back(o.get());
    }
    inflight_ += batch.size();
  }
  // The entries stay put: only Published and this thread remove them, and
  // Published removes only those marked done.
  for (size_t i = 0; i < batch.size(); ++i) {
    Outgoing* o = batch[i];
    int mid = 0;
    const int rc = mosquitto_publish(mosq_.get(), &mid, o->topic.c_str(), static_cast<int>(o->payload.size()),
                                     o->payload.data(), options_.qos, false);
    MutexLock lock(state_mu_);
    if (rc != MOSQ_ERR_SUCCESS) {
      // Not taken (the link went): these and the rest go again later.
      for (size_t k = i; k < batch.size(); ++k) {
        if (batch[k]->inflight && !batch[k]->done) {
          batch[k]->inflight = false;
          if (inflight_ > 0) --inflight_;
        }
      }
      return;
    }
    if (!o->inflight) continue;  // the connection dropped meanwhile: sent again later
    auto early = early_done_.find(mid);
    const bool acked = early != early_done_.end() && early->second > serial;
    if (early != early_done_.end()) early_done_.erase(early);
    if (acked) {
      o->done = true;
      if (inflight_ > 0) --inflight_;
      ++counters_.batches_published;
      counters_.frames_published += o->frames;
    } else {
      o->mid = mid;
      by_mid_[mid] = o;
    }
  }
  MutexLock lock(state_mu_);
  PopDone();
}

// Gateway reachability and the driver's queue-limit losses, a few times a second.
void MqttLink::Watch(Clock::time_point now) {
  if (now < next_watch_) return;
  next_watch_ = now + kWatchPeriod;
  const bool up = gw_.up ? gw_.up() : true;
  bool changed;
  bool connected;
  {
    MutexLock lock(state_mu_);
    changed = up != gateway_up_;
    gateway_up_ = up;
    connected = connected_;
  }
  if (changed) {
    Report(up ? "gateway reachable" : "gateway unreachable; the driver keeps trying");
    if (connected) PublishStatus(up);
  }
  VELA_STATS st{};
  st.size = sizeof(st);
  if (gw_.read_stats && gw_.read_stats(&st)) {
    MutexLock lock(pending_mu_);
    for (uint32_t ch = 0; ch < VELA_STATS_CHANNELS; ++ch) {
      const uint64_t d = st.channel[ch].dropped_can + st.channel[ch].dropped_canfd;
      if (d > last_dropped_[ch]) pending_[ch].dropped += d - last_dropped_[ch];
      last_dropped_[ch] = d;
    }
  }
  if (options_.stats_seconds > 0 && now >= next_stats_) {
    const bool first = next_stats_ == Clock::time_point{};
    next_stats_ = now + std::chrono::seconds(options_.stats_seconds);
    if (!first && connected) PublishStats();
  }
}

void MqttLink::PublishStats() {
  std::unique_ptr<cJSON, JsonDeleter> j(cJSON_CreateObject());
  cJSON* o = j.get();
  cJSON_AddNumberToObject(o, "version", kPayloadVersion);
  cJSON_AddStringToObject(o, "gateway", gw_.name.c_str());
  BridgeCounters c = Counters();
  bool up;
  {
    MutexLock lock(state_mu_);
    up = gateway_up_;
  }
  cJSON_AddBoolToObject(o, "up", up);
  VELA_STATS st{};
  st.size = sizeof(st);
  if (gw_.read_stats && gw_.read_stats(&st)) {
    cJSON* d = cJSON_AddObjectToObject(o, "driver");
#define TARNLINK_STAT(f) AddCount(d, #f, st.f);
    TARNLINK_STAT(packets_can)
    TARNLINK_STAT(packets_canfd)
    TARNLINK_STAT(packets_autosend)
    TARNLINK_STAT(packets_report)
    TARNLINK_STAT(packets_text)
    TARNLINK_STAT(packets_gps)
    TARNLINK_STAT(packets_command)
    TARNLINK_STAT(packets_notice)
    TARNLINK_STAT(packets_notice_ack)
    TARNLINK_STAT(packets_other)
    TARNLINK_STAT(bytes_received)
    TARNLINK_STAT(bytes_skipped)
    TARNLINK_STAT(bad_checksums)
    TARNLINK_STAT(datagrams_foreign)
    TARNLINK_STAT(datagrams_own)
    TARNLINK_STAT(connections_made)
    TARNLINK_STAT(connections_lost)
    TARNLINK_STAT(send_failures)
    TARNLINK_STAT(send_timeouts)
    TARNLINK_STAT(requests_sent)
    TARNLINK_STAT(requests_answered)
    TARNLINK_STAT(requests_timed_out)
    TARNLINK_STAT(late_answers)
    TARNLINK_STAT(requests_delayed)
    TARNLINK_STAT(requests_refused)
    TARNLINK_STAT(dropped_gps)
#undef TARNLINK_STAT
    cJSON* chans = cJSON_AddArrayToObject(d, "channels");
    for (uint32_t ch = 0; ch < st.channels && ch < VELA_STATS_CHANNELS; ++ch) {
      const VELA_CHANNEL_STATS& s = st.channel[ch];
      cJSON* e = cJSON_CreateObject();
      AddCount(e, "frames_can", s.frames_can);
      AddCount(e, "frames_canfd", s.frames_canfd);
      AddCount(e, "error_frames", s.error_frames);
      AddCount(e, "dropped_can", s.dropped_can);
      AddCount(e, "dropped_canfd", s.dropped_canfd);
      AddCount(e, "dropped_errors", s.dropped_errors);
      AddCount(e, "dropped_markers", s.dropped_markers);
      cJSON_AddItemToArray(chans, e);
    }
  }
  cJSON* b = cJSON_AddObjectToObject(o, "bridge");
  AddCount(b, "batches_published", c.batches_published);
  AddCount(b, "frames_published", c.frames_published);
  AddCount(b, "batches_dropped", c.batches_dropped);
  AddCount(b, "frames_dropped", c.frames_dropped);
  AddCount(b, "bytes_buffered", c.bytes_buffered);
  AddCount(b, "tx_messages", c.tx_messages);
  AddCount(b, "tx_frames", c.tx_frames);
  AddCount(b, "tx_refused", c.tx_refused);
  AddCount(b, "connects", c.connects);
  PublishDirect(base_ + "/stats", JsonText(o), 0, false);
}

void MqttLink::Pump(Clock::time_point now, bool cut_all) {
  Watch(now);
  CutBatches(now, cut_all);
  SendBuffered();
}

bool MqttLink::Drained() {
  MutexLock lock(state_mu_);
  return outbox_.empty() || !connected_;
}

MqttBridge::MqttBridge(MqttOptions options) : options_(std::move(options)) { mosquitto_lib_init(); }

MqttBridge::~MqttBridge() {
  Stop();
  links_.clear();
  mosquitto_lib_cleanup();
}

size_t MqttBridge::AddGateway(BridgeGateway gateway) {
  links_.push_back(std::make_unique<MqttLink>(options_, std::move(gateway), &buffered_));
  return links_.size() - 1;
}

bool MqttBridge::Start(std::string* error) {
  for (auto& l : links_) {
    if (!l->Open(error)) return false;
  }
  started_.store(true);
  pump_ = std::thread([this] { Pump(); });
  return true;
}

void MqttBridge::Pump() {
  while (!stop_.load()) {
    {
      MutexLock lock(wake_mu_);
      wake_.wait_for(lock.native(), kPumpTick, [this]() NO_THREAD_SAFETY_ANALYSIS { return woken_; });
      woken_ = false;
    }
    const Clock::time_point now = Clock::now();
    for (auto& l : links_) l->Pump(now, false);
  }
}

void MqttBridge::Stop() {
  if (!started_.exchange(false)) return;
  stop_.store(true);
  if (pump_.joinable()) pump_.join();
  // What is buffered goes out while the broker is there, within a bound.
  const auto deadline = Clock::now() + kDrainWait;
  bool first = true;
  for (;;) {
    bool drained = true;
    for (auto& l : links_) {
      l->Pump(Clock::now(), first);
      drained = drained && l->Drained();
    }
    first = false;
    if (drained || Clock::now() >= deadline) break;
    std::this_thread::sleep_for(kPumpTick);
  }
  // "offline" as the last word (QoS 1, retained), then the disconnection.
  for (auto& l : links_) l->Close();
}

void MqttBridge::OnFrames(size_t gateway, uint32_t channel, const cli::Received* frames, size_t count) {
  if (gateway >= links_.size() || count == 0) return;
  bool full = false;
  links_[gateway]->OnFrames(channel, frames, count, &full);
  if (full) {
    MutexLock lock(wake_mu_);
    woken_ = true;
    wake_.notify_one();
  }
}

std::string MqttBridge::Fatal() const {
  for (const auto& l : links_) {
    std::string f = l->Fatal();
    if (!f.empty()) return f;
  }
  return {};
}

BridgeCounters MqttBridge::Counters(size_t gateway) const {
  return gateway < links_.size() ? links_[gateway]->Counters() : BridgeCounters{};
}

}  // namespace tarnlink::serve
