#include "client/agent_log.h"

namespace tarnwel {

// Where the Console app looks for a user's logs.
std::optional<AgentLogPlace> agent_log_place(const EnvLookup& env) {
  const std::optional<std::string> home = env("HOME");
  if (!home || !home->starts_with('/')) return std::nullopt;
  return AgentLogPlace{*home + "/Library/Logs", "tarnwel-agent.log", false};
}

}  // namespace tarnwel
