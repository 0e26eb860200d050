// Durations as a client's command line takes them.
#include "client/duration.h"

#include <cstdint>
#include <utility>

#include <gtest/gtest.h>

namespace tarnwel {
namespace {

TEST(DurationTest, DurationsTakeUnitsAsSshAddDoes) {
  const std::pair<const char*, std::uint64_t> durations[] = {
      {"90", 90},      {"90s", 90},    {"30m", 1800},
      {"8H", 28800},   {"2d", 172800}, {"1w", 604800},
      {"1h30m", 5400}, {"0m1s", 1},    {"18446744073709551615", UINT64_MAX}};
  for (const auto& [text, seconds] : durations) EXPECT_EQ(parse_duration(text), seconds) << text;
  for (const char* wrong : {"", "0", "0s", "s", "5x", "-5", "+5", " 5", "5 s", "1h30", "1.5h",
                            "18446744073709551616", "18446744073709551615s1s", "30500568904944w"}) {
    EXPECT_FALSE(parse_duration(wrong).has_value()) << wrong;
  }
}

}  // namespace
}  // namespace tarnwel
