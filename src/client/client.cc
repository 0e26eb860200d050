#include "client/client.h"

#include <utility>

#include "client/exchange.h"
#include "client/reply.h"
#include "paths/runtime_dir.h"

namespace tarnwel {

Result<AgentIdentity, ClientError> identity_of(const Json& reply) {
  AgentIdentity identity;
  Result<std::uint64_t, ClientError> version = unsigned_member(reply, "protocol_version");
  if (!version.ok()) return version.error();
  identity.protocol_version = version.value();
  Result<std::string, ClientError> agent_version = string_member(reply, "agent_version");
  if (!agent_version.ok()) return agent_version.error();
  identity.agent_version = std::move(agent_version).value();
  Result<std::string, ClientError> commit = string_member(reply, "agent_commit");
  if (!commit.ok()) return commit.error();
  identity.agent_commit = std::move(commit).value();
  Result<std::uint64_t, ClientError> pid = unsigned_member(reply, "agent_pid");
  if (!pid.ok()) return pid.error();
  identity.agent_pid = pid.value();
  return identity;
}

Result<AgentStatus, ClientError> status_of(const Json& reply) {
  Result<AgentIdentity, ClientError> identity = identity_of(reply);
  if (!identity.ok()) return identity.error();
  AgentStatus status{std::move(identity).value(), {}};
  const auto profiles = reply.find("cached_profiles");
  if (profiles == reply.end() || !profiles->is_array()) {
    return ClientError::protocol("the reply has no array \"cached_profiles\"");
  }
  for (const Json& profile : *profiles) {
    if (!profile.is_string()) return ClientError::protocol("a cached profile is not a string");
    status.cached_profiles.push_back(profile.get<std::string>());
  }
  return status;
}

Result<LockedSecret, ClientError> secret_of(Reply reply) {
  if (!reply.secret) return ClientError::protocol("the reply has no string \"secret\"");
  return std::move(*reply.secret);
}

Client::Client(std::string socket_path, ReplyLimits limits)
    : socket_path_(std::move(socket_path)), limits_(limits) {}

Client Client::for_this_user() { return Client(socket_path_for(process_env)); }

Result<WipedBytes, ClientError> Client::send(RequestLine&& line) const {
  const std::chrono::nanoseconds limit =
      line.wait == ReplyWait::Presence ? limits_.presence : limits_.prompt;
  return exchange(socket_path_, std::move(line.text), limit);
}

Result<WipedBytes, ClientError> Client::request(const Json& request) const {
  return send(raw_request(request));
}

namespace {

// Sends `line` through `client` and decodes the reply.
Result<Reply, ClientError> round_trip(const Client& client, RequestLine&& line) {
  Result<WipedBytes, ClientError> text = client.send(std::move(line));
  if (!text.ok()) return text.error();
  return decode_reply(std::move(text).value());
}

Result<Ok, ClientError> expect_ok(const Client& client, RequestLine&& line) {
  Result<Reply, ClientError> reply = round_trip(client, std::move(line));
  if (!reply.ok()) return reply.error();
  return Ok{};
}

}  // namespace

Result<AgentIdentity, ClientError> Client::ping() const {
  Result<Reply, ClientError> reply = round_trip(*this, command_request("ping"));
  if (!reply.ok()) return reply.error();
  return identity_of(reply.value().members);
}

Result<AgentStatus, ClientError> Client::status() const {
  Result<Reply, ClientError> reply = round_trip(*this, command_request("status"));
  if (!reply.ok()) return reply.error();
  return status_of(reply.value().members);
}

Result<Ok, ClientError> Client::unlock(std::string_view profile, std::string_view reason,
                                       std::string_view secret,
                                       std::optional<std::uint64_t> ttl_seconds) const {
  return expect_ok(*this, unlock_request(profile, reason, secret, ttl_seconds));
}

Result<LockedSecret, ClientError> Client::get_secret(std::string_view profile) const {
  Result<Reply, ClientError> reply = round_trip(*this, get_secret_request(profile));
  if (!reply.ok()) return reply.error();
  return secret_of(std::move(reply).value());
}

Result<Ok, ClientError> Client::lock(std::optional<std::string_view> profile) const {
  return expect_ok(*this, lock_request(profile));
}

Result<Ok, ClientError> Client::shutdown() const {
  return expect_ok(*this, command_request("shutdown"));
}

}  // namespace tarnwel
