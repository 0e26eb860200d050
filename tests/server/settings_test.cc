#include "server/settings.h"

#include <array>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace tarnwel {
namespace {

using Environment = std::map<std::string, std::string>;

Result<AgentSettings, SettingError> read(const Environment& environment) {
  return read_settings([&](const char* name) -> const char* {
    const auto it = environment.find(name);
    return it == environment.end() ? nullptr : it->second.c_str();
  });
}

// What read() takes from `environment`: lock_on_sleep, max_ttl, show_requester.
std::tuple<bool, std::optional<TimeToLive>, bool> taken(const Environment& environment) {
  const auto settings = read(environment);
  EXPECT_TRUE(settings.ok()) << (settings.ok() ? "" : settings.error().text);
  const AgentSettings value = settings.ok() ? settings.value() : AgentSettings{};
  return {value.lock_on_sleep, value.max_ttl, value.show_requester};
}

TEST(SettingsTest, UnsetIsOffAndEachUnderstoodValueIsTaken) {
  EXPECT_EQ(taken({{"TARNWEL_AGENT_ASKPASS", "x"}}), std::tuple(false, std::nullopt, false));
  EXPECT_EQ(taken({{"TARNWEL_AGENT_LOCK_ON_SLEEP", "1"},
                   {"TARNWEL_AGENT_MAX_TTL_SECONDS", "18446744073709551615"},
                   {"TARNWEL_AGENT_SHOW_REQUESTER", "1"}}),
            std::tuple(true, TimeToLive::from_seconds(18446744073709551615u), true));
  EXPECT_EQ(taken({{"TARNWEL_AGENT_LOCK_ON_SLEEP", "0"},
                   {"TARNWEL_AGENT_MAX_TTL_SECONDS", "0300"},
                   {"TARNWEL_AGENT_SHOW_REQUESTER", "0"}}),
            std::tuple(false, TimeToLive::from_seconds(300), false));
}

TEST(SettingsTest, WakeOnConnectIsASwitchThatIsOffUnlessSetTo1) {
  const auto wake = [](const Environment& environment) {
    const auto settings = read(environment);
    return settings.ok() && settings.value().wake_on_connect;
  };
  EXPECT_FALSE(wake({}));
  EXPECT_FALSE(wake({{"TARNWEL_AGENT_WAKE_ON_CONNECT", "0"}}));
  EXPECT_TRUE(wake({{"TARNWEL_AGENT_WAKE_ON_CONNECT", "1"}}));
}

TEST(SettingsTest, AValueNotUnderstoodNamesTheVariableAndTheValue) {
  const std::string SWITCH = " must be 1 or 0, not \"";
  const std::string SECONDS = " must be a positive whole number of seconds, not \"";
  // The variable, its value, and the value as the line shows it.
  const std::vector<std::array<std::string, 3>> refused = {
      {"TARNWEL_AGENT_LOCK_ON_SLEEP", "yes", "yes"},
      {"TARNWEL_AGENT_LOCK_ON_SLEEP", "", ""},
      {"TARNWEL_AGENT_SHOW_REQUESTER", " 1", " 1"},
      {"TARNWEL_AGENT_WAKE_ON_CONNECT", "on", "on"},
      {"TARNWEL_AGENT_WAKE_ON_CONNECT", "10", "10"},
      // One line, whatever the value holds.
      {"TARNWEL_AGENT_SHOW_REQUESTER", "1\n\xFF", "1\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"TARNWEL_AGENT_MAX_TTL_SECONDS", "0", "0"},
      {"TARNWEL_AGENT_MAX_TTL_SECONDS", "-5", "-5"},
      {"TARNWEL_AGENT_MAX_TTL_SECONDS", "+5", "+5"},
      {"TARNWEL_AGENT_MAX_TTL_SECONDS", "1.5", "1.5"},
      {"TARNWEL_AGENT_MAX_TTL_SECONDS", "60 ", "60 "},
      {"TARNWEL_AGENT_MAX_TTL_SECONDS", "", ""},
      {"TARNWEL_AGENT_MAX_TTL_SECONDS", "18446744073709551616", "18446744073709551616"},
  };
  for (const auto& [name, value, shown] : refused) {
    const auto settings = read({{name, value}});
    ASSERT_FALSE(settings.ok()) << name << "=" << value;
    EXPECT_EQ(settings.error().text,
              name + (name.ends_with("SECONDS") ? SECONDS : SWITCH) + shown + "\"");
  }
}

}  // namespace
}  // namespace tarnwel
