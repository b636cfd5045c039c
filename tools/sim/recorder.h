// What the driver sent, as the gateway saw it: the packets in arrival order,
// the decoded frames, the notices, the answers awaited by RequestFromHost,
// and the change count every wait of the gateway wakes on.
#ifndef TARNLINK_TOOLS_SIM_RECORDER_H_
#define TARNLINK_TOOLS_SIM_RECORDER_H_

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/sim/context.h"

namespace tarnlink::sim {

class Recorder {
 public:
  // A RequestFromHost waiting for its answer (lives on its caller's stack).
  struct Awaited {
    uint8_t sequence = 0;
    uint8_t message_id = 0;
    std::optional<HostPacket> answer;
  };

  explicit Recorder(const Context& ctx) : ctx_(ctx) {}

  // Each entry point records the packet, whatever else it notes, then wakes
  // the waiters once: a waiter that sees the packet sees the rest as well.
  // With record_limit 0 the packet is still numbered and counted.
  void Record(const std::string& peer, const std::vector<uint8_t>& packet);
  // A data packet and its frames (their packet_serial is filled in here).
  void RecordFrames(const std::string& peer, const std::vector<uint8_t>& packet, std::vector<HostFrame>& frames);
  void RecordNotice(const std::string& peer, const std::vector<uint8_t>& packet, uint64_t value);
  // A command answer: recorded and handed to the RequestFromHost waiting for it.
  void RecordAnswer(const std::string& peer, const std::vector<uint8_t>& packet);

  // Wakes every wait to look again.
  void Bump();
  // While not running, RequestFromHost waits end.
  void SetRunning(bool running);
  bool running() const;

  // Registered before the request leaves, so that no answer can come first.
  void Await(Awaited* waiting);
  // Waits for the answer (or Stop) up to timeout, then unregisters.
  std::optional<HostPacket> TakeAnswer(Awaited* waiting, std::chrono::milliseconds timeout, bool wait);

  std::vector<HostPacket> Packets() const;
  std::vector<HostPacket> Packets(uint8_t type) const;
  size_t PacketCount(uint8_t type) const;
  size_t PacketCount() const;
  bool WaitForPackets(uint8_t type, size_t count, std::chrono::milliseconds timeout) const;
  // pred runs outside the lock, so it may call any function of the gateway.
  bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) const;
  std::vector<HostFrame> FramesFromHost() const;
  std::vector<uint64_t> NoticesFromHost() const;
  void Clear();

 private:
  uint64_t RecordLocked(const std::string& peer, const std::vector<uint8_t>& packet);
  void BumpLocked();

  const Context& ctx_;
  mutable std::mutex mu_;
  mutable std::condition_variable changed_;
  // All guarded by mu_.
  uint64_t change_seq_ = 0;
  bool running_ = false;
  std::deque<HostPacket> packets_;
  std::deque<HostFrame> frames_;
  std::deque<uint64_t> notices_;
  std::vector<Awaited*> awaited_;
  std::array<size_t, 256> type_counts_{};
  size_t total_count_ = 0;
  uint64_t next_serial_ = 0;
};

}  // namespace tarnlink::sim

#endif  // TARNLINK_TOOLS_SIM_RECORDER_H_
