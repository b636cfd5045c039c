// Frames read from several driver queues, put back in the order they arrived.
//
// Each channel has a CAN and a CAN FD queue, read one after the other. A
// frame can arrive in a queue already read in this pass while a later one
// is still being read: merging only what one pass read would then show the
// later frame first. The gateway's time stamps give the arrival order, so a
// frame is handed out once no frame still unread can precede it.
#ifndef TARNLINK_TOOLS_CLI_ARRIVAL_ORDER_H_
#define TARNLINK_TOOLS_CLI_ARRIVAL_ORDER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "tools/cli/frame_text.h"

namespace tarnlink::cli {

struct Received {
  uint32_t channel = 0;
  Frame frame;
  uint64_t gateway_stamp = 0;  // the gateway's own time stamp, unchanged
  std::chrono::system_clock::time_point host_time;
};

class ArrivalOrder {
 public:
  explicit ArrivalOrder(size_t queues) : queues_(queues) {}

  // A frame read from queue `q` in the current pass, in queue order.
  void Add(size_t q, const Received& r);

  // Ends a pass that read every queue until it came back empty. Appends,
  // oldest stamp first, every frame no unread frame can precede: all read
  // before this pass, and all read in it if it read nothing new. So a frame
  // waits at most one pass. Queue order is kept whatever the stamps do;
  // equal stamps go in queue order. Host times never run backwards. Returns
  // the number appended.
  size_t EndPass(std::vector<Received>* out);

  // Appends everything held, in the same order.
  size_t Flush(std::vector<Received>* out);

  size_t held() const { return held_; }

 private:
  size_t Emit(bool all, uint64_t bound, std::vector<Received>* out);
  // The current pass's highest stamp joins those read before it.
  void FoldPass();

  std::vector<std::deque<Received>> queues_;
  size_t held_ = 0;
  bool pass_read_ = false;
  bool any_before_ = false;
  uint64_t max_before_ = 0;  // highest stamp read before the current pass
  uint64_t max_in_pass_ = 0;
  std::chrono::system_clock::time_point last_host_{};
};

}  // namespace tarnlink::cli

#endif  // TARNLINK_TOOLS_CLI_ARRIVAL_ORDER_H_
