// Handlers of the four commands that work on the SecretCache: "status",
// "unlock", "get_secret" and "lock". Each checks its members in a fixed order
// and returns one complete reply: a Response, or for "status" and "get_secret"
// its frame.
#pragma once

#include "base/result.h"
#include "base/wiped_bytes.h"
#include "protocol/json.h"
#include "secret_cache/secret_cache.h"
#include "server/response.h"

namespace tarnwel {

// The frame of the "ping" members plus "cached_profiles", in byte order,
// written without the JSON library, as it would write them.
WipedBytes handle_status(SecretCache& cache);

// Checks profile, reason, secret, ttl_seconds; then blocks for the presence
// check, whose prompt names `requester` when given, and stores the secret.
// {"ok":true}, or the presence failure. The request's "secret" is wiped and
// dropped before the check starts.
Response handle_unlock(Json& request, SecretCache& cache, const Requester* requester = nullptr);

// The frame {"ok":true,"secret":...} with the cached secret of the profile,
// written straight into wiped memory; or the failure reply, "not_cached"
// among them. Never prompts.
Result<WipedBytes, Response> handle_get_secret(const Json& request, SecretCache& cache);

// Forgets one profile, or all when "profile" is absent.
Response handle_lock(const Json& request, SecretCache& cache);

}  // namespace tarnwel
