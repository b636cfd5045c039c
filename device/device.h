// One open gateway: settings, channel state, queues, requests, transport.
#ifndef TARNLINK_DEVICE_DEVICE_H_
#define TARNLINK_DEVICE_DEVICE_H_

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/autosend_lists.h"
#include "device/bounded_queue.h"
#include "device/models.h"
#include "device/request_table.h"
#include "device/shared_record.h"
#include "platform/thread_annotations.h"
#include "protocol/commands.h"
#include "protocol/dispatch.h"
#include "protocol/records.h"
#include "protocol/stream_parser.h"
#include "tarnlink/tarnlink.h"
#include "transport/service.h"

namespace tarnlink {

constexpr uint32_t kChannelSlots = 32;
constexpr int kRequestTimeoutMs = 1500;
constexpr int64_t kReceiveWindowMs = 1000;
constexpr size_t kMaxHostText = 31;  // dotted IPv4 text fits in 32 bytes

// "Vmm.nn" -> 0xMMNN.
uint16_t ParseVersion(const std::string& text);
// GPS data record -> application GPS record.
VELA_GPS ConvertGps(const _tagPacketDataGPS& record);

class Device final : private PacketSink {
 public:
  Device(uint32_t type, uint32_t index, uint32_t local_port);
  ~Device() override;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // Lifecycle.
  bool StartCAN(uint32_t channel);
  bool ResetCAN(uint32_t channel);
  // Set by the registry when the device is closed: blocking reads end now.
  void MarkClosed();

  // Receive entry of the transport: reassembly and dispatch.
  void OnReceive(const char* peer, ByteSpan bytes);

  uint32_t Transmit(uint32_t channel, const VELA_CAN_TRANSMIT* frames, uint32_t count);
  uint32_t TransmitFD(uint32_t channel, const VELA_CANFD_TRANSMIT* frames, uint32_t count);

  // Receive queues and status.
  uint32_t Receive(uint32_t channel, VELA_CAN_RECEIVE* out, uint32_t capacity, int32_t wait_ms);
  uint32_t ReceiveFD(uint32_t channel, VELA_CANFD_RECEIVE* out, uint32_t capacity, int32_t wait_ms);
  uint32_t GetReceiveNum(uint32_t channel, uint32_t kind) const;
  void ClearBuffer(uint32_t channel);
  bool ReadChannelErrInfo(uint32_t channel, VELA_CHANNEL_ERR_INFO* info);
  bool ReadChannelStatus(uint32_t channel, VELA_CHANNEL_STATUS* status) const;
  bool GetDeviceInf(VELA_DEVICE_INFO* info);

  // Reference keys (device/reference.cc).
  bool GetReference(uint32_t channel, uint32_t key, void* value);
  bool SetReference(uint32_t channel, uint32_t key, const void* value);

 private:
  // Request / response: the reference keys and GetDeviceInf ask, the sink
  // hands the answer back (device/request.cc).
  bool SendRequest(CommandMessage& request, CommandMessage* answer);
  void CompleteRequest(uint8_t sequence, CommandMessage&& answer);

  bool Shutdown();
  bool closed() const { return closed_.load(std::memory_order_acquire); }
  // The transport as it stands; empty when none. Shared so that a sender
  // never uses one that Shutdown is destroying.
  std::shared_ptr<IService> transport() const EXCLUDES(transport_mu_);

  // Timed send, behind the reference keys (device/transmit.cc).
  bool SendAutoSendEntry(uint32_t channel, const VELA_CAN_AUTOSEND* object);
  bool SendAutoSendEntry(uint32_t channel, const VELA_CANFD_AUTOSEND* object);
  bool AddAutoSendEntry(uint32_t channel, const VELA_CAN_AUTOSEND* object);
  bool AddAutoSendEntry(uint32_t channel, const VELA_CANFD_AUTOSEND* object);
  bool SendAutoSendList(uint32_t channel);
  bool StopAutoSendList(uint32_t channel);
  bool SetTransmitOption(uint32_t channel, const uint32_t* value);
  bool FetchAutoSendList(uint32_t channel, std::vector<AutoSendEntry>* entries);
  bool AutoSendCount(uint32_t channel, bool fd, uint32_t* count);
  bool CopyAutoSendEntries(uint32_t channel, bool fd, void* out);

