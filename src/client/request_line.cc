#include "client/request_line.h"

#include <string>

#include "protocol/json_string.h"
#include "protocol/json_text.h"
#include "protocol/version.h"

namespace tarnwel {
namespace {

ReplyWait wait_for(const Json& request) {
  const auto cmd = request.find("cmd");
  const bool unlock = cmd != request.end() && cmd->is_string() &&
                      cmd->get_ref<const std::string&>() == "unlock";
  return unlock ? ReplyWait::Presence : ReplyWait::Prompt;
}

// The compact text of `value`. Invalid UTF-8 in a name or string is written
// with the library's replacement rather than refused here: the agent's reply
// then says what is wrong with the request.
std::string compact_text(const Json& value) {
  Result<std::string, JsonError> text = encode_compact(value);
  if (text.ok()) return std::move(text).value();
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

RequestLine command_request(std::string_view cmd, Json members) {
  members["cmd"] = std::string(cmd);
  members["protocol_version"] = PROTOCOL_VERSION;
  return raw_request(members);
}

RequestLine get_secret_request(std::string_view profile) {
  Json members = Json::object();
  members["profile"] = std::string(profile);
  return command_request("get_secret", std::move(members));
}

RequestLine lock_request(std::optional<std::string_view> profile) {
  Json members = Json::object();
  if (profile) members["profile"] = std::string(*profile);
  return command_request("lock", std::move(members));
}

RequestLine unlock_request(std::string_view profile, std::string_view reason,
                           std::string_view secret, std::optional<std::uint64_t> ttl_seconds) {
  Json members = Json::object();
  members["profile"] = std::string(profile);
  members["reason"] = std::string(reason);
  if (ttl_seconds) members["ttl_seconds"] = *ttl_seconds;
  RequestLine line = command_request("unlock", std::move(members));
  // Splice the secret in as the last member; the agent reads members by name,
  // so their order on the wire carries no meaning.
  line.text.resize(line.text.size() - 2);  // the closing '}' and the newline
  append(line.text, ",\"secret\":");
  append_json_string(line.text, secret);
  append(line.text, "}\n");
  return line;
}

RequestLine raw_request(const Json& request) {
  RequestLine line{WipedBytes(), wait_for(request)};
  append(line.text, compact_text(request));
  line.text.push_back('\n');
  return line;
}

}  // namespace tarnwel
