#include "tools/sim/traffic.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace tarnlink::sim {
namespace {

// The data lengths a CAN FD frame can have.
constexpr uint8_t kFdLengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

}  // namespace

// With fd_valid_lengths a CAN FD length between the valid ones is padded up,
// as a controller pads it.
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

void TrafficGenerator::Start(const TrafficSpec& plan) {
  Stop(plan.channel);
  auto run = std::make_unique<Run>();
  run->plan = plan;
  Run* raw = run.get();
  ctx_.log(Format("traffic ch%u: %.0f frames/s, %llu frames, ids 0x%x-0x%x, %s", plan.channel, plan.frames_per_second,
                  static_cast<unsigned long long>(plan.total), plan.id_first, plan.id_last,
                  plan.fd ? "CAN FD" : "CAN"));
  std::lock_guard<std::mutex> lock(mu_);
  raw->thread = std::thread([this, raw] { Loop(raw); });
  runs_[plan.channel] = std::move(run);
}

uint64_t TrafficGenerator::Stop(uint8_t channel) {
  std::unique_ptr<Run> run;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = runs_.find(channel);
    if (it == runs_.end()) return 0;
    run = std::move(it->second);
    runs_.erase(it);
  }
  run->stop.store(true);
  {
    std::lock_guard<std::mutex> lock(run->mu);
    run->cv.notify_all();
  }
  link_.WakeSenders();
  if (run->thread.joinable()) run->thread.join();
  return run->sent.load();
}

void TrafficGenerator::StopAll() {
  std::vector<uint8_t> channels;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [ch, run] : runs_) channels.push_back(ch);
  }
  for (uint8_t ch : channels) Stop(ch);
}

uint64_t TrafficGenerator::Sent(uint8_t channel) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = runs_.find(channel);
  return it == runs_.end() ? 0 : it->second->sent.load();
}

bool TrafficGenerator::Done(uint8_t channel) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = runs_.find(channel);
  return it == runs_.end() || it->second->done.load();
}

void TrafficGenerator::Loop(Run* run) {
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
      const auto next = start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(static_cast<double>(sent) / plan.frames_per_second));
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
      f.timestamp = plan.sequence_stamps ? k : ctx_.NowMicros();
      for (uint8_t b = 0; b < f.len; ++b) f.data[b] = static_cast<uint8_t>(k + b);
      batch.push_back(f);
    }
    if (!link_.SendFrames(batch, plan.fd, -1, true, &run->stop)) {
      // No link at the moment (e.g. reconnecting): try again shortly.
      std::unique_lock<std::mutex> lock(run->mu);
      run->cv.wait_for(lock, std::chrono::milliseconds(20), [&] { return run->stop.load(); });
      continue;
    }
    sent += n;
    run->sent.store(sent);
  }
  run->done.store(true);
  recorder_.Bump();
}

}  // namespace tarnlink::sim
