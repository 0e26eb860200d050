#include "server/settings.h"

#include <array>
#include <cstdint>
#include <string_view>
#include <variant>

#include "base/decimal.h"
#include "base/utf8.h"

namespace tarnwel {
namespace {

// Where a setting's value goes: an on-off switch, or the bound on lifetimes.
using Field = std::variant<bool AgentSettings::*, std::optional<TimeToLive> AgentSettings::*>;

struct Setting {
  const char* name;
  Field field;
};

// Read in this order: of several refused settings, the first is reported.
constexpr std::array<Setting, 6> SETTINGS = {{
    {"TARNWEL_AGENT_LOCK_ON_SLEEP", &AgentSettings::lock_on_sleep},
    {"TARNWEL_AGENT_LOCK_ON_SCREEN_LOCK", &AgentSettings::lock_on_screen_lock},
    {"TARNWEL_AGENT_MAX_TTL_SECONDS", &AgentSettings::max_ttl},
    {"TARNWEL_AGENT_SHOW_REQUESTER", &AgentSettings::show_requester},
    {"TARNWEL_AGENT_CONFIRM_YES_NO", &AgentSettings::confirm_yes_no},
    {"TARNWEL_AGENT_WAKE_ON_CONNECT", &AgentSettings::wake_on_connect},
}};

SettingError refused(const char* name, std::string_view expected, std::string_view value) {
  // The value is the user's own, but it is shown on one diagnostic line.
  return SettingError{std::string(name) + " must be " + std::string(expected) + ", not \"" +
                      single_line_lossy(value) + "\""};
}

// A switch: "1" or "0".
std::optional<SettingError> take(const char* name, std::string_view text, bool& on) {
  if (text != "1" && text != "0") return refused(name, "1 or 0", text);
  on = text == "1";
  return std::nullopt;
}

// The bound on every secret's life: a positive whole number of seconds.
std::optional<SettingError> take(const char* name, std::string_view text,
                                 std::optional<TimeToLive>& bound) {
  const std::optional<std::uint64_t> seconds = parse_decimal(text);
  if (!seconds || *seconds == 0) return refused(name, "a positive whole number of seconds", text);
  bound = TimeToLive::from_seconds(*seconds);
  return std::nullopt;
}

}  // namespace

Result<AgentSettings, SettingError> read_settings(const EnvLookup& lookup) {
  AgentSettings settings;
  for (const Setting& setting : SETTINGS) {
    const std::optional<std::string> value = lookup(setting.name);
    if (!value) continue;  // unset: off
    std::optional<SettingError> refusal = std::visit(
        [&](auto member) { return take(setting.name, *value, settings.*member); }, setting.field);
    if (refusal) return std::move(*refusal);
  }
  return settings;
}

Result<AgentSettings, SettingError> settings_from_environment() {
  return read_settings(process_env);
}

}  // namespace tarnwel
