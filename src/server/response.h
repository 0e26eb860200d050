// The reply model: every Response is a JSON object with "ok"; a failure adds
// "error" (an ErrorCode's wire name) and, for most codes, "message". Members
// serialise in byte order of their names, whatever order they were added in.
//
//   return error_response(ErrorCode::UnknownCommand, "no such command: None");
#pragma once

#include <string>
#include <string_view>

#include "base/result.h"
#include "base/wiped_bytes.h"
#include "presence/presence_error.h"
#include "protocol/error_code.h"
#include "protocol/json.h"

namespace tarnwel {

using Response = Json;

// The code that answers a failed presence check of this kind.
ErrorCode error_code_for(PresenceError::Kind kind);

// {"error": code, "message": message, "ok": false}
Response error_response(ErrorCode code, std::string message);

// error_response with ErrorCode::InvalidRequest.
Response invalid_request_response(std::string message);

// The frame that carries `reply`: its compact text and terminator, or nothing
// (no reply is written) when it cannot be encoded.
WipedBytes frame_of(const Response& reply);

// The failure reply without a "message": {"error": code, "ok": false}.
Response bare_error_response(ErrorCode code);

// The request's member `name` if it is a string of at least one byte (taken
// as it is: blanks pass), else the reply
// "{name} must be present and a non-empty string".
Result<std::string_view, Response> require_non_empty_string(const Json& request,
                                                            std::string_view name);

}  // namespace tarnwel
