// The modelled device: what it answers (identity, queries, sizes, channel
// actions, scripted answers), the timed entries it holds and sends, and
// where a transmitted frame goes (the echo of each channel, or the bus
// model with its wired channels). It acts on every packet the link hands it; its timer
// thread sends the timed frames and the delayed answers.
#ifndef TARNLINK_TOOLS_SIM_DEVICE_MODEL_H_
#define TARNLINK_TOOLS_SIM_DEVICE_MODEL_H_

#include <array>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/sim/context.h"
#include "tools/sim/link.h"
#include "tools/sim/recorder.h"

namespace tarnlink::sim {

class DeviceModel {
 public:
  DeviceModel(Context& ctx, Link& link, Recorder& recorder);
  ~DeviceModel();
  DeviceModel(const DeviceModel&) = delete;
  DeviceModel& operator=(const DeviceModel&) = delete;

  // The link's packet handler (I/O thread).
  void HandlePacket(int conn_id, const std::string& peer, const std::vector<uint8_t>& packet);

  void StartTimer();
  // Joins the timer thread and forgets delayed answers.
  void StopTimer();

  void SetIdentity(const DeviceIdentity& identity);
  void SetQueryText(int type, const std::string& text);
  void SetSizeRemain(int64_t size, int64_t remain);
  void SetChannelActionResult(uint8_t result);
  void SetEcho(uint8_t channel, bool on);
  void ScriptAnswer(uint8_t code, const AnswerScript& script);
  void ClearScripts();
  std::vector<WireAutoSendEntry> AutoSendTable(uint8_t channel) const;
  void SetAutoSendTable(uint8_t channel, const std::vector<WireAutoSendEntry>& entries);
  uint64_t AutoSendTransmissions(uint8_t channel, uint8_t index) const;

 private:
  struct HeldEntry {
    WireAutoSendEntry entry;
    Clock::time_point next_due;
    uint64_t transmissions = 0;
    int owner = Link::kNobody;  // the connection that set it
  };
  // Frames bound for the link, gathered under mu_ and sent outside it: to
  // every connection, or to every one but a sender.
  struct Outbox {
    std::vector<WireFrame> all;
    std::map<int, std::vector<WireFrame>> others;
  };
  struct Delayed {
    Clock::time_point due;
    int conn_id;
    std::vector<uint8_t> bytes;
  };

  void OnFrames(int conn_id, const std::string& peer, const std::vector<uint8_t>& packet, bool fd_packet,
                const uint8_t* payload, size_t n);
  void OnAutoSend(int conn_id, const std::string& peer, const std::vector<uint8_t>& packet, const uint8_t* payload,
                  size_t n);
  // Where a frame connection `from` transmits goes (mu_ held).
  void RouteLocked(const WireFrame& frame, int from, Outbox* out) const;
  void Send(const Outbox& out);
  void OnRequest(int conn_id, uint8_t flags, const uint8_t* payload, size_t n);
  void OnNotice(int conn_id, const std::string& peer, const std::vector<uint8_t>& packet);
  std::string AutoSendReadAnswerLocked(int64_t channel, int64_t offset, int64_t num) const;
  void TimerLoop();

  Context& ctx_;
  Link& link_;
  Recorder& recorder_;

  mutable std::mutex mu_;
  std::condition_variable timer_cv_;
  // All guarded by mu_.
  bool stopping_timer_ = false;
  DeviceIdentity identity_;
  std::array<std::string, 5> query_texts_;
  int64_t size_value_ = 1;
  int64_t remain_value_ = 1;
  uint8_t channel_action_result_ = 1;
  std::array<bool, kMaxChannels> echo_{};
  // Bus model: per channel, the other channels wired to it (fixed).
  std::array<uint32_t, kMaxChannels> wired_{};
  std::map<uint8_t, AnswerScript> scripts_;
  std::array<std::map<uint8_t, HeldEntry>, kMaxChannels> autosend_;
  std::vector<Delayed> delayed_;

  std::thread timer_thread_;
};

}  // namespace tarnlink::sim

#endif  // TARNLINK_TOOLS_SIM_DEVICE_MODEL_H_
