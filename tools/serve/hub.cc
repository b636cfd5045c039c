#include "tools/serve/hub.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "tools/cli/stats.h"
#include "tools/cli/traffic.h"

namespace tarnlink::serve {
namespace {

constexpr uint32_t kReceiveBatch = 512;
constexpr int kMaxBatchesPerPass = 16;
// How long an idle receive thread waits on one queue before it looks at the
// others again: the driver ends the wait as soon as that queue gets a frame,
// so this bounds only the delay of a frame arriving in another queue.
constexpr int32_t kIdleWaitMs = 10;
constexpr auto kErrorPollPeriod = std::chrono::milliseconds(20);

uint64_t EpochMicros(std::chrono::system_clock::time_point t) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count());
}

}  // namespace

Gateway::Gateway(std::string name, std::unique_ptr<cli::Session> session)
    : name_(std::move(name)),
      driver_(&session->driver()),
      options_(session->options()),
      channels_(session->channels()),
      session_(std::move(session)),
      ready_(true) {}

Gateway::Gateway(std::string name, const cli::Driver& driver, const cli::ConnectOptions& options,
                 std::vector<uint32_t> channels)
    : name_(std::move(name)), driver_(&driver), options_(options), channels_(std::move(channels)) {
  if (channels_.empty()) {
    for (uint32_t c = 0; c < cli::ChannelsOfType(options_.device_type()); ++c) channels_.push_back(c);
  }
}

bool Gateway::HasChannel(uint32_t channel) const {
  for (uint32_t c : channels()) {
    if (c == channel) return true;
  }
  return false;
}

std::string Gateway::BusName(uint32_t channel) const {
  return name_.empty() ? cli::ChannelName(channel) : name_ + "." + cli::ChannelName(channel);
}

bool Gateway::Send(uint32_t channel, const Frame& frame) const {
  if (!ready() || !HasChannel(channel)) return false;
  const cli::Driver& d = session_->driver();
  const uint32_t h = session_->handle(channel);
  uint32_t accepted;
  if (frame.fd) {
    const VELA_CANFD_TRANSMIT record = cli::ToTransmitFd(frame);
    accepted = d.TransmitFD(h, &record, 1);
  } else {
    const VELA_CAN_TRANSMIT record = cli::ToTransmit(frame);
    accepted = d.Transmit(h, &record, 1);
  }
  if (accepted != 1) return false;
  ChannelTraffic& t = traffic_[channel % kChannels];
  t.tx_frames.fetch_add(1, std::memory_order_relaxed);
  t.tx_bytes.fetch_add(frame.remote() ? 0 : frame.len, std::memory_order_relaxed);
  return true;
}

bool Gateway::SetTimedEntry(uint32_t channel, const VELA_CAN_AUTOSEND& entry) const {
  if (!ready() || !HasChannel(channel)) return false;
  VELA_CAN_AUTOSEND copy = entry;
  return session_->driver().SetReference(session_->type(), session_->index(), channel, VELA_REF_AUTOSEND_ONE, &copy) ==
         1;
}

uint32_t Gateway::EnabledEntries(uint32_t channel) const {
  if (!ready()) return 0;
  const cli::Driver& d = session_->driver();
  uint32_t mask = 0;
  uint32_t count = 0;
  if (d.GetReference(session_->type(), session_->index(), channel, VELA_REF_AUTOSEND_COUNT, &count) == 1 && count > 0) {
    std::vector<VELA_CAN_AUTOSEND> list(count);
    if (d.GetReference(session_->type(), session_->index(), channel, VELA_REF_AUTOSEND_LIST, list.data()) == 1) {
      for (const auto& e : list) mask |= e.enable != 0 ? 1u << (e.index % 32) : 0;
    }
  }
  count = 0;
  if (d.GetReference(session_->type(), session_->index(), channel, VELA_REF_AUTOSEND_COUNT_FD, &count) == 1 &&
      count > 0) {
    std::vector<VELA_CANFD_AUTOSEND> list(count);
    if (d.GetReference(session_->type(), session_->index(), channel, VELA_REF_AUTOSEND_LIST_FD, list.data()) == 1) {
      for (const auto& e : list) mask |= e.enable != 0 ? 1u << (e.index % 32) : 0;
    }
  }
  return mask;
}

