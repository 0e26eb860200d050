#include "base/decimal.h"

#include <cstddef>

namespace tarnwel {

std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t max) {
  std::string_view rest = text;
  const std::optional<std::uint64_t> number = take_decimal(rest, max);
  if (!rest.empty()) return std::nullopt;
  return number;
}

std::optional<std::uint64_t> take_decimal(std::string_view& text, std::uint64_t max) {
  std::uint64_t number = 0;
  std::size_t digits = 0;
  for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
    const auto digit = static_cast<std::uint64_t>(text[digits] - '0');
    if (digit > max || number > (max - digit) / 10) return std::nullopt;
    number = number * 10 + digit;
  }
  if (digits == 0) return std::nullopt;
  text.remove_prefix(digits);
  return number;
}

}  // namespace tarnwel
