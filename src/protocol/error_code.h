// The error codes a failure reply carries in "error", shared by the agent,
// which sends them, and its clients, which read them.
#pragma once

#include <optional>
#include <string_view>

namespace tarnwel {

// Every code the protocol knows; wire_name() gives each its text.
enum class ErrorCode {
  ProtocolError,
  ProtocolMismatch,
  UnknownCommand,
  InvalidRequest,
  NotCached,
  CorruptSecret,
  PresenceBusy,
  PresenceDenied,
  PresenceTimedOut,
  PresenceUnsupported,
};

// "protocol_error", "protocol_mismatch", ...
std::string_view wire_name(ErrorCode code);

// The code whose wire name is `name`; nothing for a name this build does not
// know (one a newer agent may send).
std::optional<ErrorCode> error_code_named(std::string_view name);

}  // namespace tarnwel
