#include "server/settings.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace tarnwel {
namespace {

using Environment = std::map<std::string, std::string>;

Result<AgentSettings, SettingError> read(const Environment& environment) {
  return read_settings([&](const char* name) -> const char* {
    const auto it = environment.find(name);
    return it == environment.end() ? nullptr : it->second.c_str();
  });
}

TEST(SettingsTest, UnsetIsOffAndEachUnderstoodValueIsTaken) {
  const auto none = read({{"TARNWEL_AGENT_ASKPASS", "x"}});
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none.value().lock_on_sleep);
  EXPECT_FALSE(none.value().max_ttl.has_value());
  EXPECT_FALSE(none.value().show_requester);

  const auto all = read({{"TARNWEL_AGENT_LOCK_ON_SLEEP", "1"},
                         {"TARNWEL_AGENT_MAX_TTL_SECONDS", "18446744073709551615"},
                         {"TARNWEL_AGENT_SHOW_REQUESTER", "1"}});
  ASSERT_TRUE(all.ok());
  EXPECT_TRUE(all.value().lock_on_sleep);
  EXPECT_EQ(all.value().max_ttl, TimeToLive::from_seconds(18446744073709551615u));
  EXPECT_TRUE(all.value().show_requester);

  const auto off = read({{"TARNWEL_AGENT_LOCK_ON_SLEEP", "0"},
                         {"TARNWEL_AGENT_MAX_TTL_SECONDS", "0300"},
                         {"TARNWEL_AGENT_SHOW_REQUESTER", "0"}});
  ASSERT_TRUE(off.ok());
  EXPECT_FALSE(off.value().lock_on_sleep);
  EXPECT_EQ(off.value().max_ttl, TimeToLive::from_seconds(300));
  EXPECT_FALSE(off.value().show_requester);
}

TEST(SettingsTest, AValueNotUnderstoodNamesTheVariableAndTheValue) {
  const std::string SWITCH = " must be 1 or 0, not \"";
  const std::string SECONDS = " must be a positive whole number of seconds, not \"";
  const std::map<Environment, std::string> refused = {
      {{{"TARNWEL_AGENT_LOCK_ON_SLEEP", "yes"}}, "TARNWEL_AGENT_LOCK_ON_SLEEP" + SWITCH + "yes\""},
      {{{"TARNWEL_AGENT_LOCK_ON_SLEEP", ""}}, "TARNWEL_AGENT_LOCK_ON_SLEEP" + SWITCH + "\""},
      {{{"TARNWEL_AGENT_SHOW_REQUESTER", " 1"}}, "TARNWEL_AGENT_SHOW_REQUESTER" + SWITCH + " 1\""},
      // Shown on one line, whatever the value holds.
      {{{"TARNWEL_AGENT_SHOW_REQUESTER", "1\n\xFF"}},
       "TARNWEL_AGENT_SHOW_REQUESTER" + SWITCH + "1\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {{{"TARNWEL_AGENT_MAX_TTL_SECONDS", "0"}}, "TARNWEL_AGENT_MAX_TTL_SECONDS" + SECONDS + "0\""},
      {{{"TARNWEL_AGENT_MAX_TTL_SECONDS", "-5"}},
       "TARNWEL_AGENT_MAX_TTL_SECONDS" + SECONDS + "-5\""},
      {{{"TARNWEL_AGENT_MAX_TTL_SECONDS", "+5"}},
       "TARNWEL_AGENT_MAX_TTL_SECONDS" + SECONDS + "+5\""},
      {{{"TARNWEL_AGENT_MAX_TTL_SECONDS", "1.5"}},
       "TARNWEL_AGENT_MAX_TTL_SECONDS" + SECONDS + "1.5\""},
      {{{"TARNWEL_AGENT_MAX_TTL_SECONDS", "60 "}},
       "TARNWEL_AGENT_MAX_TTL_SECONDS" + SECONDS + "60 \""},
      {{{"TARNWEL_AGENT_MAX_TTL_SECONDS", ""}}, "TARNWEL_AGENT_MAX_TTL_SECONDS" + SECONDS + "\""},
      {{{"TARNWEL_AGENT_MAX_TTL_SECONDS", "18446744073709551616"}},
       "TARNWEL_AGENT_MAX_TTL_SECONDS" + SECONDS + "18446744073709551616\""},
  };
  for (const auto& [environment, text] : refused) {
    const auto settings = read(environment);
    ASSERT_FALSE(settings.ok()) << text;
    EXPECT_EQ(settings.error().text, text);
  }
}

}  // namespace
}  // namespace tarnwel
