#include "server/cache_commands.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/process_executable.h"
#include "base/utf8.h"
#include "protocol/json_string.h"
#include "secret_cache/locked_secret.h"
#include "secret_cache/time_to_live.h"
#include "server/identity.h"

namespace tarnwel {
namespace {

constexpr const char* BAD_TTL = "ttl_seconds must be absent or a positive integer number of seconds";

// Absent: no time-to-live of the request's own. Present: an unsigned integer >= 1.
Result<std::optional<TimeToLive>, Response> requested_ttl(const Json& request) {
  const auto ttl = request.find("ttl_seconds");
  if (ttl == request.end()) return std::optional<TimeToLive>();
  if (!ttl->is_number_unsigned()) return invalid_request_response(BAD_TTL);
  const auto seconds = ttl->get<std::uint64_t>();
  if (seconds == 0) return invalid_request_response(BAD_TTL);
  return std::optional<TimeToLive>(TimeToLive::from_seconds(seconds));
}

}  // namespace

WipedBytes handle_status(SecretCache& cache) {
  const std::vector<std::string> profiles = cache.live_profiles();
  // Names come from parsed requests and are UTF-8; a name that is not is
  // refused by the library's serialiser, as it always was.
  if (!std::all_of(profiles.begin(), profiles.end(), is_valid_utf8)) {
    Response reply = identity_reply();
    reply["cached_profiles"] = profiles;
    return frame_of(reply);
  }
  constexpr std::string_view MEMBER = "\"cached_profiles\":[";
  const IdentityHalves identity = identity_halves();
  std::size_t size = identity.before_ok.size() + MEMBER.size() + 2 + identity.from_ok.size();
  for (const std::string& name : profiles) size += name.size() + 3;
  WipedBytes frame;
  frame.reserve(size);  // exact unless a name needs escapes
  append(frame, identity.before_ok);
  append(frame, MEMBER);
  for (std::size_t i = 0; i < profiles.size(); ++i) {
    if (i > 0) frame.push_back(',');
    append_json_string(frame, profiles[i]);
  }
  append(frame, "],");
  append(frame, identity.from_ok);
  return frame;
}

Response handle_unlock(Json& request, SecretCache& cache, const Requester* requester) {
  const auto profile = require_non_empty_string(request, "profile");
  if (!profile.ok()) return profile.error();
  const auto reason = require_non_empty_string(request, "reason");
  if (!reason.ok()) return reason.error();
  const auto secret = request.find("secret");
  if (secret == request.end() || !secret->is_string()) {
    return invalid_request_response("unlock requires a \"secret\" string");
  }
  auto ttl = requested_ttl(request);
  if (!ttl.ok()) return std::move(ttl).error();

  LockedSecret locked(secret->get_ref<const std::string&>());
  // The prompt may stay up for minutes: leave no copy in ordinary, swappable
  // heap memory meanwhile.
  std::string& parsed = secret->get_ref<std::string&>();
  secure_wipe(parsed.data(), parsed.size());
  *secret = nullptr;
  // The one request for the presence check: the reason as received, who asked
  // (its path looked up only here, for a request that prompts; its process id
  // was read at accept) and for which profile.
  std::optional<Requester> asking;
  if (requester != nullptr) {
    asking = *requester;
    if (asking->pid > 0) asking->executable = process_executable(asking->pid).value_or("");
  }
  const PresenceRequest presence{reason.value(), asking ? &*asking : nullptr, profile.value()};
  const PresenceOutcome outcome =
      cache.unlock(profile.value(), presence, std::move(locked), ttl.value());
  if (!outcome.ok()) {
    const PresenceError& error = outcome.error();
    return error_response(error_code_for(error.kind()), error.display());
  }
  return Json{{"ok", true}};
}

Result<WipedBytes, Response> handle_get_secret(const Json& request, SecretCache& cache) {
  const auto profile = require_non_empty_string(request, "profile");
  if (!profile.ok()) return profile.error();
  // The copy is wiped when it leaves scope, on every way out; the frame is
  // wiped once written.
  const std::optional<LockedSecret> copy = cache.get(profile.value());
  if (!copy) return bare_error_response(ErrorCode::NotCached);
  if (!is_valid_utf8(copy->bytes())) {
    return error_response(ErrorCode::CorruptSecret, "cached secret is not valid UTF-8");
  }
  // The members in byte order, as every reply has them.
  constexpr std::string_view OPENING = "{\"ok\":true,\"secret\":";
  WipedBytes frame;
  // Room for the literal unescaped, its quotes, the closing brace and the
  // terminator: the common case grows the buffer once.
  frame.reserve(OPENING.size() + copy->bytes().size() + 4);
  append(frame, OPENING);
  append_json_string(frame, copy->bytes());
  append(frame, "}\n");
  return frame;
}

Response handle_lock(const Json& request, SecretCache& cache) {
  if (!request.contains("profile")) {
    cache.lock_all();
    return Json{{"ok", true}};
  }
  const auto profile = require_non_empty_string(request, "profile");
  if (!profile.ok()) return profile.error();
  cache.lock(profile.value());
  return Json{{"ok", true}};
}

}  // namespace tarnwel
