#include "base/decimal.h"

#include <gtest/gtest.h>

namespace tarnwel {
namespace {

TEST(DecimalTest, OnlyDigitsThatFitAreANumber) {
  const std::pair<std::string_view, std::optional<std::uint64_t>> cases[] = {
      {"0", 0},
      {"0300", 300},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", std::nullopt},
      {"", std::nullopt},
      {"+1", std::nullopt},
      {"-1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"0x1", std::nullopt},
  };
  for (const auto& [text, number] : cases) EXPECT_EQ(parse_decimal(text), number) << text;
  EXPECT_EQ(parse_decimal("2147483647", INT32_MAX), INT32_MAX);
  EXPECT_EQ(parse_decimal("2147483648", INT32_MAX), std::nullopt);
  EXPECT_EQ(parse_decimal("9", 5), std::nullopt);
}

TEST(DecimalTest, TakingDigitsLeavesTheRestAndARefusalLeavesEverything) {
  std::string_view text = "30m";
  EXPECT_EQ(take_decimal(text), 30u);
  EXPECT_EQ(text, "m");
  EXPECT_EQ(take_decimal(text), std::nullopt);
  EXPECT_EQ(text, "m");
  text = "18446744073709551616s";
  EXPECT_EQ(take_decimal(text), std::nullopt);
  EXPECT_EQ(text, "18446744073709551616s");
}

}  // namespace
}  // namespace tarnwel
