// candump's filter syntax and what it lets through.
#include "tools/cli/frame_filter.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/cli/parse.h"

namespace tarnlink::cli {
namespace {

using test::Parse;

std::vector<FrameFilter> Filters(const std::string& text) {
  std::vector<FrameFilter> out;
  std::string error;
  EXPECT_TRUE(ParseFilterList(text, &out, &error)) << text << ": " << error;
  return out;
}

TEST(FrameFilter, MaskSelectsIdentifiersAndTildeInverts) {
  const auto f = Filters("120:7F0");
  EXPECT_TRUE(FiltersPass(f, Parse("123#11")));
  EXPECT_TRUE(FiltersPass(f, Parse("12F#R")));
  EXPECT_FALSE(FiltersPass(f, Parse("130#11")));
  const auto not_f = Filters("120~7F0");
  EXPECT_FALSE(FiltersPass(not_f, Parse("123#11")));
  EXPECT_TRUE(FiltersPass(not_f, Parse("130#11")));
  // Several filters: any one passing is enough.
  const auto two = Filters("100:7FF,200:7FF");
  EXPECT_TRUE(FiltersPass(two, Parse("200#")));
  EXPECT_FALSE(FiltersPass(two, Parse("300#")));
  EXPECT_TRUE(FiltersPass({}, Parse("300#"))) << "no filter passes everything";
}

TEST(FrameFilter, FlagBitsInTheMaskTellFormatsAndRemoteFramesApart) {
  // Without flag bits in the mask a standard filter also passes the
  // extended frame with the same low bits, as in SocketCAN.
  EXPECT_TRUE(FiltersPass(Filters("123:7FF"), Parse("00000123#")));
  EXPECT_FALSE(FiltersPass(Filters("123:C00007FF"), Parse("00000123#")));
  EXPECT_FALSE(FiltersPass(Filters("123:C00007FF"), Parse("123#R")));
  EXPECT_TRUE(FiltersPass(Filters("123:C00007FF"), Parse("123#AA")));
  // Eight digits make the filter's identifier extended.
  EXPECT_TRUE(FiltersPass(Filters("18DAF100:9FFFFF00"), Parse("18DAF110##1AA")));
  EXPECT_FALSE(FiltersPass(Filters("18DAF100:9FFFFF00"), Parse("110#AA")));
  // Error frames are always shown.
  EXPECT_TRUE(FiltersPass(Filters("123:7FF"), Parse("20000004#0004000000000000")));
}

TEST(FrameFilter, MalformedFiltersAreRejected) {
  for (const char* bad : {"", "123", "123:", ":7FF", "12G:7FF", "123:7FF,", "123456789:1", "123-7FF"}) {
    std::vector<FrameFilter> out;
    std::string error;
    EXPECT_FALSE(ParseFilterList(bad, &out, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
    EXPECT_TRUE(out.empty()) << bad;
  }
}

}  // namespace
}  // namespace tarnlink::cli
