// tarnwelctl's command line: what "--" does.
#include "ctl/command_line.h"

#include <gtest/gtest.h>

namespace tarnwel {
namespace {

TEST(CommandLineTest, DashesEndOptionsAndStartRunsCommand) {
  const Result<Invocation, UsageError> run =
      parse_command_line({"run", "p", "--env", "TOKEN", "--", "git", "push", "--force"});
  ASSERT_TRUE(run.ok()) << run.error().text;
  EXPECT_EQ(run.value().command, Command::Run);
  EXPECT_EQ(run.value().profile, "p");
  EXPECT_EQ(run.value().env_name, "TOKEN");
  EXPECT_EQ(run.value().run_argv, (std::vector<std::string>{"git", "push", "--force"}));
  EXPECT_EQ(parse_command_line({"run", "p", "--", "env"}).value().env_name, "TARNWEL_SECRET");

  // Elsewhere "--" lets a profile begin with a dash.
  const Result<Invocation, UsageError> get = parse_command_line({"get", "--", "-p"});
  ASSERT_TRUE(get.ok());
  EXPECT_EQ(get.value().profile, "-p");
  EXPECT_EQ(parse_command_line({"--", "get", "-p"}).value().profile, "-p");
  // Usage errors, blank names and reasons among them: those never reach the
  // agent, which would take them.
  for (const std::vector<std::string>& wrong : std::vector<std::vector<std::string>>{
           {}, {"frobnicate"}, {"get"}, {"get", "a", "b"}, {"ping", "extra"}, {"unlock", "p"},
           {"unlock", "p", "--reason", "r", "--ttl", "0"},
           {"unlock", "p", "--reason"}, {"lock", "--reason", "r"}, {"ping", "--verbose"},
           {"ping", "--json=yes"}, {"unlock", "p", "--reason", " \t"}, {"unlock", "p", "--reason", ""},
           {"unlock", " ", "--reason", "r"}, {"get", ""}, {"lock", ""}, {"--json", "lock", " "},
           {"get", "p", "--allow-empty"}, {"run", "p"}, {"run", "p", "true"}, {"run", "", "--", "true"},
           {"run", "p", "--env", "1X", "--", "true"}, {"run", "p", "--env", "A=B", "--", "true"},
           {"get", "p", "--env", "X"}, {"get", "p", "--list"}, {"confirm", "p"}}) {
    const Result<Invocation, UsageError> refused = parse_command_line(wrong);
    EXPECT_FALSE(refused.ok()) << ::testing::PrintToString(wrong);
    if (!refused.ok()) {
      EXPECT_FALSE(refused.error().text.empty());
    }
  }
  EXPECT_TRUE(parse_command_line({"confirm", "--list"}).value().list);
  EXPECT_FALSE(parse_command_line({"confirm"}).value().list);
  // --version answers whatever else is on the line.
  EXPECT_TRUE(parse_command_line({"ping", "extra", "--version"}).value().version);
}

// "help" and "help COMMAND" are shown end to end, beside --help.
TEST(CommandLineTest, HelpAsACommandNamesAtMostOneKnownCommand) {
  // "help" names a command only in first place.
  EXPECT_EQ(parse_command_line({"get", "help"}).value().profile, "help");
  EXPECT_FALSE(parse_command_line({"help", "help"}).value().command.has_value());
  EXPECT_EQ(parse_command_line({"help", "get", "p"}).error().text, "help: unexpected argument 'p'");
}

}  // namespace
}  // namespace tarnwel
