// Starting an agent for a client that found none: locate the tarnwel-agent
// program, start it detached from the caller's terminal and session, and wait
// a bounded time until it answers "ping".
//
// The agent is started with posix_spawn in a session of its own
// (POSIX_SPAWN_SETSID), with default signal handling, an empty signal mask,
// descriptors 0 and 1 on /dev/null and 2 on the agent's log (agent_log.h), or
// /dev/null without one: no terminal's hang-up or ctrl-c reaches it, and it
// holds no pipe of the caller open. It keeps the caller's environment
// (the variables that place its socket and choose its askpass program) and
// current directory (a relative TARNWEL_AGENT_RUNTIME_DIR is resolved there),
// and gets TARNWEL_AGENT_WAKE_ON_CONNECT=1 unless the caller sets that variable:
// a client waits for an agent that answers at once, not for its next look.
// It is not double-forked: the caller watches it while it starts, so that an
// agent that exits at once (a refused runtime directory) is reaped and reported
// instead of waited for. Once it answers, it is left running as the caller's
// child; a short-lived caller such as tarnwelctl exits soon after and the
// system adopts and reaps the agent. A long-lived caller that starts agents
// should reap its children (SIGCHLD) or the agent's exit leaves a zombie.
//
//   Result<StartedAgent, std::string> agent =
//       ensure_agent_running(client, program, client.ping());
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "base/result.h"
#include "client/client.h"

namespace tarnwel {

// How long a new agent may take to answer its first "ping".
inline constexpr std::chrono::seconds AGENT_START_WAIT{5};

// The tarnwel-agent program: the one beside this process's own executable,
// else the first executable "tarnwel-agent" on PATH; nothing if neither exists.
std::optional<std::string> find_agent_program();

struct StartedAgent {
  bool already_running;  // an agent answered before any was started
  AgentIdentity identity;
};

// The line that refuses a client setting given a value it does not take
// (TARNWEL_AGENT_SERVICE_ONLY other than 1 or 0), for a client to say at
// start-up before it exits with status 1; nothing when every one is right.
std::optional<std::string> client_setting_problem();

// Whether the failure of a ping leaves the socket to a new agent: nothing
// answers there, or what answers speaks another protocol version (and has
// been told to stop by that ping). Any other failure is the caller's to report.
bool may_be_replaced(const ClientError& why);

// Given `probe`, the answer to a ping just sent to the agent of `client`:
// when it failed and may_be_replaced, starts `program` and waits up to `wait`
// for it to answer. A failure's text says why no agent answers. Connecting
// first, it never races a service manager that listens at the socket and
// starts the agent itself; with TARNWEL_AGENT_SERVICE_ONLY=1 it starts none
// at all.
Result<StartedAgent, std::string> ensure_agent_running(
    const Client& client, const std::string& program, Result<AgentIdentity, ClientError> probe,
    std::chrono::nanoseconds wait = AGENT_START_WAIT);

}  // namespace tarnwel
