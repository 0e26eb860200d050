#include "protocol/error_code.h"

#include <array>
#include <cstddef>

namespace tarnwel {
namespace {

// Indexed by the position of each code in ErrorCode.
constexpr std::array<std::string_view, 10> WIRE_NAMES = {
    "protocol_error",     "protocol_mismatch",    "unknown_command", "invalid_request",
    "not_cached",         "corrupt_secret",       "presence_busy",   "presence_denied",
    "presence_timed_out", "presence_unsupported",
};
static_assert(WIRE_NAMES.size() == static_cast<std::size_t>(ErrorCode::PresenceUnsupported) + 1);

}  // namespace

std::string_view wire_name(ErrorCode code) { return WIRE_NAMES[static_cast<std::size_t>(code)]; }

std::optional<ErrorCode> error_code_named(std::string_view name) {
  for (std::size_t i = 0; i < WIRE_NAMES.size(); ++i) {
    if (WIRE_NAMES[i] == name) return static_cast<ErrorCode>(i);
  }
  return std::nullopt;
}

}  // namespace tarnwel
