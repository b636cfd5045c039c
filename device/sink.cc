// The device as the dispatcher's sink: what each received packet causes.
// Data records are sorted here, by channel and kind, into the receive
// queues, each decoded once straight into the pooled record a queue keeps.
#include <memory>
#include <string>
#include <utility>

#include "device/device.h"

namespace tarnlink {
namespace {

// The frames of one data packet bound for the channel queues, pushed with
// one lock per queue instead of one per frame. The owner flushes before it
// pushes anywhere else (an error frame, a marker), so every queue, and the
// order between them, sees the records in packet order.
template <typename Record, size_t kCapacity>
class FrameBatch {
 public:
  using Ptr = SharedRecord<Record>;

  template <typename Queues>
  void Add(uint8_t channel, Ptr record, Queues& queues) {
    if (n_ == kCapacity) Flush(queues);
    items_[n_] = std::move(record);
    channels_[n_] = channel;
    mask_ |= 1u << channel;
    ++n_;
  }

  template <typename Queues>
  void Flush(Queues& queues) {
    if (n_ == 0) return;
    if ((mask_ & (mask_ - 1)) == 0) {
      queues[channels_[0]].PushBatch(items_, n_);
    } else {
      // Several channels in one packet: each queue gets its own run, in order.
      for (uint32_t left = mask_; left != 0; left &= left - 1) {
        const auto channel = static_cast<uint8_t>(__builtin_ctz(left));
        Ptr run[kCapacity];
        size_t k = 0;
        for (size_t i = 0; i < n_; ++i) {
          if (channels_[i] == channel) run[k++] = std::move(items_[i]);
        }
        queues[channel].PushBatch(run, k);
      }
    }
    n_ = 0;
    mask_ = 0;
  }

 private:
  Ptr items_[kCapacity];
  uint8_t channels_[kCapacity];
  size_t n_ = 0;
  uint32_t mask_ = 0;  // channels present among the first n_ items
};

using CanBatch = FrameBatch<_tagPacketDataCAN, kMaxCanPerPacket>;
using CanFdBatch = FrameBatch<_tagPacketDataCANFD, kMaxCanFdPerPacket>;

}  // namespace

void Device::OnReceive(const char* peer, ByteSpan bytes) { reassembly_.Feed(peer, bytes, *this); }

void Device::StoreErrorFrame(uint8_t channel, const _tagPacketDataCAN& record) {
  const VELA_CHANNEL_ERR_INFO info = MakeErrorInfo(record);
  err_queues_[channel].Push(std::make_shared<const VELA_CHANNEL_ERR_INFO>(info));
  status_[channel].detail1.store(info.detail[1], std::memory_order_relaxed);
  status_[channel].detail2.store(info.detail[2], std::memory_order_relaxed);
}

void Device::OnCanRecords(CanRecords records) {
  {
    MutexLock pools(pool_mu_);
    const bool inside_window = InsideReceiveWindow();
    uint64_t last_stamp = 0;
    bool kept = false;
    CanBatch batch;
    for (uint32_t i = 0; i < records.size(); ++i) {
      const CanRecordView view = records[i];
      const uint8_t channel = view.channel();
      if (!valid_channel(channel)) continue;
      if (!channel_started(channel) && !inside_window) continue;
      const _tagPacketDataCAN record = view.Decode();
      kept = true;
      last_stamp = record.timestamp;
      if (record.flags & kFlagError) {
        batch.Flush(can_queues_);
        StoreErrorFrame(channel, record);
      } else if (record.flags & kFlagMarker) {
        batch.Flush(can_queues_);
        marker_queues_[channel].Push(record.timestamp);
      } else {
        batch.Add(channel, CanBatch::Ptr::Make(can_pool_, record), can_queues_);
      }
    }
    batch.Flush(can_queues_);
    if (kept) NoteFrameTime(last_stamp);
  }
  WakeQueueWaits();  // after the pool lock: a waiter reads the queues
}

void Device::OnCanFdRecords(CanFdRecords records) {
  {
    MutexLock pools(pool_mu_);
    const bool inside_window = InsideReceiveWindow();
    uint64_t last_stamp = 0;
    bool kept = false;
    CanBatch classic;
    CanFdBatch fd;
    for (uint32_t i = 0; i < records.size(); ++i) {
      const CanFdRecordView view = records[i];
      const uint8_t channel = view.channel();
      if (!valid_channel(channel)) continue;
      if (!channel_started(channel) && !inside_window) continue;
      kept = true;
      last_stamp = view.timestamp();
      const uint16_t flags = view.flags();
      if (flags & (kFlagError | kFlagMarker) || !(flags & kFlagFd)) {
        const _tagPacketDataCAN record = view.DecodeCan();
        if (flags & (kFlagError | kFlagMarker)) {
          classic.Flush(can_queues_);
          fd.Flush(canfd_queues_);
        }
        if (flags & kFlagError) {
          StoreErrorFrame(channel, record);
        } else if (flags & kFlagMarker) {
          marker_queues_[channel].Push(record.timestamp);
        } else {
          classic.Add(channel, CanBatch::Ptr::Make(can_pool_, record), can_queues_);
        }
        continue;
      }
      // Decoded straight into the one shared record the queue keeps.
      fd.Add(channel, CanFdBatch::Ptr::MakeWith(canfd_pool_, [view] { return view.Decode(); }), canfd_queues_);
    }
    classic.Flush(can_queues_);
    fd.Flush(canfd_queues_);
    if (kept) NoteFrameTime(last_stamp);
  }
  WakeQueueWaits();  // after the pool lock: a waiter reads the queues
}

void Device::OnGpsRecords(GpsRecords records) {
  for (uint32_t i = 0; i < records.size(); ++i) {
    gps_queue_.Push(std::make_shared<const _tagPacketDataGPS>(records[i].Decode()));
  }
}

void Device::OnAnswer(uint8_t sequence, CommandMessage&& answer) { CompleteRequest(sequence, std::move(answer)); }

void Device::OnRequest(uint8_t sequence, const CommandMessage& request) {
  SendPacket(EncodeAnswer(EmulatedDeviceAnswers(request), sequence));
}

void Device::OnNotice(uint8_t flags) { SendPacket(EncodeNoticeAck(flags)); }

void Device::OnChannelReport(const VELA_CHANNEL_REPORT& record) {
  if (!valid_channel(record.channel)) return;
  MutexLock lock(slots_mu_);
  reports_[record.channel].record = record;
  reports_[record.channel].fresh = true;
}

void Device::OnDeviceText(uint8_t slot, ByteSpan payload) {
  if (slot < 1 || slot > 4) return;
  std::string text(payload.chars(), payload.size());
  MutexLock lock(slots_mu_);
  texts_[slot - 1].text.swap(text);
  texts_[slot - 1].fresh = true;
}

}  // namespace tarnlink
