#include "tools/sim/recorder.h"

#include <algorithm>
#include <utility>

namespace tarnlink::sim {

uint64_t Recorder::RecordLocked(const std::string& peer, const std::vector<uint8_t>& packet) {
  const uint64_t serial = next_serial_++;
  ++type_counts_[packet[1]];
  ++total_count_;
  if (ctx_.cfg.record_limit == 0) return serial;
  HostPacket p;
  p.serial = serial;
  p.peer = peer;
  p.when = Clock::now();
  p.bytes = packet;
  packets_.push_back(std::move(p));
  while (packets_.size() > ctx_.cfg.record_limit) packets_.pop_front();
  return serial;
}

void Recorder::BumpLocked() {
  ++change_seq_;
  changed_.notify_all();
}

void Recorder::Record(const std::string& peer, const std::vector<uint8_t>& packet) {
  std::lock_guard<std::mutex> lock(mu_);
  RecordLocked(peer, packet);
  BumpLocked();
}

void Recorder::RecordFrames(const std::string& peer, const std::vector<uint8_t>& packet,
                            std::vector<HostFrame>& frames) {
  std::lock_guard<std::mutex> lock(mu_);
  const uint64_t serial = RecordLocked(peer, packet);
  for (HostFrame& f : frames) {
    f.packet_serial = serial;
    if (ctx_.cfg.frame_record_limit > 0) frames_.push_back(f);
  }
  while (frames_.size() > ctx_.cfg.frame_record_limit) frames_.pop_front();
  BumpLocked();
}

void Recorder::RecordNotice(const std::string& peer, const std::vector<uint8_t>& packet, uint64_t value) {
  std::lock_guard<std::mutex> lock(mu_);
  RecordLocked(peer, packet);
  if (ctx_.cfg.record_limit > 0) {
    notices_.push_back(value);
    if (notices_.size() > ctx_.cfg.record_limit) notices_.pop_front();
  }
  BumpLocked();
}

void Recorder::RecordAnswer(const std::string& peer, const std::vector<uint8_t>& packet) {
  std::lock_guard<std::mutex> lock(mu_);
  RecordLocked(peer, packet);
  const uint8_t sequence = static_cast<uint8_t>((packet[2] >> 1) & 7u);
  const uint8_t message_id = packet[kWireHeaderSize];
  for (Awaited* a : awaited_) {
    if (a->answer || a->sequence != sequence || a->message_id != message_id) continue;
    HostPacket p;
    p.serial = next_serial_ - 1;
    p.peer = peer;
    p.when = Clock::now();
    p.bytes = packet;
    a->answer = std::move(p);
    break;
  }
  BumpLocked();
}

void Recorder::Bump() {
  std::lock_guard<std::mutex> lock(mu_);
  BumpLocked();
}

void Recorder::SetRunning(bool running) {
  std::lock_guard<std::mutex> lock(mu_);
  running_ = running;
  BumpLocked();
}

bool Recorder::running() const {
  std::lock_guard<std::mutex> lock(mu_);
  return running_;
}

void Recorder::Await(Awaited* waiting) {
  std::lock_guard<std::mutex> lock(mu_);
  awaited_.push_back(waiting);
}

std::optional<HostPacket> Recorder::TakeAnswer(Awaited* waiting, std::chrono::milliseconds timeout, bool wait) {
  std::unique_lock<std::mutex> lock(mu_);
  std::optional<HostPacket> found;
  if (wait) {
    changed_.wait_for(lock, timeout, [&] { return waiting->answer.has_value() || !running_; });
    found = std::move(waiting->answer);
  }
  awaited_.erase(std::find(awaited_.begin(), awaited_.end(), waiting));
  return found;
}

std::vector<HostPacket> Recorder::Packets() const {
  std::lock_guard<std::mutex> lock(mu_);
  return {packets_.begin(), packets_.end()};
}

std::vector<HostPacket> Recorder::Packets(uint8_t type) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<HostPacket> out;
  for (const HostPacket& p : packets_) {
    if (p.type() == type) out.push_back(p);
  }
  return out;
}

size_t Recorder::PacketCount(uint8_t type) const {
  std::lock_guard<std::mutex> lock(mu_);
  return type_counts_[type];
}

size_t Recorder::PacketCount() const {
  std::lock_guard<std::mutex> lock(mu_);
  return total_count_;
}

bool Recorder::WaitForPackets(uint8_t type, size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return changed_.wait_for(lock, timeout, [&] { return type_counts_[type] >= count; });
}

bool Recorder::WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    uint64_t seen = 0;
    {
      std::lock_guard<std::mutex> lock(mu_);
      seen = change_seq_;
    }
    if (pred()) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(10)),
                        [&] { return change_seq_ != seen; });
  }
}

std::vector<HostFrame> Recorder::FramesFromHost() const {
  std::lock_guard<std::mutex> lock(mu_);
  return {frames_.begin(), frames_.end()};
}

std::vector<uint64_t> Recorder::NoticesFromHost() const {
  std::lock_guard<std::mutex> lock(mu_);
  return {notices_.begin(), notices_.end()};
}

void Recorder::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  packets_.clear();
  frames_.clear();
  notices_.clear();
  type_counts_.fill(0);
  total_count_ = 0;
  BumpLocked();
}

}  // namespace tarnlink::sim