  // Queues behind the reference keys (device/receive.cc).
  uint32_t ReadMarkers(uint32_t channel, uint64_t* out, uint32_t capacity, int32_t wait_ms);
  uint32_t ReadGps(VELA_GPS* out, uint32_t capacity, int32_t wait_ms);
  uint32_t GpsQueueSize() const { return static_cast<uint32_t>(gps_queue_.Size()); }
  bool SendNotice(uint64_t value);
  // Key VELA_REF_STATS: fills at most stats->size bytes; false when that is
  // less than the size field itself.
  bool ReadStats(VELA_STATS* stats) const;
  // Key VELA_REF_WAIT: the wait on several queues, and its end on demand.
  bool WaitForQueues(VELA_WAIT* wait) EXCLUDES(wait_mu_);
  void EndQueueWaits() EXCLUDES(wait_mu_);

  struct ChannelReportSlot {
    VELA_CHANNEL_REPORT record{};
    bool fresh = false;
  };
  struct DeviceTextSlot {
    std::string text;
    bool fresh = false;
  };
  struct ChannelStatusBytes {
    std::atomic<uint8_t> detail1{0};
    std::atomic<uint8_t> detail2{0};
  };

  bool valid_channel(uint32_t channel) const { return channel < channel_count_; }
  bool channel_started(uint32_t channel) const { return (started_.load(std::memory_order_acquire) >> channel) & 1u; }
  bool InsideReceiveWindow() const;
  // Waits as the read functions promise; ends early once the device closes.
  template <typename Queue>
  void WaitForData(Queue& queue, int32_t wait_ms) const;
  // Fills the ready masks of a VELA_REF_WAIT; true when one is not zero.
  bool QueuesReady(VELA_WAIT* wait) const;
  // After the receive thread queued a packet's records: wakes the waits of
  // key VELA_REF_WAIT, if any.
  void WakeQueueWaits() EXCLUDES(wait_mu_);
  bool SendPacket(ByteSpan bytes);
  bool SimpleCommand(CommandCode code, std::vector<uint8_t> body, CommandMessage* answer);
  bool ReadChannelReport(uint32_t channel, VELA_CHANNEL_REPORT* out);
  bool DeviceQuery(uint32_t type, VELA_TEXT_READ* record);

  // What dispatched packets cause (device/sink.cc).
  void OnCanRecords(CanRecords records) override;
  void OnCanFdRecords(CanFdRecords records) override;
  void OnGpsRecords(GpsRecords records) override;
  void OnChannelReport(const VELA_CHANNEL_REPORT& report) override;
  void OnDeviceText(uint8_t slot, ByteSpan text) override;
  void OnAnswer(uint8_t sequence, CommandMessage&& answer) override;
  void OnRequest(uint8_t sequence, const CommandMessage& request) override;
  void OnNotice(uint8_t flags) override;
  void StoreErrorFrame(uint8_t channel, const _tagPacketDataCAN& record);

  // After a large fill has drained from every queue, the record pools give
  // their memory back (a reserve kept).
  void TrimPoolsIfDrained() EXCLUDES(pool_mu_);
  void TrimPools(size_t keep_slabs) REQUIRES(pool_mu_);
  // The pools' sizes, read without pool_mu_ (capacity() is any thread's).
  size_t PoolCapacity() const NO_THREAD_SAFETY_ANALYSIS;
  static constexpr size_t kTrimAboveRecords = size_t{64} * 1024;
  static constexpr size_t kKeepPoolSlabs = 8;
  void NoteFrameTime(uint64_t gateway_stamp);

