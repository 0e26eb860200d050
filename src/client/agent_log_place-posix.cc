#include "client/agent_log.h"

namespace tarnwel {

// The XDG base directories' place for state that outlives a session but is
// not worth a backup: $XDG_STATE_HOME, by default ~/.local/state. A relative
// value is ignored, as the XDG base directory rules ask.
std::optional<AgentLogPlace> agent_log_place(const EnvLookup& env) {
  std::string base;
  if (const std::optional<std::string> state = env("XDG_STATE_HOME");
      state && state->starts_with('/')) {
    base = *state;
  } else if (const std::optional<std::string> home = env("HOME"); home && home->starts_with('/')) {
    base = *home + "/.local/state";
  } else {
    return std::nullopt;
  }
  return AgentLogPlace{base + "/tarnwel-agent", "agent.log", true};
}

}  // namespace tarnwel
