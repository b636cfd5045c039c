// Runs the pcap / pcapng reader on arbitrary files. Every record it hands
// out is a frame as a log could hold it and goes back into the same bytes;
// a file cut one byte short reads as the same records up to the cut.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tools/cli/pcapng.h"

namespace {

using tarnlink::cli::CaptureReader;
using tarnlink::cli::CaptureRecord;
using tarnlink::cli::Frame;

void CheckFrame(const Frame& f) {
  if (f.fd) {
    CHECK(!f.remote() && !f.error() && f.len <= tarnlink::cli::kCanFdMaxLen);
    CHECK(tarnlink::cli::FdLengthRoundUp(f.len) == f.len);
  } else {
    CHECK(f.len <= tarnlink::cli::kCanMaxLen);
  }
  CHECK(f.extended() || f.error() || f.identifier() <= 0x7FF);
  std::string record;
  tarnlink::cli::AppendSocketCanRecord(f, &record);
  Frame back;
  CHECK(tarnlink::cli::ParseSocketCanRecord(reinterpret_cast<const uint8_t*>(record.data()), record.size(), &back));
  CHECK(back == f);
}

struct Outcome {
  std::vector<std::string> records;  // name, then the frame's text
  CaptureReader::Status end;
};

Outcome Read(const std::string& bytes) {
  std::istringstream in(bytes);
  CaptureReader reader(in);
  Outcome o;
  CaptureRecord r;
  for (;;) {
    std::string error;
    o.end = reader.Next(&r, &error);
    if (o.end != CaptureReader::Status::kRecord) {
      CHECK((o.end == CaptureReader::Status::kEnd) == error.empty());
      // A message quotes nothing of the file at length.
      CHECK(error.size() < 200);
      return o;
    }
    CHECK(error.empty() && !r.name.empty());
    CheckFrame(r.frame);
    o.records.push_back(std::string(r.name) + " " + tarnlink::cli::LogText(r.frame));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const Outcome whole = Read(bytes);
  if (size > 0) {
    const Outcome cut = Read(bytes.substr(0, size - 1));
    CHECK(cut.records.size() <= whole.records.size());
    for (size_t i = 0; i < cut.records.size(); ++i) CHECK(cut.records[i] == whole.records[i]);
  }
  return 0;
}
