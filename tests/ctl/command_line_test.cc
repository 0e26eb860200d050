// tarnwelctl's command line: what "--" does, and the words of each usage error.
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
}

TEST(CommandLineTest, RefusesUsageErrorsSayingWhatIsWrong) {
  // Blank names and reasons among them: those never reach the agent, which
  // would take them.
  const struct {
    std::vector<std::string> args;
    std::string text;
  } cases[] = {
      {{}, "no command given"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"get"}, "get needs a PROFILE"},
      {{"get", "a", "b"}, "get: unexpected argument 'b'"},
      {{"confirm", "p"}, "confirm: unexpected argument 'p'"},
      {{"unlock", "p"}, "unlock needs --reason TEXT, which the confirmation shows"},
      {{"unlock", "p", "--reason", "r", "--ttl", "0"},
       "--ttl takes seconds (3600) or a duration such as 90s, 30m, 8h or 2d, at least 1 second; "
       "not '0'"},
      {{"unlock", "p", "--reason"}, "--reason needs a text"},
      {{"lock", "--reason", "r"}, "--reason is an option of unlock only"},
      {{"get", "p", "--allow-empty"}, "--allow-empty is an option of unlock only"},
      {{"get", "p", "--env", "X"}, "--env is an option of run only"},
      {{"get", "p", "--list"}, "--list is an option of confirm only"},
      {{"ping", "--verbose"}, "unknown option '--verbose'"},
      {{"ping", "--json=yes"}, "--json takes no value"},
      {{"unlock", "p", "--reason", " \t"},
       "unlock: the --reason text is empty or blank; say what the secret is for, the confirmation "
       "shows it"},
      {{"unlock", " ", "--reason", "r"}, "unlock: the profile name is empty or blank"},
      {{"get", ""}, "get: the profile name is empty or blank"},
      {{"run", "p"}, "run needs a command after '--'"},
      {{"run", "p", "true"},
       "run: the command to run goes after '--', as in: tarnwelctl run p -- true"},
      {{"run", "p", "--env", "1X", "--", "true"},
       "--env needs a variable name of letters, digits and '_', not '1X'"},
      {{"run", "p", "--env", "A=B", "--", "true"},
       "--env needs a variable name of letters, digits and '_', not 'A=B'"},
  };
  for (const auto& [args, text] : cases) {
    const Result<Invocation, UsageError> refused = parse_command_line(args);
    ASSERT_FALSE(refused.ok()) << ::testing::PrintToString(args);
    EXPECT_EQ(refused.error().text, text) << ::testing::PrintToString(args);
  }
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
