// The driver's counters (key VELA_REF_STATS) as the tool reports them.
#ifndef TARNLINK_TOOLS_CLI_STATS_H_
#define TARNLINK_TOOLS_CLI_STATS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tools/cli/driver.h"

namespace tarnlink::cli {

// The counters of the session's device; false when the driver has none.
bool ReadStats(const Session& session, VELA_STATS* out);
// 1234567 -> "1,234,567".
std::string Grouped(uint64_t n);

// Loss on the channels of a session: what was dropped at the queue limit.
class LossWatch {
 public:
  explicit LossWatch(const Session& session) : session_(session) {}
  // One line per channel with drops since the last call
  // ("ch0: 1,234 frames dropped at the queue limit").
  std::vector<std::string> Poll();
  // All the loss since the session opened, for an end summary; empty when none.
  std::vector<std::string> Summary() const;

 private:
  const Session& session_;
  VELA_STATS last_{};
};

}  // namespace tarnlink::cli

#endif  // TARNLINK_TOOLS_CLI_STATS_H_
