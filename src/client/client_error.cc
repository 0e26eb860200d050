#include "client/client_error.h"

#include <utility>

namespace tarnwel {
ClientError ClientError::agent(std::string wire_code, std::string message) {
  const std::optional<ErrorCode> code = error_code_named(wire_code);
  return ClientError{Kind::Agent, code, std::move(wire_code), std::move(message)};
}

ClientError ClientError::no_agent(std::string message) {
  return ClientError{Kind::NoAgent, std::nullopt, {}, std::move(message)};
}

ClientError ClientError::transport(std::string message) {
  return ClientError{Kind::Transport, std::nullopt, {}, std::move(message)};
}

ClientError ClientError::protocol(std::string message) {
  return ClientError{Kind::Protocol, std::nullopt, {}, std::move(message)};
}

ClientError ClientError::untrusted(std::string message) {
  return ClientError{Kind::Untrusted, std::nullopt, {}, std::move(message)};
}

std::string describe(const ClientError& error) {
  if (error.kind == ClientError::Kind::Agent && error.message.empty()) return error.wire_code;
  return error.message;
}

}  // namespace tarnwel
