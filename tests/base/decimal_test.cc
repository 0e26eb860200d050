// The digits-only rule is shown through its callers, the settings
// (settings_test.cc) and durations (duration_test.cc); here the bound that
// only process ids use, and that a refusal consumes nothing.
#include "base/decimal.h"

#include <gtest/gtest.h>

namespace tarnwel {
namespace {

TEST(DecimalTest, ANumberMayReachTheBoundAndOnePastItIsRefusedConsumingNothing) {
  EXPECT_EQ(parse_decimal("2147483647", INT32_MAX), INT32_MAX);
  EXPECT_EQ(parse_decimal("2147483648", INT32_MAX), std::nullopt);
  EXPECT_EQ(parse_decimal("9", 5), std::nullopt);
  std::string_view text = "18446744073709551616s";
  EXPECT_EQ(take_decimal(text), std::nullopt);
  EXPECT_EQ(text, "18446744073709551616s");
}

}  // namespace
}  // namespace tarnwel
