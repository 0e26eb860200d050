#include "client/duration.h"

#include <cstddef>

namespace tarnwel {
namespace {

std::optional<std::uint64_t> seconds_per(char unit) {
  switch (unit) {
    case 's': case 'S': return 1;
    case 'm': case 'M': return 60;
    case 'h': case 'H': return 3600;
    case 'd': case 'D': return 86400;
    case 'w': case 'W': return 604800;
    default: return std::nullopt;
  }
}

}  // namespace

std::optional<std::uint64_t> parse_duration(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t total = 0;
  while (!text.empty()) {
    std::uint64_t number = 0;
    std::size_t digits = 0;
    // Digits only: "+5", " 5" and "5 s" are refused rather than half-read.
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
      const auto digit = static_cast<std::uint64_t>(text[digits] - '0');
      if (number > (UINT64_MAX - digit) / 10) return std::nullopt;
      number = number * 10 + digit;
      ++digits;
    }
    if (digits == 0) return std::nullopt;
    std::uint64_t unit = 1;
    if (digits < text.size()) {
      const std::optional<std::uint64_t> per = seconds_per(text[digits]);
      if (!per) return std::nullopt;
      unit = *per;
      ++digits;
    } else if (total != 0) {
      return std::nullopt;  // "1h30": a bare number only stands alone
    }
    if (number > UINT64_MAX / unit || number * unit > UINT64_MAX - total) return std::nullopt;
    total += number * unit;
    text.remove_prefix(digits);
  }
  if (total == 0) return std::nullopt;
  return total;
}

}  // namespace tarnwel
