// Receive queues, channel status and device information.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>

#include "device/device.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include "platform/platform.h"

namespace tarnlink {
namespace {

constexpr uint32_t kPollStepMs = 10;

uint32_t IdentifierWord(uint32_t id, uint16_t flags) {
  return id | ((flags & kFlagExtended) ? VELA_ID_EFF_FLAG : 0u) | ((flags & kFlagRemote) ? VELA_ID_RTR_FLAG : 0u) |
         ((flags & kFlagError) ? VELA_ID_ERR_FLAG : 0u);
}

void ToReceiveRecord(const _tagPacketDataCAN& r, VELA_CAN_RECEIVE* out) {
  out->id = IdentifierWord(r.id, r.flags);
  out->len = r.len;
  std::memcpy(out->data, r.data, sizeof out->data);
  out->timestamp = r.timestamp;
}

void ToReceiveRecord(const _tagPacketDataCANFD& r, VELA_CANFD_RECEIVE* out) {
  out->id = IdentifierWord(r.id, r.flags);
  out->len = r.len;
  out->flags =
      static_cast<uint8_t>(((r.flags & kFlagBrs) ? VELA_FD_BRS : 0u) | ((r.flags & kFlagEsi) ? VELA_FD_ESI : 0u));
  std::memcpy(out->data, r.data, sizeof out->data);
  out->timestamp = r.timestamp;
}

// As many records as were waiting when we looked, taken in blocks under one
// lock each and converted outside it. A block that comes back short means a
// ClearBuffer on another thread emptied the queue meanwhile.
template <typename Queue, typename Out>
uint32_t DrainQueue(Queue& queue, Out* out, uint32_t capacity) {
  constexpr size_t kBlock = 256;
  const size_t n = std::min<size_t>(queue.Size(), capacity);
  typename Queue::value_type taken[kBlock];
  size_t done = 0;
  while (done < n) {
    const size_t want = std::min(kBlock, n - done);
    const size_t got = queue.PopBatch(taken, want);
    for (size_t i = 0; i < got; ++i) {
      ToReceiveRecord(*taken[i], &out[done + i]);
      taken[i].reset();
    }
    done += got;
    if (got < want) break;
  }
  return static_cast<uint32_t>(done);
}

}  // namespace

bool Device::InsideReceiveWindow() const {
  return TicksToMs(NowTicks(), start_time_.load(std::memory_order_acquire)) <= kReceiveWindowMs;
}

// Once per packet, not per frame: the clock is read once.
void Device::NoteFrameTime(uint64_t gateway_stamp) {
  last_frame_stamp_.store(gateway_stamp, std::memory_order_relaxed);
  last_frame_time_.store(NowTicks() / 10, std::memory_order_relaxed);
}

bool Device::ReadStats(VELA_STATS* out) const {
  if (out == nullptr || out->size < sizeof out->size) return false;
  auto get = [](const std::atomic<uint64_t>& c) { return c.load(std::memory_order_relaxed); };
  VELA_STATS s{};
  s.channels = channel_count_;
  const auto& packets = stream_counters_.packets;
  auto packet_count = [&](PacketSlot slot) { return get(packets[static_cast<size_t>(slot)]); };
  s.packets_can = packet_count(PacketSlot::kCanData);
  s.packets_canfd = packet_count(PacketSlot::kCanFdData);
  s.packets_autosend = packet_count(PacketSlot::kAutoSendEntries);
  s.packets_report = packet_count(PacketSlot::kChannelReport);
  s.packets_text = packet_count(PacketSlot::kDeviceText);
  s.packets_gps = packet_count(PacketSlot::kGpsData);
  s.packets_command = packet_count(PacketSlot::kCommand);
  s.packets_notice = packet_count(PacketSlot::kNotice);
  s.packets_notice_ack = packet_count(PacketSlot::kNoticeAck);
  s.packets_other = packet_count(PacketSlot::kOther);
  s.bytes_received = get(stream_counters_.bytes_received);
  s.bytes_skipped = get(stream_counters_.bytes_skipped);
  s.bad_checksums = get(stream_counters_.bad_checksums);
  const LinkCounters& link = *link_counters_;
  s.datagrams_foreign = get(link.datagrams_foreign);
  s.datagrams_own = get(link.datagrams_own);
  s.connections_made = get(link.connections_made);
  s.connections_lost = get(link.connections_lost);
  s.send_failures = get(link.send_failures);
  s.send_timeouts = get(link.send_timeouts);
  s.requests_sent = get(requests_sent_);
  s.requests_answered = get(requests_answered_);
  s.requests_timed_out = get(requests_timed_out_);
  s.late_answers = get(late_answers_);
  s.dropped_gps = gps_queue_.dropped();
  s.last_frame_time = get(last_frame_time_);
  s.last_frame_stamp = get(last_frame_stamp_);
  for (uint32_t ch = 0; ch < channel_count_ && ch < VELA_STATS_CHANNELS; ++ch) {
    VELA_CHANNEL_STATS& c = s.channel[ch];
    c.frames_can = can_queues_[ch].pushed();
    c.frames_canfd = canfd_queues_[ch].pushed();
    c.error_frames = err_queues_[ch].pushed();
    c.dropped_can = can_queues_[ch].dropped();
    c.dropped_canfd = canfd_queues_[ch].dropped();
    c.dropped_errors = err_queues_[ch].dropped();
    c.dropped_markers = marker_queues_[ch].dropped();
  }
  s.requests_delayed = get(requests_delayed_);
  s.requests_refused = get(requests_refused_);
  const uint32_t n = std::min<uint32_t>(out->size, sizeof s);
  s.size = n;
  std::memcpy(out, &s, n);
  return true;
}

template <typename Queue>
void Device::WaitForData(Queue& queue, int32_t wait_ms) const {
  if (wait_ms == 0) return;
  auto stop = [this] { return closed(); };
  if (wait_ms < 0) {
    queue.WaitUntil(nullptr, stop);
    return;
  }
  // The bound of ceil(w / 10) polls of 10 ms, kept as one deadline: the wait
  // ends as soon as data arrives instead of at the next poll.
  const int polls = static_cast<int>(std::ceil(static_cast<float>(wait_ms) / 10.0f));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(int64_t{polls} * kPollStepMs);
  queue.WaitUntil(&deadline, stop);
}

bool Device::QueuesReady(VELA_WAIT* w) const {
  w->ready_can = w->ready_canfd = w->ready_errors = 0;
  for (uint32_t ch = 0; ch < channel_count_; ++ch) {
    const uint32_t bit = 1u << ch;
    if ((w->channels & bit) == 0) continue;
    if ((w->queues & VELA_WAIT_CAN) && !can_queues_[ch].Empty()) w->ready_can |= bit;
    if ((w->queues & VELA_WAIT_CANFD) && !canfd_queues_[ch].Empty()) w->ready_canfd |= bit;
    if ((w->queues & VELA_WAIT_ERRORS) && !err_queues_[ch].Empty()) w->ready_errors |= bit;
  }
  return (w->ready_can | w->ready_canfd | w->ready_errors) != 0;
}

bool Device::WaitForQueues(VELA_WAIT* w) {
  constexpr uint32_t kAllQueues = VELA_WAIT_CAN | VELA_WAIT_CANFD | VELA_WAIT_ERRORS;
  const uint32_t usable = channel_count_ >= 32 ? ~0u : (1u << channel_count_) - 1;
  if (w->channels == 0 || (w->channels & ~usable) != 0 || (w->queues & kAllQueues) == 0 ||
      (w->queues & ~kAllQueues) != 0) {
    return false;
  }
  const int32_t wait_ms = w->wait_ms;
  if (closed()) return false;
  if (QueuesReady(w) || wait_ms == 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  MutexLock lock(wait_mu_);
  const uint64_t ends = wait_ends_;
  // Raised before the queues are looked at; the receive thread reads it
  // after each push with a read-modify-write, so one of the two comes first
  // in the counter's order: either the pusher sees this waiter and wakes it
  // under wait_mu_, or this wait reads the counter after the pusher's update,
  // and with it the push.
  queue_waiters_.fetch_add(1, std::memory_order_acq_rel);
  while (!closed() && wait_ends_ == ends && !QueuesReady(w)) {
    if (wait_ms < 0) {
      wait_cv_.wait(lock.native());
    } else if (wait_cv_.wait_until(lock.native(), deadline) == std::cv_status::timeout) {
      QueuesReady(w);
      break;
    }
  }
  queue_waiters_.fetch_sub(1, std::memory_order_acq_rel);
  return !closed();
}

void Device::WakeQueueWaits() {
  if (queue_waiters_.fetch_add(0, std::memory_order_acq_rel) == 0) return;
  { MutexLock lock(wait_mu_); }
  wait_cv_.notify_all();
}

void Device::EndQueueWaits() {
  {
    MutexLock lock(wait_mu_);
    ++wait_ends_;
  }
  wait_cv_.notify_all();
}

void Device::MarkClosed() {
  closed_.store(true, std::memory_order_release);
  EndQueueWaits();
  for (uint32_t ch = 0; ch < kChannelSlots; ++ch) {
    can_queues_[ch].WakeWaiters();
    canfd_queues_[ch].WakeWaiters();
    marker_queues_[ch].WakeWaiters();
  }
  gps_queue_.WakeWaiters();
}

uint32_t Device::Receive(uint32_t channel, VELA_CAN_RECEIVE* out, uint32_t capacity, int32_t wait_ms) {
  if (!valid_channel(channel) || out == nullptr || capacity == 0) return 0;
  auto& queue = can_queues_[channel];
  WaitForData(queue, wait_ms);
  std::memset(out, 0, sizeof(VELA_CAN_RECEIVE) * capacity);
  const uint32_t n = DrainQueue(queue, out, capacity);
  if (n != 0 && queue.Empty()) TrimPoolsIfDrained();
  return n;
}

uint32_t Device::ReceiveFD(uint32_t channel, VELA_CANFD_RECEIVE* out, uint32_t capacity, int32_t wait_ms) {
  if (!valid_channel(channel) || out == nullptr || capacity == 0) return 0;
  auto& queue = canfd_queues_[channel];
  WaitForData(queue, wait_ms);
  std::memset(out, 0, sizeof(VELA_CANFD_RECEIVE) * capacity);
  const uint32_t n = DrainQueue(queue, out, capacity);
  if (n != 0 && queue.Empty()) TrimPoolsIfDrained();
  return n;
}

void Device::TrimPoolsIfDrained() {
  if (PoolCapacity() < kTrimAboveRecords) return;
  for (uint32_t ch = 0; ch < channel_count_; ++ch) {
    if (!can_queues_[ch].Empty() || !canfd_queues_[ch].Empty()) return;
  }
  // Not while the receive thread takes records; it is then busy anyway, and
  // the next drain tries again.
  if (!pool_mu_.try_lock()) return;
  MutexLock pools(pool_mu_, std::adopt_lock);
  TrimPools(kKeepPoolSlabs);
}

size_t Device::PoolCapacity() const { return can_pool_.capacity() + canfd_pool_.capacity(); }

void Device::TrimPools(size_t keep_slabs) {
  const size_t dropped = can_pool_.Trim(keep_slabs) + canfd_pool_.Trim(keep_slabs);
#if defined(__GLIBC__)
  // The slabs came from the heap's middle: hand the free pages back.
  if (dropped != 0) malloc_trim(0);
#else
  (void)dropped;
#endif
}

uint32_t Device::GetReceiveNum(uint32_t channel, uint32_t kind) const {
  if (!valid_channel(channel)) return 0;
  const size_t n = (kind & 0xFF) == 1 ? canfd_queues_[channel].Size() : can_queues_[channel].Size();
  return static_cast<uint32_t>(n);
}

void Device::ClearBuffer(uint32_t channel) {
  if (!valid_channel(channel)) return;
  can_queues_[channel].Clear();
  canfd_queues_[channel].Clear();
  err_queues_[channel].Clear();
  marker_queues_[channel].Clear();
  status_[channel].detail1.store(0, std::memory_order_relaxed);
  status_[channel].detail2.store(0, std::memory_order_relaxed);
  autosend_.ClearCache(channel);
  TrimPoolsIfDrained();
  gps_queue_.Clear();
}

bool Device::ReadChannelErrInfo(uint32_t channel, VELA_CHANNEL_ERR_INFO* info) {
  if (info == nullptr || !valid_channel(channel)) return false;
  *info = VELA_CHANNEL_ERR_INFO{};
  std::shared_ptr<const VELA_CHANNEL_ERR_INFO> front;
  if (err_queues_[channel].Front(&front)) {
    *info = *front;
    err_queues_[channel].Pop();
  }
  return true;
}

bool Device::ReadChannelStatus(uint32_t channel, VELA_CHANNEL_STATUS* status) const {
  if (status == nullptr || !valid_channel(channel)) return false;
  *status = VELA_CHANNEL_STATUS{};
  status->err_detail1 = status_[channel].detail1.load(std::memory_order_relaxed);
  status->err_detail2 = status_[channel].detail2.load(std::memory_order_relaxed);
  return true;
}

uint16_t ParseVersion(const std::string& text) {
  std::string kept;
  for (char c : text) {
    if ((c >= '0' && c <= '9') || c == '.') kept.push_back(c);
  }
  std::string major;
  std::string minor = "00";
  const size_t dot = kept.find('.');
  if (dot == std::string::npos) {
    major = kept;
  } else {
    major = kept.substr(0, dot);
    minor = kept.substr(dot + 1);
  }
  auto value = [](const std::string& s) {
    int v = 0;
    for (size_t i = 0; i < s.size() && i < 2 && s[i] >= '0' && s[i] <= '9'; ++i) v = v * 10 + (s[i] - '0');
    return v;
  };
  const int m = value(major);
  const int n = value(minor);
  return static_cast<uint16_t>((m / 10) * 0x1000 + (m % 10) * 0x100 + (n / 10) * 0x10 + (n % 10));
}

bool Device::GetDeviceInf(VELA_DEVICE_INFO* info) {
  if (info == nullptr) return false;
  CommandMessage answer;
  if (!SimpleCommand(CommandCode::kDeviceInfo, {}, &answer)) return false;
  DeviceInfoAnswer fields;
  if (!ReadDeviceInfoAnswer(answer.body, &fields)) return false;
  *info = VELA_DEVICE_INFO{};
  info->hw_version = ParseVersion(fields.hardware);
  info->fw_version = ParseVersion(fields.firmware);
  info->driver_version = 0x0100;
  info->interface_version = 0x0100;
  info->channel_count = static_cast<uint8_t>(channel_count_);
  std::memcpy(info->serial, fields.serial.data(), std::min(fields.serial.size(), sizeof info->serial));
  std::memcpy(info->model, fields.model.data(), std::min(fields.model.size(), sizeof info->model));
  return true;
}

uint32_t Device::ReadMarkers(uint32_t channel, uint64_t* out, uint32_t capacity, int32_t wait_ms) {
  if (!valid_channel(channel) || out == nullptr || capacity == 0) return 0;
  auto& queue = marker_queues_[channel];
  WaitForData(queue, wait_ms);
  std::memset(out, 0, sizeof(uint64_t) * capacity);
  return static_cast<uint32_t>(queue.PopBatch(out, std::min<size_t>(queue.Size(), capacity)));
}

VELA_GPS ConvertGps(const _tagPacketDataGPS& r) {
  uint32_t w[8];
  w[0] = static_cast<uint32_t>(r.time_word);
  w[1] = static_cast<uint32_t>(r.time_word >> 32);
  for (int k = 0; k < 6; ++k) w[2 + k] = r.fields[k];
  VELA_GPS g{};
  g.valid = ((w[1] >> 31) & 1u) | (((w[3] >> 31) & 1u) << 1) | (((w[4] >> 31) & 1u) << 2) | (((w[5] >> 31) & 1u) << 3) |
            (((w[6] >> 31) & 1u) << 4);
  if (w[1] >> 31) {
    const uint64_t seconds = (uint64_t{w[1] & 0x00FFFFFFu} << 32) | w[0];
    std::tm tm{};
    if (UtcBreakdown(seconds, &tm)) {
      g.year = static_cast<uint16_t>(tm.tm_year + 1900);
      g.month = static_cast<uint16_t>(tm.tm_mon + 1);
      g.day = static_cast<uint16_t>(tm.tm_mday);
      g.hour = static_cast<uint16_t>(tm.tm_hour);
      g.minute = static_cast<uint16_t>(tm.tm_min);
      g.second = static_cast<uint16_t>(tm.tm_sec);
    }
  }
  auto signed_millionths = [](uint32_t word) {
    const double v = static_cast<double>(word & 0x0FFFFFFFu) / 1000000.0;
    return static_cast<float>((word & (1u << 30)) ? -v : v);
  };
  g.latitude = signed_millionths(w[3]);
  g.longitude = signed_millionths(w[2]);
  g.speed = static_cast<float>(w[4] & 0xFFFFu) * 0.1f;
  g.course = static_cast<float>(static_cast<double>(w[5] & 0x7FFFFFFFu) / 1000000.0);
  g.altitude = static_cast<float>(w[6] & 0xFFFFu) - 1000.0f;
  return g;
}

uint32_t Device::ReadGps(VELA_GPS* out, uint32_t capacity, int32_t wait_ms) {
  if (out == nullptr || capacity == 0) return 0;
  WaitForData(gps_queue_, wait_ms);
  const uint32_t n = static_cast<uint32_t>(std::min<size_t>(gps_queue_.Size(), capacity));
  std::shared_ptr<const _tagPacketDataGPS> front;
  uint32_t i = 0;
  for (; i < n; ++i) {
    if (!gps_queue_.Front(&front)) break;
    out[i] = ConvertGps(*front);
    gps_queue_.Pop();
  }
  return i;
}

}  // namespace tarnlink
