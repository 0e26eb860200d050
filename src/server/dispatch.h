// The request envelope: the protocol-version check, then the command switch.
// "ping" and "shutdown" are answered here; the cache commands have handlers of
// their own (cache_commands.h).
//
// Thread-safety: handle_request runs on many connection threads at once; it
// shares only the cache (which locks for itself) and the shutdown flag.
#pragma once

#include "protocol/json.h"
#include "secret_cache/secret_cache.h"
#include "server/response.h"
#include "server/shutdown_flag.h"

namespace tarnwel {

// The reply to one request. A wrong or missing protocol_version sets the
// shutdown flag before the reply exists, whatever the command. An "unlock"
// names `requester` in its prompt when one is given, and wipes and drops the
// request's "secret" once the cache holds its own copy.
Response handle_request(Json& request, SecretCache& cache, ShutdownFlag& shutdown,
                        const Requester* requester = nullptr);

}  // namespace tarnwel
