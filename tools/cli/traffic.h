// Moving frames through a session: draining the receive queues of every
// channel in one pass, sending runs of mixed CAN and CAN FD frames, and the
// clock and formatting helpers the subcommands share.
#ifndef TARNLINK_TOOLS_CLI_TRAFFIC_H_
#define TARNLINK_TOOLS_CLI_TRAFFIC_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/cli/driver.h"
#include "tools/cli/frame_text.h"

namespace tarnlink::cli {

struct Received {
  uint32_t channel = 0;
  Frame frame;
  uint64_t gateway_stamp = 0;  // the gateway's own time stamp, unchanged
  std::chrono::system_clock::time_point host_time;
};

// Takes what is waiting in the CAN and CAN FD queues of the session's
// channels (at most `max`), without waiting, ordered by the gateway's time
// stamp within the pass (stable, so equal stamps keep queue order). Returns
// the number appended.
size_t DrainFrames(const Session& session, size_t max, std::vector<Received>* out);

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

// Seconds and microseconds of a wall-clock time.
void SplitTime(std::chrono::system_clock::time_point t, uint64_t* seconds, uint32_t* micros);

// "V1.00" from 0x0100.
std::string VersionText(uint16_t version);

}  // namespace tarnlink::cli

#endif  // TARNLINK_TOOLS_CLI_TRAFFIC_H_
