// Client: talks to the tarnwel-agent of this user, one connection per request.
//
// It finds the socket by the agent's own rules (paths/runtime_dir.h) and never
// creates or changes the runtime directory. Each call sends one request and
// waits for the one reply within a limit: a short one for every command but
// "unlock", whose reply waits while the user is asked (up to 120 s) and so
// gets a long one. Failures come back as a ClientError: the agent's own error
// code and message, no agent running, or a transport or protocol failure.
//
// Thread-safe: a Client holds only its socket path and limits; calls share
// nothing.
//
//   Client client = Client::for_this_user();
//   Result<LockedSecret, ClientError> secret = client.get_secret("deploy");
//   if (!secret.ok() && secret.error().code == ErrorCode::NotCached) ...
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "base/wiped_bytes.h"
#include "client/client_error.h"
#include "client/reply.h"
#include "client/request_line.h"
#include "protocol/json.h"
#include "secret_cache/locked_secret.h"

namespace tarnwel {

struct ReplyLimits {
  // Every command but "unlock": the agent answers at once.
  std::chrono::nanoseconds prompt = std::chrono::seconds(10);
  // "unlock": the agent's 120-second presence check and some slack.
  std::chrono::nanoseconds presence = std::chrono::seconds(130);
};

// What "ping" reports, and "status" with it.
struct AgentIdentity {
  std::uint64_t protocol_version = 0;
  std::string agent_version;
  std::string agent_commit;
  std::uint64_t agent_pid = 0;
};

struct AgentStatus {
  AgentIdentity identity;
  std::vector<std::string> cached_profiles;  // ascending byte order, as the agent sends them
};

// What Client's calls make of a successful reply, for a caller that sends
// the request line itself (Client::send) and decodes the reply line.
Result<AgentIdentity, ClientError> identity_of(const Json& reply);
Result<AgentStatus, ClientError> status_of(const Json& reply);
Result<LockedSecret, ClientError> secret_of(Reply reply);

class Client {
 public:
  explicit Client(std::string socket_path, ReplyLimits limits = {});

  // The agent's socket as this process's environment places it.
  static Client for_this_user();

  const std::string& socket_path() const { return socket_path_; }

  Result<AgentIdentity, ClientError> ping() const;
  Result<AgentStatus, ClientError> status() const;
  // Stores `secret` for `profile` once the user confirms; `reason` is shown
  // to them. Without `ttl_seconds` the agent's default applies. The request's
  // copy of `secret` is wiped once it is sent; the caller's own is the
  // caller's to wipe, best before this call (unlock_request() and send() split it).
  Result<Ok, ClientError> unlock(std::string_view profile, std::string_view reason,
                                 std::string_view secret,
                                 std::optional<std::uint64_t> ttl_seconds = std::nullopt) const;
  Result<LockedSecret, ClientError> get_secret(std::string_view profile) const;
  // One profile's secret, or every secret when no profile is given.
  Result<Ok, ClientError> lock(std::optional<std::string_view> profile = std::nullopt) const;
  Result<Ok, ClientError> shutdown() const;

  // Sends `request` exactly as given and returns the reply line as it came,
  // without its newline and undecoded (decode_reply() decodes it).
  Result<WipedBytes, ClientError> request(const Json& request) const;
  // The same for a prepared request line, which is wiped once it is sent.
  Result<WipedBytes, ClientError> send(RequestLine&& line) const;

 private:
  std::string socket_path_;
  ReplyLimits limits_;
};

}  // namespace tarnwel
