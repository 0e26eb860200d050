// The agent's main thread: find the socket path, defer to a live agent or take
// over a stale socket, listen, and serve every connection on a thread of its
// own until a request asks the agent to stop or no client has come for 8 days.
//
//   if (auto ran = run(); !ran.ok()) return report(ran.error());
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "base/clock.h"
#include "base/result.h"
#include "base/unique_fd.h"
#include "secret_cache/secret_cache.h"
#include "server/accept_wait.h"
#include "server/screen_lock_watch.h"
#include "server/settings.h"
#include "server/shutdown_flag.h"

namespace tarnwel {

// No connection for longer than this ends the agent.
inline constexpr std::chrono::seconds IDLE_LIMIT{691'200};

// Why the agent could not run: the diagnostic line (without the program's
// name) and the exit status, 1 when a setting is not understood or the
// runtime directory or the socket cannot be taken, 101 on an internal failure.
struct StartupFailure {
  std::string diagnostic;
  int status;
};

// Runs the agent. Returns Ok when another agent already serves the socket, or
// after the shutdown sequence.
Result<Ok, StartupFailure> run();

// As run(), with the presence backend, the clock and the settings of the
// caller's choosing.
Result<Ok, StartupFailure> run(std::unique_ptr<PresenceBackend> backend,
                               std::shared_ptr<const Clock> clock,
                               const AgentSettings& settings = {});

// Serves connections on the non-blocking `listener` until `shutdown` is set or
// the idle limit has passed on `clock`, or until `path` no longer names the
// socket bound there (another agent took it over); then wipes the cache and
// removes the socket file at `path` if it is still its own. An empty `path`
// stands for a listener that the service manager handed over: its file is
// the manager's, neither watched nor removed. Each iteration lets the cache
// look for a sleep, and sweeps its expired secrets once one may be due (at
// least every second). Each connection carries its peer's process id to the
// presence check; with `name_requesters` the prompt names the peer. `idle`,
// made for `listener`, says when to accept and waits while no connection is
// pending (a sleep of ACCEPT_POLL_INTERVAL by default); `shutdown` must wake
// that wait. When `idle` waits for readiness, connection threads stay for
// more (ConnectionThreads); none is at the listener any more when serve()
// returns.
//
// With `screen_lock`, every turn also asks it whether the screen has locked,
// and wipes the cache if so; the wait ends when it has news.
void serve(const UniqueFd& listener, const std::string& path, std::shared_ptr<SecretCache> cache,
           std::shared_ptr<ShutdownFlag> shutdown, const Clock& clock, bool name_requesters,
           AcceptWait idle, ScreenLockWatch* screen_lock = nullptr);

}  // namespace tarnwel
