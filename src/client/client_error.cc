#include "client/client_error.h"

#include <array>
#include <utility>

namespace tarnwel {
namespace {

// Indexed by the position of each code in AgentErrorCode.
constexpr std::array<std::string_view, 10> WIRE_NAMES = {
    "protocol_error",  "protocol_mismatch", "unknown_command",    "invalid_request",
    "not_cached",      "corrupt_secret",    "presence_busy",      "presence_denied",
    "presence_timed_out", "presence_unsupported",
};
static_assert(WIRE_NAMES.size() == static_cast<std::size_t>(AgentErrorCode::Unrecognised));

}  // namespace

std::string_view wire_name(AgentErrorCode code) {
  if (code == AgentErrorCode::Unrecognised) return "unrecognised";
  return WIRE_NAMES[static_cast<std::size_t>(code)];
}

AgentErrorCode agent_error_code_from(std::string_view name) {
  for (std::size_t i = 0; i < WIRE_NAMES.size(); ++i) {
    if (WIRE_NAMES[i] == name) return static_cast<AgentErrorCode>(i);
  }
  return AgentErrorCode::Unrecognised;
}

ClientError ClientError::agent(std::string wire_code, std::string message) {
  const AgentErrorCode code = agent_error_code_from(wire_code);
  return ClientError{Kind::Agent, code, std::move(wire_code), std::move(message)};
}

ClientError ClientError::no_agent(std::string message) {
  return ClientError{Kind::NoAgent, AgentErrorCode::Unrecognised, {}, std::move(message)};
}

ClientError ClientError::transport(std::string message) {
  return ClientError{Kind::Transport, AgentErrorCode::Unrecognised, {}, std::move(message)};
}

ClientError ClientError::protocol(std::string message) {
  return ClientError{Kind::Protocol, AgentErrorCode::Unrecognised, {}, std::move(message)};
}

std::string describe(const ClientError& error) {
  if (error.kind == ClientError::Kind::Agent && error.message.empty()) return error.wire_code;
  return error.message;
}

}  // namespace tarnwel
