// Frames out of a candump -L log or a pcap / pcapng capture, read forward
// once with bounded memory: what tarnlink play sends.
#ifndef TARNLINK_TOOLS_CLI_FRAME_INPUT_H_
#define TARNLINK_TOOLS_CLI_FRAME_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <string_view>

#include "tools/cli/frame_text.h"
#include "tools/cli/pcapng.h"

namespace tarnlink::cli {

struct InputFrame {
  std::string_view name;  // the interface as the input names it; valid until the next call
  Frame frame;
  uint64_t micros = 0;  // time stamp in microseconds (saturated)
};

enum class InputStatus {
  kFrame,  // *out holds the next frame
  kEnd,    // the input ended where it may
  kCut,    // the input ended inside a block or a line (a writer killed mid-write): *error says where
  kError,  // *error says where and why
};

// candump -L lines, one at a time. Empty and comment lines (#) are passed
// over, whatever their length; any other line longer than kMaxLine is
// refused before more of it is kept. A last line without its newline that
// is no frame is the cut of a killed writer.
class LogReader {
 public:
  static constexpr size_t kMaxLine = 65536;

  explicit LogReader(std::istream& in) : in_(in) {}
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  InputStatus Next(InputFrame* out, std::string* error);  // *error starts with "line N: "

 private:
  std::istream& in_;
  std::string line_;
  LogEntry entry_;
  uint64_t number_ = 0;
  uint64_t offset_ = 0;  // bytes consumed
};

// A log, or a capture when the input starts like one. The first bytes are
// read to tell them apart and the input is then read again from its start,
// so it must be seekable (a file, a copy of a pipe, a string).
class FileFrameReader {
 public:
  explicit FileFrameReader(std::istream& in);
  FileFrameReader(const FileFrameReader&) = delete;
  FileFrameReader& operator=(const FileFrameReader&) = delete;

  InputStatus Next(InputFrame* out, std::string* error);  // *error starts with "line N: " or "packet N: "
  bool capture() const { return capture_.has_value(); }

 private:
  std::optional<LogReader> log_;
  std::optional<CaptureReader> capture_;
  std::string failed_;  // the input could not be read again from its start
  CaptureRecord record_;
};

}  // namespace tarnlink::cli

#endif  // TARNLINK_TOOLS_CLI_FRAME_INPUT_H_
