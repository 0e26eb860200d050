#include "client/reply.h"

#include <utility>

#include "base/utf8.h"
#include "client/secret_member.h"
#include "protocol/json_text.h"

namespace tarnwel {

Result<Reply, ClientError> decode_reply(WipedBytes line) {
  if (!is_valid_utf8(as_view(line))) return ClientError::protocol("the reply is not valid UTF-8");
  Result<std::optional<LockedSecret>, std::string> secret = take_secret_member(line);
  if (!secret.ok()) return ClientError::protocol("malformed reply: " + secret.error());
  // The line no longer holds the secret, so the parser's error texts, which
  // quote what they last read, cannot show it.
  Result<Json, JsonError> parsed = parse_json_text(as_view(line));
  if (!parsed.ok()) return ClientError::protocol("malformed reply: " + parsed.error().description);
  Json members = std::move(parsed).value();
  if (!members.is_object()) return ClientError::protocol("the reply is not a JSON object");

  const auto ok = members.find("ok");
  if (ok == members.end() || !ok->is_boolean()) {
    return ClientError::protocol("the reply has no boolean \"ok\"");
  }
  if (ok->get<bool>()) return Reply{std::move(members), std::move(secret).value()};

  const auto error = members.find("error");
  if (error == members.end() || !error->is_string()) {
    return ClientError::protocol("an error reply without an \"error\" code");
  }
  const auto message = members.find("message");
  std::string text = message != members.end() && message->is_string()
                         ? message->get<std::string>()
                         : std::string();
  return ClientError::agent(error->get<std::string>(), std::move(text));
}

Result<std::string, ClientError> string_member(const Json& reply, std::string_view name) {
  const auto member = reply.find(name);
  if (member == reply.end() || !member->is_string()) {
    return ClientError::protocol("the reply has no string \"" + std::string(name) + "\"");
  }
  return member->get<std::string>();
}

Result<std::uint64_t, ClientError> unsigned_member(const Json& reply, std::string_view name) {
  const auto member = reply.find(name);
  if (member == reply.end() || !member->is_number_unsigned()) {
    return ClientError::protocol("the reply has no unsigned integer \"" + std::string(name) + "\"");
  }
  return member->get<std::uint64_t>();
}

}  // namespace tarnwel