bool Gateway::ReadStats(VELA_STATS* out) const { return ready() && cli::ReadStats(*session_, out); }

uint64_t Gateway::StampMicros(const Received& r, TimeSource source) const {
  if (source == TimeSource::kGateway && stamp_offset_set_.load(std::memory_order_acquire)) {
    return static_cast<uint64_t>(static_cast<int64_t>(r.gateway_stamp) +
                                 stamp_offset_us_.load(std::memory_order_relaxed));
  }
  return EpochMicros(r.host_time);
}

Hub::~Hub() { Stop(); }

bool Hub::ValidGatewayName(std::string_view name) {
  if (name.empty() || name.size() > kMaxGatewayName) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool Hub::AddGateway(const std::string& name, const cli::ConnectOptions& options, std::vector<uint32_t> channels,
                     std::string* error, bool retry) {
  if (started_) {
    *error = "gateways are added before the hub starts";
    return false;
  }
  if (!name.empty() && !ValidGatewayName(name)) {
    *error = "gateway name '" + name + "': 1 to 11 characters of letters, digits, '_' and '-'";
    return false;
  }
  const std::string path = cli::Driver::PathFor(options);
  for (const auto& g : gateways_) {
    if (g->name() == name) {
      *error = name.empty() ? "the default gateway is given twice" : "gateway name '" + name + "' is given twice";
      return false;
    }
    if (cli::Driver::PathFor(g->options()) == path && g->options().device_type() == options.device_type() &&
        g->options().index == options.index) {
      *error = "gateways '" + g->name() + "' and '" + name + "' are the same device: give each its own --index";
      return false;
    }
  }
  auto& driver = drivers_[path];
  if (!driver) {
    driver = cli::Driver::Load(options);
    if (!driver) {
      drivers_.erase(path);
      *error = "cannot load the driver " + path;
      return false;
    }
  }
  std::unique_ptr<cli::Session> session = cli::Session::Open(*driver, options, channels);
  if (!session && retry) {
    std::fprintf(stderr, "tarnlink serve: gateway '%s' at %s unreachable; trying again in the background\n",
                 name.c_str(), options.Describe().c_str());
    gateways_.push_back(std::make_unique<Gateway>(name, *driver, options, std::move(channels)));
    return true;
  }
  if (!session) {
    *error = "cannot open gateway " + (name.empty() ? std::string() : "'" + name + "' at ") + options.Describe();
    return false;
  }
  gateways_.push_back(std::make_unique<Gateway>(name, std::move(session)));
  return true;
}

void Hub::AddConsumer(FrameConsumer* consumer) {
  if (!started_) consumers_.push_back(consumer);
}

void Hub::Start() {
  if (started_) return;
  started_ = true;
  for (auto& g : gateways_) {
    Gateway* gw = g.get();
    gw->thread_ = std::thread([this, gw] { ReceiveLoop(gw); });
  }
}

void Hub::Stop() {
  stop_.store(true);
  for (auto& g : gateways_) {
    if (g->thread_.joinable()) g->thread_.join();
  }
}

const Gateway* Hub::FindBus(std::string_view bus, uint32_t* channel) const {
  for (const auto& g : gateways_) {
    for (uint32_t c : g->channels()) {
      if (g->BusName(c) == bus) {
        *channel = c;
        return g.get();
      }
    }
  }
  return nullptr;
}

std::vector<std::string> Hub::BusNames() const {
  std::vector<std::string> names;
  for (const auto& g : gateways_) {
    for (uint32_t c : g->channels()) names.push_back(g->BusName(c));
  }
  return names;
}

// Runs of one channel go to every consumer in one call.
void Hub::Deliver(Gateway* gateway, const std::vector<Received>& frames) {
  if (frames.empty()) return;
  if (!gateway->stamp_offset_set_.load(std::memory_order_relaxed)) {
    const Received& first = frames.front();
    gateway->stamp_offset_us_.store(static_cast<int64_t>(EpochMicros(first.host_time)) -
                                    static_cast<int64_t>(first.gateway_stamp));
    gateway->stamp_offset_set_.store(true, std::memory_order_release);
  }
  size_t i = 0;
  while (i < frames.size()) {
    size_t j = i;
    const uint32_t ch = frames[i].channel;
    uint64_t bytes = 0;
    while (j < frames.size() && frames[j].channel == ch) {
      if (!frames[j].frame.remote() && !frames[j].frame.error()) bytes += frames[j].frame.len;
      ++j;
    }
    ChannelTraffic& t = gateway->traffic_[ch % Gateway::kChannels];
    t.rx_frames.fetch_add(j - i, std::memory_order_relaxed);
    t.rx_bytes.fetch_add(bytes, std::memory_order_relaxed);
    for (FrameConsumer* c : consumers_) c->OnFrames(*gateway, ch, frames.data() + i, j - i);
    i = j;
  }
}

// Every queue of every channel is read in passes until it comes back short,
// put in arrival order (see ArrivalOrder). When a pass found nothing, the
// next one begins with a wait on the queue that last had a frame.
bool Hub::OpenLate(Gateway* gateway) {
  // 2 s, doubling to 30 s: a gateway down for a day is tried, and reported,
  // a few times a minute.
  auto retry = std::chrono::seconds(2);
  while (!stop_.load()) {
    const auto next = std::chrono::steady_clock::now() + retry;
    retry = std::min(retry * 2, std::chrono::seconds(30));
    while (!stop_.load() && std::chrono::steady_clock::now() < next) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (stop_.load()) break;
    std::unique_ptr<cli::Session> session =
        cli::Session::Open(*gateway->driver_, gateway->options_, gateway->channels_);
    if (session) {
      gateway->session_ = std::move(session);
      gateway->ready_.store(true, std::memory_order_release);
      std::fprintf(stderr, "tarnlink serve: gateway '%s' at %s reached\n", gateway->name().c_str(),
                   gateway->options().Describe().c_str());
      return true;
    }
  }
  return false;
}

void Hub::ReceiveLoop(Gateway* gateway) {
  if (!gateway->ready() && !OpenLate(gateway)) return;
  const cli::Session& s = gateway->session();
  const cli::Driver& d = s.driver();
  const std::vector<uint32_t> channels = s.channels();
  cli::ArrivalOrder order(2 * channels.size());
  std::vector<VELA_CAN_RECEIVE> can(kReceiveBatch);
  std::vector<VELA_CANFD_RECEIVE> fd(kReceiveBatch);
  std::vector<Received> batch;
  batch.reserve(4 * kReceiveBatch);
  size_t wait_queue = 0;
  bool idle = false;
  auto last_errors = std::chrono::steady_clock::now();

  auto read = [&](size_t q, int32_t wait_ms) {
    const uint32_t ch = channels[q / 2];
    const uint32_t h = s.handle(ch);
    const bool is_fd = (q % 2) != 0;
    const uint32_t n =
        is_fd ? d.ReceiveFD(h, fd.data(), kReceiveBatch, wait_ms) : d.Receive(h, can.data(), kReceiveBatch, wait_ms);
    if (n == 0) return n;
    const auto now = std::chrono::system_clock::now();
    for (uint32_t i = 0; i < n; ++i) {
      if (is_fd) {
        order.Add(q, {ch, cli::FromReceive(fd[i]), fd[i].timestamp, now});
      } else {
        order.Add(q, {ch, cli::FromReceive(can[i]), can[i].timestamp, now});
      }
    }
    wait_queue = q;
    return n;
  };

  while (!stop_.load(std::memory_order_relaxed)) {
    batch.clear();
    if (idle && !channels.empty()) read(wait_queue, kIdleWaitMs);
    for (size_t q = 0; q < 2 * channels.size(); ++q) {
      // Bounded: a gateway sending as fast as the queue is read would
      // otherwise keep the pass from ever ending and nothing would be
      // handed out. What stays behind is newer than what was read from
      // that queue; only across queues can order then slip, under overload.
      for (int k = 0; k < kMaxBatchesPerPass && read(q, 0) == kReceiveBatch; ++k) {
      }
    }
    order.EndPass(&batch);
    const auto now = std::chrono::steady_clock::now();
    if (now - last_errors >= kErrorPollPeriod) {
      last_errors = now;
      for (uint32_t ch : channels) cli::DrainErrors(s, ch, &batch);
    }
    idle = batch.empty() && order.held() == 0;
    Deliver(gateway, batch);
  }
  batch.clear();
  order.Flush(&batch);
  Deliver(gateway, batch);
}

}  // namespace tarnlink::serve
