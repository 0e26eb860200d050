// Turning a reply line into a value or a ClientError. A "secret" member is
// taken out before the JSON library sees the line (secret_member.h).
//
//   Result<Reply, ClientError> reply = decode_reply(std::move(line));
//   if (!reply.ok()) return reply.error();  // e.g. Kind::Agent, ErrorCode::NotCached
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "client/client_error.h"
#include "base/wiped_bytes.h"
#include "protocol/json.h"
#include "secret_cache/locked_secret.h"

namespace tarnwel {

struct Reply {
  Json members;                       // the reply object, "secret" blanked
  std::optional<LockedSecret> secret;  // the "secret" member, when it was a string
};

// A successful reply ("ok": true). {"ok": false, ...} becomes Kind::Agent
// with the reply's "error" and "message"; a line that is not a JSON object with
// a boolean "ok" becomes Kind::Protocol.
Result<Reply, ClientError> decode_reply(WipedBytes line);

// The string member `name` of a successful reply, or Kind::Protocol naming it.
Result<std::string, ClientError> string_member(const Json& reply, std::string_view name);

// The unsigned integer member `name` of a successful reply, or Kind::Protocol.
Result<std::uint64_t, ClientError> unsigned_member(const Json& reply, std::string_view name);

}  // namespace tarnwel
