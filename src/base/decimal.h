// Decimal numbers as every program here reads them: ASCII digits only (no
// sign, no blank, no "0x"), at least one, and refused rather than wrapped when
// they exceed what the caller can hold. Each caller says what a refusal means
// in its own words.
//
//   const std::optional<std::uint64_t> seconds = parse_decimal(text);
//   if (!seconds) return refused(name, "a whole number of seconds", text);
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tarnwel {

// The number that all of `text` spells, if it is at most `max`.
std::optional<std::uint64_t> parse_decimal(std::string_view text,
                                           std::uint64_t max = UINT64_MAX);

// The number that the digits at the front of `text` spell, if there are any
// and it is at most `max`; `text` is then advanced past them, else left as it
// was.
std::optional<std::uint64_t> take_decimal(std::string_view& text, std::uint64_t max = UINT64_MAX);

}  // namespace tarnwel
