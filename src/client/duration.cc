#include "client/duration.h"

#include "base/decimal.h"

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
    // Digits only: "+5", " 5" and "5 s" are refused rather than half-read.
    const std::optional<std::uint64_t> number = take_decimal(text);
    if (!number) return std::nullopt;
    std::uint64_t unit = 1;
    if (!text.empty()) {
      const std::optional<std::uint64_t> per = seconds_per(text.front());
      if (!per) return std::nullopt;
      unit = *per;
      text.remove_prefix(1);
    } else if (total != 0) {
      return std::nullopt;  // "1h30": a bare number only stands alone
    }
    if (*number > UINT64_MAX / unit || *number * unit > UINT64_MAX - total) return std::nullopt;
    total += *number * unit;
  }
  if (total == 0) return std::nullopt;
  return total;
}

}  // namespace tarnwel
