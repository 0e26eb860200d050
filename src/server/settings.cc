#include "server/settings.h"

#include <cstdint>
#include <string_view>

#include "base/decimal.h"
#include "base/utf8.h"

namespace tarnwel {
namespace {

constexpr const char* LOCK_ON_SLEEP = "TARNWEL_AGENT_LOCK_ON_SLEEP";
constexpr const char* LOCK_ON_SCREEN_LOCK = "TARNWEL_AGENT_LOCK_ON_SCREEN_LOCK";
constexpr const char* MAX_TTL_SECONDS = "TARNWEL_AGENT_MAX_TTL_SECONDS";
constexpr const char* SHOW_REQUESTER = "TARNWEL_AGENT_SHOW_REQUESTER";
constexpr const char* CONFIRM_YES_NO = "TARNWEL_AGENT_CONFIRM_YES_NO";
constexpr const char* WAKE_ON_CONNECT = "TARNWEL_AGENT_WAKE_ON_CONNECT";

SettingError refused(const char* name, std::string_view expected, std::string_view value) {
  // The value is the user's own, but it is shown on one diagnostic line.
  return SettingError{std::string(name) + " must be " + std::string(expected) + ", not \"" +
                      single_line_lossy(value) + "\""};
}

Result<bool, SettingError> read_switch(const EnvLookup& lookup, const char* name) {
  const std::optional<std::string> value = lookup(name);
  if (!value) return false;
  const std::string_view text = *value;
  if (text == "1") return true;
  if (text == "0") return false;
  return refused(name, "1 or 0", text);
}

}  // namespace

Result<AgentSettings, SettingError> read_settings(const EnvLookup& lookup) {
  AgentSettings settings;
  auto lock_on_sleep = read_switch(lookup, LOCK_ON_SLEEP);
  if (!lock_on_sleep.ok()) return std::move(lock_on_sleep).error();
  settings.lock_on_sleep = lock_on_sleep.value();

  auto lock_on_screen_lock = read_switch(lookup, LOCK_ON_SCREEN_LOCK);
  if (!lock_on_screen_lock.ok()) return std::move(lock_on_screen_lock).error();
  settings.lock_on_screen_lock = lock_on_screen_lock.value();

  if (const std::optional<std::string> value = lookup(MAX_TTL_SECONDS)) {
    const std::optional<std::uint64_t> seconds = parse_decimal(*value);
    if (!seconds || *seconds == 0) {
      return refused(MAX_TTL_SECONDS, "a positive whole number of seconds", *value);
    }
    settings.max_ttl = TimeToLive::from_seconds(*seconds);
  }

  auto show_requester = read_switch(lookup, SHOW_REQUESTER);
  if (!show_requester.ok()) return std::move(show_requester).error();
  settings.show_requester = show_requester.value();

  auto confirm_yes_no = read_switch(lookup, CONFIRM_YES_NO);
  if (!confirm_yes_no.ok()) return std::move(confirm_yes_no).error();
  settings.confirm_yes_no = confirm_yes_no.value();

  auto wake_on_connect = read_switch(lookup, WAKE_ON_CONNECT);
  if (!wake_on_connect.ok()) return std::move(wake_on_connect).error();
  settings.wake_on_connect = wake_on_connect.value();
  return settings;
}

Result<AgentSettings, SettingError> settings_from_environment() {
  return read_settings(process_env);
}

}  // namespace tarnwel
