#include "base/decimal.h"

#include <tuple>

#include <gtest/gtest.h>

namespace tarnwel {
namespace {

TEST(DecimalTest, OnlyDigitsThatFitTheLimitAreANumber) {
  const std::tuple<std::string_view, std::uint64_t, std::optional<std::uint64_t>> cases[] = {
      {"0300", UINT64_MAX, 300},
      {"18446744073709551615", UINT64_MAX, UINT64_MAX},
      {"18446744073709551616", UINT64_MAX, std::nullopt},
      {"2147483647", INT32_MAX, INT32_MAX},
      {"2147483648", INT32_MAX, std::nullopt},
      {"9", 5, std::nullopt},
  };
  for (const auto& [text, max, number] : cases) EXPECT_EQ(parse_decimal(text, max), number) << text;
  for (const std::string_view text : {"", "+1", "-1", " 1", "1 ", "0x1"}) {
    EXPECT_EQ(parse_decimal(text), std::nullopt) << text;
  }
}

TEST(DecimalTest, TakingDigitsLeavesTheRestAndARefusalLeavesEverything) {
  const std::tuple<std::string_view, std::optional<std::uint64_t>, std::string_view> cases[] = {
      {"30m", 30, "m"},
      {"m", std::nullopt, "m"},
      {"18446744073709551616s", std::nullopt, "18446744073709551616s"}};
  for (auto [text, number, rest] : cases) {
    EXPECT_EQ(take_decimal(text), number) << rest;
    EXPECT_EQ(text, rest);
  }
}

}  // namespace
}  // namespace tarnwel
