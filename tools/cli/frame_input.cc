#include "tools/cli/frame_input.h"

#include <streambuf>

namespace tarnlink::cli {

InputStatus LogReader::Next(InputFrame* out, std::string* error) {
  std::streambuf* buf = in_.rdbuf();
  for (;;) {
    line_.clear();
    bool any = false;
    bool newline = false;
    bool too_long = false;
    bool nul = false;
    for (int c = buf->sbumpc(); c != std::streambuf::traits_type::eof(); c = buf->sbumpc()) {
      any = true;
      ++offset_;
      if (c == '\n') {
        newline = true;
        break;
      }
      nul = nul || c == '\0';
      if (line_.size() < kMaxLine) {
        line_ += static_cast<char>(c);
      } else {
        too_long = true;
      }
    }
    if (!any) return InputStatus::kEnd;
    ++number_;
    const std::string where = "line " + std::to_string(number_) + ": ";
    const size_t start = line_.find_first_not_of(" \t\r");
    if (start != std::string::npos && line_[start] == '#') continue;
    std::string why;
    if (too_long) {
      why = "longer than " + std::to_string(kMaxLine) + " bytes";
    } else if (nul) {
      // A NUL would cut the line short wherever it is shown, the message too.
      why = "holds a NUL byte";
    } else if (start == std::string::npos) {
      continue;
    } else if (ParseLogLine(line_, &entry_, &why)) {
      const uint64_t us_max = (UINT64_MAX - entry_.micros) / 1000000;
      out->name = entry_.name;
      out->frame = entry_.frame;
      out->micros = entry_.seconds > us_max ? UINT64_MAX : entry_.seconds * 1000000 + entry_.micros;
      return InputStatus::kFrame;
    }
    if (!newline) {
      *error = "cut short at byte " + std::to_string(offset_) + ", inside line " + std::to_string(number_);
      return InputStatus::kCut;
    }
    *error = where + why;
    return InputStatus::kError;
  }
}

FileFrameReader::FileFrameReader(std::istream& in) {
  char magic[4] = {};
  const std::streamsize got = in.rdbuf()->sgetn(magic, sizeof(magic));
  const bool capture = got == sizeof(magic) && LooksLikeCapture(std::string_view(magic, sizeof(magic)));
  if (in.rdbuf()->pubseekpos(0, std::ios::in) != std::streampos(0)) {
    failed_ = "cannot read the input again from its start";
  } else if (capture) {
    capture_.emplace(in);
  } else {
    log_.emplace(in);
  }
}

InputStatus FileFrameReader::Next(InputFrame* out, std::string* error) {
  if (!failed_.empty()) {
    *error = failed_;
    return InputStatus::kError;
  }
  if (log_) return log_->Next(out, error);
  std::string why;
  switch (capture_->Next(&record_, &why)) {
    case CaptureReader::Status::kRecord:
      out->name = record_.name;
      out->frame = record_.frame;
      out->micros = record_.micros;
      return InputStatus::kFrame;
    case CaptureReader::Status::kEnd:
      return InputStatus::kEnd;
    case CaptureReader::Status::kCut:
      *error = why;
      return InputStatus::kCut;
    case CaptureReader::Status::kError:
      break;
  }
  *error = why;
  return InputStatus::kError;
}

}  // namespace tarnlink::cli
