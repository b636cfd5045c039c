// The traffic generator: one thread per channel that sends numbered frames
// at a rate, or as fast as the link takes them, in full packets.
#ifndef TARNLINK_TOOLS_SIM_TRAFFIC_H_
#define TARNLINK_TOOLS_SIM_TRAFFIC_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/sim/context.h"
#include "tools/sim/link.h"
#include "tools/sim/recorder.h"

namespace tarnlink::sim {

// The lengths a generator cycles through, in rising order, never empty.
std::vector<uint8_t> TrafficLengths(const TrafficSpec& plan);

class TrafficGenerator {
 public:
  TrafficGenerator(Context& ctx, Link& link, Recorder& recorder) : ctx_(ctx), link_(link), recorder_(recorder) {}
  ~TrafficGenerator() { StopAll(); }
  TrafficGenerator(const TrafficGenerator&) = delete;
  TrafficGenerator& operator=(const TrafficGenerator&) = delete;

  void Start(const TrafficSpec& plan);
  uint64_t Stop(uint8_t channel);
  void StopAll();
  uint64_t Sent(uint8_t channel) const;
  // No generator on the channel, or its total is sent.
  bool Done(uint8_t channel) const;

 private:
  struct Run {
    TrafficSpec plan;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::atomic<uint64_t> sent{0};
    std::mutex mu;
    std::condition_variable cv;
  };

  void Loop(Run* run);

  Context& ctx_;
  Link& link_;
  Recorder& recorder_;
  mutable std::mutex mu_;
  std::map<uint8_t, std::unique_ptr<Run>> runs_;  // guarded by mu_
};

}  // namespace tarnlink::sim

#endif  // TARNLINK_TOOLS_SIM_TRAFFIC_H_
