// Logs and captures read the way play reads them: line and block bounds,
// cuts, the kind told by the first bytes.
#include "tools/cli/frame_input.h"

#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/cli/parse.h"

namespace tarnlink::cli {
namespace {

using test::Parse;

struct Outcome {
  std::vector<std::string> frames;  // "name frame micros"
  InputStatus end;
  std::string error;
};

Outcome ReadAll(const std::string& bytes) {
  std::istringstream in(bytes);
  FileFrameReader reader(in);
  Outcome o;
  InputFrame f;
  while ((o.end = reader.Next(&f, &o.error)) == InputStatus::kFrame) {
    o.frames.push_back(std::string(f.name) + " " + LogText(f.frame) + " " + std::to_string(f.micros));
  }
  return o;
}

TEST(LogReader, LinesAreBoundedCommentsAreNot) {
  const std::string big_comment = "# " + std::string(200000, 'c') + "\n";
  Outcome o = ReadAll("\n" + big_comment + "  \t\r\n(1700000000.000001) can0 123#01\n");
  EXPECT_EQ(o.end, InputStatus::kEnd) << o.error;
  EXPECT_EQ(o.frames, std::vector<std::string>{"can0 123#01 1700000000000001"});
  o = ReadAll("(1.000000) ch0 123#01\n(1.000000) " + std::string(70000, 'x') + " 123#01\n(2.000000) ch0 123#01\n");
  EXPECT_EQ(o.end, InputStatus::kError);
  EXPECT_EQ(o.error, "line 2: longer than 65536 bytes");
  o = ReadAll("(1.000000) ch0 1" + std::string(1, '\0') + "23#01\n");
  EXPECT_EQ(o.error, "line 1: holds a NUL byte");
  // What a message quotes of a line is bounded and printable (found by fuzz_play_input).
  o = ReadAll("(1" + std::string(1000, '\xFF') + ".000000) ch0 123#01\n(1.000000) ch0 12\x1B#01\n");
  std::string quoted = "'1";
  for (int i = 0; i < 39; ++i) quoted += "\\xFF";
  EXPECT_EQ(o.error, "line 1: time stamp " + quoted + "...' (1008 bytes) is not seconds.microseconds");
  o = ReadAll("(1.000000) ch0 12\x1B#01\n");
  EXPECT_EQ(o.error, "line 1: '\\x1B' is not a hex digit");
  // Seconds beyond 2^64 microseconds: saturated, not wrapped.
  o = ReadAll("(9999999999999999999.999999) ch0 123#01\n");
  EXPECT_EQ(o.frames, std::vector<std::string>{"ch0 123#01 18446744073709551615"});
}

TEST(LogReader, APartialLastLineIsACutAWholeOneIsAFrame) {
  const std::string two = "(1.000000) ch0 123#01\n(2.000000) ch0 124#02";
  Outcome o = ReadAll(two);  // no newline at the end, but whole
  EXPECT_EQ(o.end, InputStatus::kEnd);
  EXPECT_EQ(o.frames.size(), 2u);
  o = ReadAll(two.substr(0, two.size() - 1));
  EXPECT_EQ(o.end, InputStatus::kCut);
  EXPECT_EQ(o.frames.size(), 1u);
  EXPECT_EQ(o.error, "cut short at byte 42, inside line 2");
  // The same damage before the end is an error, not a cut.
  o = ReadAll(two.substr(0, two.size() - 1) + "\n(3.000000) ch0 125#03\n");
  EXPECT_EQ(o.end, InputStatus::kError);
  EXPECT_EQ(o.error, "line 2: data bytes need two hex digits each");
}

TEST(FileFrameReader, CapturesAreToldFromLogsByTheirFirstBytes) {
  const PcapngWriter writer({1});
  std::string capture;
  writer.AppendHeader(&capture);
  writer.AppendFrame(1, Parse("12345678#R"), 5, &capture);
  Outcome o = ReadAll(capture);
  EXPECT_EQ(o.end, InputStatus::kEnd) << o.error;
  EXPECT_EQ(o.frames, std::vector<std::string>{"ch1 12345678#R 5"});
  // A log may start with the same byte as a section header (an empty line).
  o = ReadAll("\n\r\n(1.000000) ch0 123#01\n");
  EXPECT_EQ(o.frames, std::vector<std::string>{"ch0 123#01 1000000"});
  o = ReadAll("");
  EXPECT_EQ(o.end, InputStatus::kEnd);
  EXPECT_TRUE(o.frames.empty());
}

}  // namespace
}  // namespace tarnlink::cli