  // Identity and connection settings (plain members: set before a start).
  const uint32_t type_;
  const uint32_t index_;
  uint32_t channel_count_ = kUnknownModel.channels;
  std::string model_name_ = kUnknownModel.name;
  uint32_t work_mode_ = 0;
  std::string remote_address_;
  uint16_t remote_port_ = 0;
  uint16_t local_port_ = 0;
  uint32_t multicast_loopback_ = 1;

  // Channel state, read by the receive thread.
  std::atomic<uint32_t> started_{0};
  std::atomic<uint64_t> start_time_{0};
  std::atomic<bool> closed_{false};

  // Receive side. The pools are taken from on the receive thread only and
  // outlive the queues that hold their records.
  // Held by the receive thread while it takes records, and by a trim.
  Mutex pool_mu_;
  RecordPool<_tagPacketDataCAN> can_pool_ GUARDED_BY(pool_mu_);
  RecordPool<_tagPacketDataCANFD> canfd_pool_ GUARDED_BY(pool_mu_);
  std::array<BoundedQueue<SharedRecord<_tagPacketDataCAN>>, kChannelSlots> can_queues_;
  std::array<BoundedQueue<SharedRecord<_tagPacketDataCANFD>>, kChannelSlots> canfd_queues_;
  BoundedQueue<std::shared_ptr<const _tagPacketDataGPS>> gps_queue_;
  std::array<BoundedQueue<std::shared_ptr<const VELA_CHANNEL_ERR_INFO>>, kChannelSlots> err_queues_;
  std::array<ChannelStatusBytes, kChannelSlots> status_;
  std::array<BoundedQueue<uint64_t>, kChannelSlots> marker_queues_;
  // The waits of key VELA_REF_WAIT: queue_waiters_ is raised before a wait
  // looks at the queues, and read (by a read-modify-write) after a push, so
  // that the receive thread takes wait_mu_ only when someone waits.
  Mutex wait_mu_;
  std::condition_variable wait_cv_;
  uint64_t wait_ends_ GUARDED_BY(wait_mu_) = 0;
  std::atomic<uint32_t> queue_waiters_{0};

  // Timed send: the host's lists and the read-back cache, with its own lock.
  AutoSendLists autosend_;

  // Set while one StartCAN makes the transport; other starts wait for it.
  Mutex start_mu_;
  std::condition_variable start_cv_;
  bool starting_ GUARDED_BY(start_mu_) = false;

  mutable Mutex transport_mu_;
  std::shared_ptr<IService> transport_ GUARDED_BY(transport_mu_);

  // Statistics: relaxed counters, written without a lock. The link counters
  // outlive each transport, which counts into them.
  StreamCounters stream_counters_;
  std::shared_ptr<LinkCounters> link_counters_ = std::make_shared<LinkCounters>();
  std::atomic<uint64_t> requests_sent_{0};
  std::atomic<uint64_t> requests_answered_{0};
  std::atomic<uint64_t> requests_timed_out_{0};
  std::atomic<uint64_t> late_answers_{0};
  std::atomic<uint64_t> requests_delayed_{0};
  std::atomic<uint64_t> requests_refused_{0};
  std::atomic<uint64_t> last_frame_time_{0};
  std::atomic<uint64_t> last_frame_stamp_{0};

  // Only the transport's receive thread touches these.
  PacketReassembly reassembly_{&stream_counters_};

  // Slots written by the dispatcher and read by application threads.
  Mutex slots_mu_;
  std::array<ChannelReportSlot, kChannelSlots> reports_ GUARDED_BY(slots_mu_);
  std::array<std::atomic<uint8_t>, kChannelSlots> tx_option_{};
  std::array<DeviceTextSlot, 4> texts_ GUARDED_BY(slots_mu_);

  // Request numbering and the outstanding requests.
  RequestTable requests_{std::chrono::milliseconds(kRequestTimeoutMs)};
};

}  // namespace tarnlink

#endif  // TARNLINK_DEVICE_DEVICE_H_
