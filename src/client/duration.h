// Durations as people type them on a command line, for every client that
// takes a time-to-live.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwel {

// A time-to-live as ssh-add -t takes it: a whole number of seconds ("90"), or
// numbers with units s, m, h, d, w, in either case ("90s", "30m", "8h", "2d",
// "1h30m"). At least 1 second and at most 2^64 - 1; nothing otherwise.
std::optional<std::uint64_t> parse_duration(std::string_view text);

}  // namespace tarnwel
