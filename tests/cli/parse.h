// A frame from cansend syntax, for tests that need one.
#ifndef TARNLINK_TESTS_CLI_PARSE_H_
#define TARNLINK_TESTS_CLI_PARSE_H_

#include <string>

#include "gtest/gtest.h"
#include "tools/cli/frame_text.h"

namespace tarnlink::cli::test {

inline Frame Parse(const std::string& text) {
  Frame f;
  std::string error;
  EXPECT_TRUE(ParseFrame(text, &f, &error)) << text << ": " << error;
  return f;
}

}  // namespace tarnlink::cli::test

#endif  // TARNLINK_TESTS_CLI_PARSE_H_
