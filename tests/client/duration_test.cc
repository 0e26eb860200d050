// Durations as a client's command line takes them.
#include "client/duration.h"

#include <gtest/gtest.h>

namespace tarnwel {
namespace {

TEST(DurationTest, DurationsTakeUnitsAsSshAddDoes) {
  EXPECT_EQ(parse_duration("90"), 90u);
  EXPECT_EQ(parse_duration("90s"), 90u);
  EXPECT_EQ(parse_duration("30m"), 1800u);
  EXPECT_EQ(parse_duration("8H"), 28800u);
  EXPECT_EQ(parse_duration("2d"), 172800u);
  EXPECT_EQ(parse_duration("1w"), 604800u);
  EXPECT_EQ(parse_duration("1h30m"), 5400u);
  EXPECT_EQ(parse_duration("0m1s"), 1u);
  EXPECT_EQ(parse_duration("18446744073709551615"), UINT64_MAX);
  for (const char* wrong : {"", "0", "0s", "s", "5x", "-5", "+5", " 5", "5 s", "1h30", "1.5h",
                            "18446744073709551616", "18446744073709551615s1s",
                            "30500568904944w"}) {
    EXPECT_FALSE(parse_duration(wrong).has_value()) << wrong;
  }
}

}  // namespace
}  // namespace tarnwel
