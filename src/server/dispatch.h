// The request envelope: the protocol-version check, then the command switch.
// "ping" and "shutdown" are answered here; the cache commands have handlers of
// their own (cache_commands.h).
//
// Thread-safety: handle_request runs on many connection threads at once; it
// shares only the cache (which locks for itself) and the shutdown flag.
#pragma once

#include <cstddef>

#include "base/wiped_bytes.h"
#include "protocol/json.h"
#include "secret_cache/secret_cache.h"
#include "server/response.h"
#include "server/shutdown_flag.h"

namespace tarnwel {

// The deepest stack a request takes below handle_connection's caller, as
// measured for every kind of request (tests/server/connection_test.cc fails
// when one goes deeper): "unlock", which may run the presence program, and
// every other request, including one that cannot be read.
inline constexpr std::size_t REQUEST_STACK_DEPTH = 8 * 1024;
inline constexpr std::size_t UNLOCK_STACK_DEPTH = 24 * 1024;

struct HandledRequest {
  // The reply's frame, terminator included; empty when there is none to write.
  WipedBytes reply;
  // How deep the request's stack may have gone: what its connection wipes.
  std::size_t stack_depth = REQUEST_STACK_DEPTH;
};

// The reply to one request, and how deep handling it went. A wrong or missing
// protocol_version sets the shutdown flag before the reply exists, whatever
// the command. An "unlock" names `requester` in its prompt when one is given,
// and wipes and drops the request's "secret" once the cache holds its own copy.
HandledRequest handle_request(Json& request, SecretCache& cache, ShutdownFlag& shutdown,
                              const Requester* requester = nullptr);

}  // namespace tarnwel
