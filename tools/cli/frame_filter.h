// candump's receive filters, for dump.
#ifndef TARNLINK_TOOLS_CLI_FRAME_FILTER_H_
#define TARNLINK_TOOLS_CLI_FRAME_FILTER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/cli/frame_text.h"

namespace tarnlink::cli {

// <id>:<mask> passes a frame whose identifier word, masked, equals the
// filter's; <id>~<mask> passes every other frame. The identifier word holds
// the extended and remote flags in SocketCAN's bits, so 123:C00007FF passes
// only the standard data frame 123. An identifier of eight digits is
// extended, as in candump.
struct FrameFilter {
  uint32_t id = 0;
  uint32_t mask = 0;
  bool invert = false;
};

// Comma-separated filters, e.g. "123:7FF,18DAF100:1FFFFF00"; appended to out.
bool ParseFilterList(std::string_view text, std::vector<FrameFilter>* out, std::string* error);

// No filters pass everything; otherwise a frame passes when one filter
// passes it. Error frames are shown whatever the filters, as error
// information is not a frame on the bus.
bool FiltersPass(const std::vector<FrameFilter>& filters, const Frame& frame);

}  // namespace tarnlink::cli

#endif  // TARNLINK_TOOLS_CLI_FRAME_FILTER_H_
