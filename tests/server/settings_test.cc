#include "server/settings.h"

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace tarnwel {
namespace {

using Environment = std::map<std::string, std::string>;

Result<AgentSettings, SettingError> read(const Environment& environment) {
  return read_settings([&](const char* name) -> std::optional<std::string> {
    const auto it = environment.find(name);
    if (it == environment.end()) return std::nullopt;
    return it->second;
  });
}

// What read() takes from `environment`: lock_on_sleep, max_ttl, show_requester,
// wake_on_connect, lock_on_screen_lock, confirm_yes_no.
std::tuple<bool, std::optional<TimeToLive>, bool, bool, bool, bool> taken(
    const Environment& environment) {
  const auto settings = read(environment);
  EXPECT_TRUE(settings.ok()) << (settings.ok() ? "" : settings.error().text);
  const AgentSettings value = settings.ok() ? settings.value() : AgentSettings{};
  return {value.lock_on_sleep,       value.max_ttl,
          value.show_requester,      value.wake_on_connect,
          value.lock_on_screen_lock, value.confirm_yes_no};
}

TEST(SettingsTest, UnsetIsOffAndEachUnderstoodValueIsTaken) {
  EXPECT_EQ(taken({{"TARNWEL_AGENT_ASKPASS", "x"}}),
            std::tuple(false, std::nullopt, false, false, false, false));
  EXPECT_EQ(
      taken({{"TARNWEL_AGENT_LOCK_ON_SLEEP", "1"},
             {"TARNWEL_AGENT_MAX_TTL_SECONDS", "18446744073709551615"},
             {"TARNWEL_AGENT_SHOW_REQUESTER", "1"},
             {"TARNWEL_AGENT_WAKE_ON_CONNECT", "1"},
             {"TARNWEL_AGENT_LOCK_ON_SCREEN_LOCK", "1"},
             {"TARNWEL_AGENT_CONFIRM_YES_NO", "1"}}),
      std::tuple(true, TimeToLive::from_seconds(18446744073709551615u), true, true, true, true));
  EXPECT_EQ(taken({{"TARNWEL_AGENT_LOCK_ON_SLEEP", "0"},
                   {"TARNWEL_AGENT_MAX_TTL_SECONDS", "0300"},
                   {"TARNWEL_AGENT_SHOW_REQUESTER", "0"},
                   {"TARNWEL_AGENT_WAKE_ON_CONNECT", "0"},
                   {"TARNWEL_AGENT_LOCK_ON_SCREEN_LOCK", "0"},
                   {"TARNWEL_AGENT_CONFIRM_YES_NO", "0"}}),
            std::tuple(false, TimeToLive::from_seconds(300), false, false, false, false));
}

TEST(SettingsTest, AValueNotUnderstoodNamesTheVariableAndTheValue) {
  const auto refusal = [](const std::string& name, const std::string& value) {
    const auto settings = read({{name, value}});
    return settings.ok() ? std::string("taken") : settings.error().text;
  };
  // Each variable with the values it refuses, every one shown as it came.
  const std::vector<std::pair<std::string, std::vector<std::string>>> refused = {
      {"TARNWEL_AGENT_LOCK_ON_SLEEP", {"yes", ""}},
      {"TARNWEL_AGENT_SHOW_REQUESTER", {" 1"}},
      {"TARNWEL_AGENT_CONFIRM_YES_NO", {"yes"}},
      {"TARNWEL_AGENT_WAKE_ON_CONNECT", {"on", "10"}},
      {"TARNWEL_AGENT_LOCK_ON_SCREEN_LOCK", {"true"}},
      {"TARNWEL_AGENT_MAX_TTL_SECONDS",
       {"0", "-5", "+5", "1.5", "60 ", "", "18446744073709551616"}},
  };
  for (const auto& [name, values] : refused) {
    const std::string rule = name.ends_with("SECONDS")
                                 ? " must be a positive whole number of seconds, not \""
                                 : " must be 1 or 0, not \"";
    for (const std::string& value : values) {
      EXPECT_EQ(refusal(name, value), name + rule + value + "\"");
    }
  }
  // One line, whatever the value holds.
  EXPECT_EQ(refusal("TARNWEL_AGENT_SHOW_REQUESTER", "1\n\xFF"),
            "TARNWEL_AGENT_SHOW_REQUESTER must be 1 or 0, not \"1\xEF\xBF\xBD\xEF\xBF\xBD\"");
}

}  // namespace
}  // namespace tarnwel
