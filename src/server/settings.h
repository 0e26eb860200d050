// AgentSettings: the agent's opt-in behaviour, read once at start-up from the
// environment (its only configuration). Unset, each setting is off and the
// agent behaves exactly as without it; a value that is set but not understood
// stops start-up, so that a typo never leaves a user believing in a safeguard
// that is not there.
//
//   TARNWEL_AGENT_LOCK_ON_SLEEP=1|0     forget every secret when the system wakes
//   TARNWEL_AGENT_LOCK_ON_SCREEN_LOCK=1|0  forget every secret when the screen locks
//   TARNWEL_AGENT_MAX_TTL_SECONDS=N     no secret lives longer than N seconds,
//                                       sleep included (N a positive integer)
//   TARNWEL_AGENT_SHOW_REQUESTER=1|0    the prompt names the program that asks
//   TARNWEL_AGENT_CONFIRM_YES_NO=1|0    the agent's own confirmation takes a "y"
//                                       instead of the login password (weaker)
//   TARNWEL_AGENT_WAKE_ON_CONNECT=1|0   the accept loop waits in poll() instead of
//                                       sleeping 100 ms between looks
//
//   Result<AgentSettings, SettingError> settings = settings_from_environment();
//   if (!settings.ok()) return StartupFailure{settings.error().text, 1};
#pragma once

#include <optional>
#include <string>

#include "base/environment.h"
#include "base/result.h"
#include "secret_cache/time_to_live.h"

namespace tarnwel {

struct AgentSettings {
  bool lock_on_sleep = false;
  bool lock_on_screen_lock = false;
  std::optional<TimeToLive> max_ttl;
  bool show_requester = false;
  bool confirm_yes_no = false;
  bool wake_on_connect = false;
};

// The diagnostic, without the "tarnwel-agent: " of its line: the variable and
// the value it was given, e.g. `TARNWEL_AGENT_LOCK_ON_SLEEP must be 1 or 0, not "yes"`.
struct SettingError {
  std::string text;
};

Result<AgentSettings, SettingError> read_settings(const EnvLookup& lookup);

// read_settings over the process's own environment.
Result<AgentSettings, SettingError> settings_from_environment();

}  // namespace tarnwel
