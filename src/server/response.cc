#include "server/response.h"

#include "protocol/framing.h"

namespace tarnwel {

ErrorCode error_code_for(PresenceError::Kind kind) {
  // No default: a new kind fails to compile (-Wswitch) until it has a code.
  switch (kind) {
    case PresenceError::Kind::Busy: return ErrorCode::PresenceBusy;
    case PresenceError::Kind::Denied: return ErrorCode::PresenceDenied;
    case PresenceError::Kind::TimedOut: return ErrorCode::PresenceTimedOut;
    case PresenceError::Kind::Unsupported: return ErrorCode::PresenceUnsupported;
  }
  return ErrorCode::PresenceDenied;  // not reached: every kind is named above
}

WipedBytes frame_of(const Response& reply) {
  Result<WipedBytes, FramingError> frame = encode_message(reply);
  return frame.ok() ? std::move(frame).value() : WipedBytes();
}

Response bare_error_response(ErrorCode code) {
  Response reply = Json::object();
  reply["ok"] = false;
  reply["error"] = wire_name(code);
  return reply;
}

Response error_response(ErrorCode code, std::string message) {
  Response reply = bare_error_response(code);
  reply["message"] = std::move(message);
  return reply;
}

Response invalid_request_response(std::string message) {
  return error_response(ErrorCode::InvalidRequest, std::move(message));
}

Result<std::string_view, Response> require_non_empty_string(const Json& request,
                                                            std::string_view name) {
  const auto member = request.find(name);
  if (member != request.end() && member->is_string()) {
    const std::string& text = member->get_ref<const std::string&>();
    if (!text.empty()) return std::string_view(text);
  }
  return invalid_request_response(std::string(name) + " must be present and a non-empty string");
}

}  // namespace tarnwel
