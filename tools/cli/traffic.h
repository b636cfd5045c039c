// Moving frames through a session: reading the receive queues of every
// channel in arrival order, sending runs of mixed CAN and CAN FD frames, and the
// clock and formatting helpers the subcommands share.
#ifndef TARNLINK_TOOLS_CLI_TRAFFIC_H_
#define TARNLINK_TOOLS_CLI_TRAFFIC_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/cli/arrival_order.h"
#include "tools/cli/driver.h"
#include "tools/cli/frame_text.h"

namespace tarnlink::cli {

// Reads the CAN and CAN FD queues of a session's channels, without waiting,
// and hands their frames out in the order they arrived (see ArrivalOrder).
class FrameReader {
 public:
  explicit FrameReader(const Session& session);

  // One pass that empties every queue; appends the frames that are due.
  // Returns the number appended.
  size_t Poll(std::vector<Received>* out);
  // Appends every frame held.
  size_t Flush(std::vector<Received>* out) { return order_.Flush(out); }
  // One pass, then everything held: what is waiting now, ordered by the
  // gateway's time stamps. For callers that look for frames rather than log
  // them in order.
  size_t Drain(std::vector<Received>* out) {
    const size_t n = Poll(out);
    return n + Flush(out);
  }
  size_t held() const { return order_.held(); }

 private:
  void ReadPass();

  const Session& session_;
  ArrivalOrder order_;
  std::vector<VELA_CAN_RECEIVE> can_;
  std::vector<VELA_CANFD_RECEIVE> fd_;
};

// Error information waiting on a channel, as error frames (oldest first).
size_t DrainErrors(const Session& session, uint32_t channel, std::vector<Received>* out);

// Sends frames in order on one channel, consecutive frames of one kind in one
// driver call (the driver packs them 60 or 18 to a packet). Returns how many
// the driver accepted before the first refusal.
size_t SendFrames(const Session& session, uint32_t channel, const std::vector<Frame>& frames);

// Waits until the gateway has read everything sent before: one device
// information exchange, answered only after what preceded it on the stream.
// False when the gateway did not answer.
bool SyncWithGateway(const Session& session);

// Sleeps until t, in slices, so Ctrl-C ends a long gap; false when it did.
bool SleepUntilOrStop(std::chrono::steady_clock::time_point t);

// Seconds and microseconds of a wall-clock time.
void SplitTime(std::chrono::system_clock::time_point t, uint64_t* seconds, uint32_t* micros);

// "V1.00" from 0x0100.
std::string VersionText(uint16_t version);

}  // namespace tarnlink::cli

#endif  // TARNLINK_TOOLS_CLI_TRAFFIC_H_
