// The log of an agent that a client starts. Such an agent runs detached, with
// no terminal for its few diagnostics (above all the warning that a secret's
// memory could not be locked), so the launcher hands it this file as its
// standard error:
//
//   Linux and others: $XDG_STATE_HOME/tarnwel-agent/agent.log
//                     ($HOME/.local/state/tarnwel-agent/agent.log when unset)
//   macOS:            ~/Library/Logs/tarnwel-agent.log
//
// Without HOME (and, elsewhere than macOS, XDG_STATE_HOME) there is no log and
// the agent's standard error is /dev/null. The file is the user's alone (mode
// 0600; on Linux in a directory of its own, mode 0700), opened without
// following a link at its last step, and refused unless it is a regular file
// of the user's with one name. A launch that finds it above MAX_AGENT_LOG_BYTES
// empties it first. The agent's own lines carry no process id, so right after
// starting one the launcher appends a line of its own that names it; what
// follows that line, up to the next such line, is that agent's.
//
// Thread-safety: free functions over the file system; nothing shared.
//
//   std::optional<AgentLogPlace> place = agent_log_place(process_env);
//   UniqueFd log = place ? open_agent_log(*place) : UniqueFd();
//   ... spawn the agent with `log` as its stderr, then mark_agent_start(log.get(), pid) ...
//   if (place && logged_memory_lock_failure(*place, pid)) warn();
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "paths/runtime_dir.h"

namespace tarnwel {

// A launch empties a log larger than this.
inline constexpr std::size_t MAX_AGENT_LOG_BYTES = 64 * 1024;

struct AgentLogPlace {
  std::string dir;   // the directory that holds the log
  std::string name;  // the log's name in it
  bool own_dir;      // a directory of the log's own: made (with parents) and kept at 0700
};

// Where `env` puts the log on this platform; nothing without a home. Each
// platform file defines it.
std::optional<AgentLogPlace> agent_log_place(const EnvLookup& env);

// The log's full path, for messages.
std::string log_path(const AgentLogPlace& place);

// Opens the log for appending, creating it (and an own directory) as needed,
// on a descriptor above 2 that is closed on exec; an invalid one when it
// cannot be done safely.
UniqueFd open_agent_log(const AgentLogPlace& place);

// Appends the line that marks the start of the agent with process id `pid`.
void mark_agent_start(int log, pid_t pid);

// The lines "tarnwel-agent: ..." that the agent with process id `pid`,
// started with a marked log, wrote to it.
std::vector<std::string> agent_lines(const AgentLogPlace& place, pid_t pid);

// The lines "tarnwel-agent: ..." written to the log past its first `offset`
// bytes: those of an agent that ended at start, which may write them before
// its start is marked.
std::vector<std::string> agent_lines_after(const AgentLogPlace& place, off_t offset);

// Whether the agent with process id `pid`, started with a marked log, wrote
// the memory-lock warning to it.
bool logged_memory_lock_failure(const AgentLogPlace& place, pid_t pid);

}  // namespace tarnwel
