// Taking the agent's socket path at start-up: defer to a live agent there,
// remove a stale socket, and bind a listener that is private from the moment
// it appears.
//
//   Result<std::optional<UniqueFd>, std::string> bound = bind_own_socket(path);
//   if (!bound.ok()) return fail(bound.error());   // "could not bind ..."
//   if (!bound.value()) return;                    // another agent serves this user
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "base/result.h"
#include "base/unique_fd.h"

namespace tarnwel {

// How long the start-up probe waits for a serving agent's reply.
inline constexpr std::chrono::seconds PROBE_TIMEOUT{6};
// How long a stale socket may take to vanish by itself before it is removed.
inline constexpr std::chrono::milliseconds STALE_SOCKET_WAIT{500};
inline constexpr std::chrono::milliseconds STALE_SOCKET_POLL{20};

// The agent's own listener at `path`, bound after taking over a stale socket
// there; nothing when a live agent answers at `path` (the caller leaves).
// Fails with the diagnostic line when the path cannot be taken or bound.
Result<std::optional<UniqueFd>, std::string> bind_own_socket(const std::string& path);

}  // namespace tarnwel
