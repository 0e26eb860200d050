#include "server/response.h"

#include <array>
#include <cstddef>

namespace tarnwel {
namespace {

constexpr std::array<ErrorCode, 4> PRESENCE_CODES = {
    ErrorCode::PresenceBusy,
    ErrorCode::PresenceDenied,
    ErrorCode::PresenceTimedOut,
    ErrorCode::PresenceUnsupported,
};

}  // namespace

ErrorCode error_code_for(PresenceError::Kind kind) {
  return PRESENCE_CODES[static_cast<std::size_t>(kind)];
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
