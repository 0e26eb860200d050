// tarnwelctl end to end: the real binary against the real agent.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "agent_commit.h"
#include "agent_version.h"
#include "client/client.h"
#include "support/agent_harness.h"
#include "support/needs_root.h"

namespace tarnwel {
namespace {

using client_testing::CtlResult;
using client_testing::run_ctl;

class TarnwelctlTest : public client_testing::SandboxTest {};

// The agent answers --version and --help without creating its runtime
// directory.
TEST_F(TarnwelctlTest, VersionsHelpAndTheSocketPathNeedNoAgent) {
  const std::string commit = std::string(" (commit ") + TARNWEL_AGENT_COMMIT + ")\n";
  const auto agent_says = [&](const char* arg) {
    return client_testing::run_program(TARNWEL_AGENT_BINARY, {arg}, "", environment());
  };
  EXPECT_EQ(ctl({"socket-path"}), (CtlResult{0, socket_path() + "\n", ""}));
  EXPECT_EQ(ctl({"--version"}), (CtlResult{0, "tarnwelctl " TARNWEL_VERSION + commit, ""}));
  EXPECT_EQ(agent_says("--version"), (CtlResult{0, "tarnwel-agent " TARNWEL_VERSION + commit, ""}));
  const CtlResult agent_help = agent_says("--help");
  EXPECT_EQ(agent_help.status, 0);
  EXPECT_TRUE(agent_help.out.starts_with("Usage: tarnwel-agent [--help | --version]\n"));
  EXPECT_FALSE(std::filesystem::exists(testing::runtime_dir_in(dir())));
}

// A command's help lists the statuses it can end with and no others.
TEST_F(TarnwelctlTest, HelpAsACommandIsTheHelpOptionAndACommandsListsItsStatuses) {
  const CtlResult help = ctl({"--help"});
  EXPECT_TRUE(help.out.starts_with("Usage: tarnwelctl [--json] COMMAND"));
  EXPECT_EQ(ctl({"help"}), help);
  const CtlResult get_help = ctl({"help", "get"});
  EXPECT_EQ(get_help, ctl({"get", "--help"}));
  EXPECT_NE(get_help, help);
  EXPECT_NE(get_help.out.find("\nExit status:\n  0  success\n  1  "), std::string::npos)
      << get_help.out;
  EXPECT_EQ(get_help.out.find("  5  no agent could be started"), std::string::npos) << get_help.out;
  EXPECT_EQ(ctl({"help", "run"}).out.find("Exit status:\n"), std::string::npos);
}

// Only unlock and start start an agent.
TEST_F(TarnwelctlTest, WithoutAnAgentACommandExitsWith3AndNamesTheWayToStartOne) {
  EXPECT_EQ(ctl({"ping"}), (CtlResult{3, "",
                                      "tarnwelctl: no agent is running (nothing answers at " +
                                          socket_path() + "): 'tarnwelctl start' starts one\n"}));
  EXPECT_EQ(ctl({"get", "p"}).status, 3);
}

TEST_F(TarnwelctlTest, ServiceOnlyLeavesStartingAnAgentToTheServiceManager) {
  std::vector<std::string> service_only = environment();
  service_only.push_back("TARNWEL_AGENT_SERVICE_ONLY=1");
  EXPECT_EQ(run_ctl({"start"}, "", service_only),
            (CtlResult{5, "",
                       "tarnwelctl: could not start an agent: nothing answers at " + socket_path() +
                           ", and TARNWEL_AGENT_SERVICE_ONLY=1 leaves starting an agent to the "
                           "service manager\n"}));
  // A value it does not take stops every command at once, with status 1.
  service_only.back() = "TARNWEL_AGENT_SERVICE_ONLY=yes";
  EXPECT_EQ(
      run_ctl({"ping"}, "", service_only),
      (CtlResult{1, "", "tarnwelctl: TARNWEL_AGENT_SERVICE_ONLY must be 1 or 0, not \"yes\"\n"}));
}

// "run" passes its command's statuses on, so a failure of its own, a usage
// error too, is told apart as 125.
TEST_F(TarnwelctlTest, RunsOwnFailuresExitWith125) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"run", "p", "--", "/bin/true"}, {"run", "p"}, {"run", "--bogus", "p", "--", "true"}}) {
    EXPECT_EQ(ctl(args).status, 125) << ::testing::PrintToString(args);
  }
}

// A usage error (the cases are in command_line_test.cc) says so, points at the
// help and exits with 2 before an agent is started: among them a reason the
// agent would deny as blank (U+00A0 is White_Space too) and a secret well
// under the limit whose request is over it, since quotes double when escaped.
// So does a secret refused (an empty input, or ctrl-d at the prompt, unless
// allowed); and --no-start leaves a missing agent missing.
TEST_F(TarnwelctlTest, UsageErrorsAndRefusedSecretsExitWith2AndStartNoAgent) {
  const std::string empty =
      "tarnwelctl: the secret is empty (standard input held nothing but perhaps a newline), so "
      "nothing was sent; give --allow-empty to store an empty secret\n";
  const struct {
    std::vector<std::string> args;
    std::string input, err;
  } cases[] = {
      {{"help", "frobnicate"},
       "",
       "tarnwelctl: unknown command 'frobnicate'\ntarnwelctl: see 'tarnwelctl --help'\n"},
      {{"unlock", "p", "--reason", "\xC2\xA0"},
       "x",
       "tarnwelctl: unlock: the --reason text is empty or blank; say what the secret is for, the "
       "confirmation shows it\ntarnwelctl: see 'tarnwelctl unlock --help'\n"},
      {{"unlock", "p", "--reason", "r"},
       std::string(600'000, '"'),
       "tarnwelctl: the request is 1200077 bytes, more than the 1000000 that the agent takes in "
       "one message; nothing was sent (the secret is too long)\n"},
      {{"unlock", "p", "--reason", "r"}, "\xff\n", "tarnwelctl: the secret is not valid UTF-8\n"},
      {{"unlock", "p", "--reason", "r"}, "", empty},
      {{"unlock", "p", "--reason", "r"}, "\n", empty},
  };
  for (const auto& [args, input, err] : cases) EXPECT_EQ(ctl(args, input), (CtlResult{2, "", err}));
  EXPECT_EQ(ctl({"unlock", "p", "--reason", "r", "--no-start"}, "x").status, 3);
  EXPECT_EQ(client.ping().error().kind, ClientError::Kind::NoAgent);
}

TEST_F(TarnwelctlTest, ARuntimeDirOpenToOthersIsRefusedBeforeAnythingIsSent) {
  const std::string runtime_dir = testing::runtime_dir_in(dir());
  ASSERT_EQ(::mkdir(runtime_dir.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(runtime_dir.c_str(), 0755), 0);
  EXPECT_EQ(ctl({"ping"}),
            (CtlResult{6, "",
                       "tarnwelctl: refusing to talk to " + socket_path() + ": " + runtime_dir +
                           " has mode 0755, which lets other users in (group and "
                           "others must have no access)\n"}));
}

TEST_F(TarnwelctlTest, APeerThatDoesNotSpeakTheProtocolIsACommunicationFailure) {
  ASSERT_EQ(::mkdir(testing::runtime_dir_in(dir()).c_str(), 0700), 0);
  const client_testing::OneShotPeer peer(socket_path(), "garbage\n");
  EXPECT_EQ(ctl({"ping"}),
            (CtlResult{4, "", "tarnwelctl: malformed reply: reply is not a JSON object\n"}));
}

TEST_F(TarnwelctlTest, UnlockStartsAnAgentTakesTheSecretFromStdinAndGetPrintsOnlyIt) {
  const std::pair<std::string, std::string> cases[] = {
      {"s3 cret\n", "s3 cret\n"},      // the line's newline is stripped ...
      {"two\n\n", "two\n\n"},          // ... one of them only
      {"no newline", "no newline\n"},  // nothing to strip
      {"\n", "\n"},                    // an empty secret, when allowed
      {"caf\xc3\xa9\r\n", "caf\xc3\xa9\r\n"},
  };
  for (const auto& [input, printed] : cases) {
    // No prompt when stdin is not a terminal.
    ASSERT_EQ(ctl({"unlock", "p", "--reason", "test", "--ttl", "1h30m", "--allow-empty"}, input),
              (CtlResult{0, "", ""}));
    EXPECT_EQ(ctl({"get", "p"}), (CtlResult{0, printed, ""}));
  }
}

TEST_F(TarnwelctlTest, PresenceFailuresNameTheAgentAndWhatToSet) {
  const std::string reread =
      "; an agent reads its environment once, at start: stop this one with 'tarnwelctl "
      "shutdown' and run the command again from a shell that has the setting\n";
  // A copy of the agent without its own askpass program beside it.
  const std::string lone = dir() + "/lone/tarnwel-agent";
  std::filesystem::create_directory(dir() + "/lone");
  std::filesystem::copy_file(TARNWEL_AGENT_BINARY, lone);
  const pid_t lone_pid = testing::spawn(lone, {}, environment(/*with_askpass=*/false), -1, -1, -1);
  agent.emplace(lone_pid);
  ASSERT_TRUE(testing::wait_until_serving(*agent, socket_path()));
  std::string pid = std::to_string(lone_pid);
  EXPECT_EQ(ctl({"unlock", "p", "--reason", "r"}, "x"),
            (CtlResult{1, "",
                       "tarnwelctl: the agent (pid " + pid +
                           ") has no program to ask for confirmation: it runs "
                           "TARNWEL_AGENT_ASKPASS, else SSH_ASKPASS, else ssh-askpass from PATH "
                           "when DISPLAY or WAYLAND_DISPLAY is set, as its environment had them "
                           "when it started, else tarnwel-askpass installed beside it, and found "
                           "none" +
                           reread}));
  std::vector<std::string> broken = environment(false);
  const std::string missing = dir() + "/no-such-askpass";
  broken.push_back("TARNWEL_AGENT_ASKPASS=" + missing);
  pid = std::to_string(start_agent(broken));
  EXPECT_EQ(run_ctl({"unlock", "p", "--reason", "r"}, "x", broken),
            (CtlResult{1, "",
                       "tarnwelctl: presence check failed: could not run askpass " + missing +
                           ": No such file or directory (os error 2) (run by the agent (pid " +
                           pid + "))" + reread}));
}

TEST_F(TarnwelctlTest, RunExecsTheCommandWithTheSecretInOneVariableAndFailsAsAShellWould) {
  start_agent(environment());
  ASSERT_TRUE(client.unlock("p", "test", "s3cr3t $HOME").ok());
  // The command's output, arguments and exit status are its own.
  EXPECT_EQ(
      ctl({"run", "p", "--env", "TOKEN", "--", "/bin/sh", "-c",
           "printf '%s|%s|%s' \"$TOKEN\" \"$0\" \"${TARNWEL_SECRET-unset}\"; exit 7", "arg0"}),
      (CtlResult{7, "s3cr3t $HOME|arg0|unset", ""}));
  // Nothing runs without a secret (the hint quotes the name for a shell); a
  // missing command is reported as a shell would.
  EXPECT_EQ(ctl({"run", "it's", "--", "/bin/sh", "-c", "echo ran"}),
            (CtlResult{125, "",
                       "tarnwelctl: no secret is cached for 'it's': run tarnwelctl unlock "
                       "'it'\\''s' --reason TEXT\n"}));
  EXPECT_EQ(ctl({"run", "p", "--", dir() + "/no-such-command"}),
            (CtlResult{127, "",
                       "tarnwelctl: cannot run " + dir() +
                           "/no-such-command: No such file or directory (os error 2)\n"}));
  EXPECT_EQ(ctl({"run", "p", "--", dir()}).status, 126);  // a directory cannot be run
}

TEST_F(TarnwelctlTest, JsonPrintsTheReplyLineAsItCameAndWithoutItTheReplyIsText) {
  start_agent(environment());
  ASSERT_TRUE(client.unlock("p", "test", "s").ok());
  const Result<WipedBytes, ClientError> status =
      client.request({{"cmd", "status"}, {"protocol_version", 2}});
  ASSERT_TRUE(status.ok());
  const std::string pong = testing::ping_reply(agent->pid());
  // start prints the reply of the agent it found, and starts no other.
  const std::pair<std::vector<std::string>, std::string> lines[] = {
      {{"--json", "ping"}, pong},
      {{"start", "--json"}, pong},
      {{"status", "--json"}, std::string(as_view(status.value())) + "\n"},
      {{"get", "p", "--json"}, "{\"ok\":true,\"secret\":\"s\"}\n"}};
  for (const auto& [args, line] : lines) EXPECT_EQ(ctl(args), (CtlResult{0, line, ""}));
  EXPECT_EQ(
      ctl({"--json", "get", "none"}),
      (CtlResult{1, "{\"error\":\"not_cached\",\"ok\":false}\n", "tarnwelctl: not_cached\n"}));
  ASSERT_TRUE(client.unlock("q", "r", "x").ok());
  // Without --json, the same reply as text.
  EXPECT_EQ(ctl({"status"}).out,
            "tarnwel-agent " TARNWEL_VERSION " (commit " TARNWEL_AGENT_COMMIT "), pid " +
                std::to_string(agent->pid()) + ", protocol 2\ncached profiles:\n  p\n  q\n");
  EXPECT_EQ(ctl({"lock"}), (CtlResult{0, "", ""}));
  EXPECT_EQ(client.status().value().cached_profiles, std::vector<std::string>{});
}

// An agent that tarnwelctl starts leads a session of its own and holds
// nothing of the caller's: its standard streams are /dev/null, no descriptor
// above 2 (a shell's "3>&1" into a pipe would never see end of file) and not
// its working directory, yet it serves the socket that a relative runtime
// directory names from where tarnwelctl ran.
TEST_F(TarnwelctlTest, StartDetachesTheAgentFromTheCallersSessionStreamsAndDirectory) {
  SKIP_UNLESS_ROOT("reads /proc of the undumpable agent");
  std::filesystem::create_directory(dir() + "/rel");
  const CtlResult started = client_testing::run_program(
      "/bin/sh",
      {"-c", "cd " + dir() + " && exec " TARNWELCTL_PATH_FOR_CLIENT_TESTS " start 3>held"}, "",
      testing::agent_environment("rel", askpass.program()));
  ASSERT_EQ(started, (CtlResult{0, "", ""}));

  const Client detached(testing::socket_path_in(dir() + "/rel"));
  const Result<AgentIdentity, ClientError> pong = detached.ping();
  ASSERT_TRUE(pong.ok()) << describe(pong.error());
  const auto pid = static_cast<pid_t>(pong.value().agent_pid);
  EXPECT_EQ(::getsid(pid), pid);  // a session of its own, led by the agent
  const std::string proc = "/proc/" + std::to_string(pid);
  EXPECT_EQ(std::filesystem::read_symlink(proc + "/cwd"), "/");
  // Started for a client, it answers at once: the caller set no wake-on-connect.
  const std::string variables = '\0' + testing::read_file(proc + "/environ");
  EXPECT_NE(variables.find(std::string_view("\0TARNWEL_AGENT_WAKE_ON_CONNECT=1\0", 33)),
            std::string::npos);
  // The connection of the ping above may still be closing: an entry that is
  // gone by the time it is read was no inherited descriptor.
  for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd")) {
    std::error_code gone;
    const std::filesystem::path target = std::filesystem::read_symlink(fd.path(), gone);
    if (gone) continue;
    EXPECT_NE(target, dir() + "/held");
    if (fd.path().filename().string().size() == 1 && fd.path().filename() <= "2") {
      EXPECT_EQ(target, "/dev/null") << fd.path();
    }
  }
  EXPECT_TRUE(detached.shutdown().ok());
}

// A pseudo-terminal on stdin: the secret is typed without echo and the
// terminal's settings come back, also when ctrl-c ends the prompt.
TEST_F(TarnwelctlTest, OnATerminalTheSecretIsTypedWithoutEchoWhichComesBackEvenOnInterrupt) {
  const UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY));  // macOS takes no O_CLOEXEC here
  ASSERT_TRUE(master.valid());
  ::fcntl(master.get(), F_SETFD, FD_CLOEXEC);
  ASSERT_EQ(::grantpt(master.get()), 0);
  ASSERT_EQ(::unlockpt(master.get()), 0);
  const UniqueFd terminal(::open(::ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(terminal.valid());
  const auto echo_on = [&] {
    termios settings{};
    EXPECT_EQ(::tcgetattr(terminal.get(), &settings), 0);
    return (settings.c_lflag & ECHO) != 0;
  };
  // Starts `tarnwelctl unlock` on the terminal and returns once its prompt is
  // out, which it writes only after echo is off.
  std::optional<client_testing::RunningProgram> unlock;
  const auto start_unlock = [&] {
    unlock.emplace([&](int, int, int err) {
      return testing::spawn(TARNWELCTL_PATH_FOR_CLIENT_TESTS, {"unlock", "tty", "--reason", "r"},
                            environment(), terminal.get(), -1, err);
    });
    EXPECT_EQ(unlock->read_err_until(": "), "Secret for profile tty: ");
    return unlock->pid();
  };

  ASSERT_TRUE(echo_on());
  const pid_t pid = start_unlock();
  EXPECT_FALSE(echo_on());
  ASSERT_EQ(::kill(pid, SIGINT), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
  EXPECT_TRUE(echo_on());

  start_agent(environment());
  start_unlock();
  EXPECT_FALSE(echo_on());
  ASSERT_EQ(::write(master.get(), "typed secret\n", 13), 13);
  EXPECT_EQ(unlock->finish().status, 0);
  EXPECT_TRUE(echo_on());
  EXPECT_EQ(std::string(client.get_secret("tty").value().bytes()), "typed secret");
}

// An agent that will not start is heard: its own line, from the log that
// holds it. Its base directory is missing, and it makes none; a trailing
// slash joins without a second one. And the caller's own wake-on-connect
// reaches the agent that a client starts, in place of the launcher's "1":
// this one is refused, so none answers.
TEST_F(TarnwelctlTest, AFailedStartShowsTheAgentsLineFromItsLog) {
  std::vector<std::string> env = environment();
  env.front() = "TARNWEL_AGENT_RUNTIME_DIR=" + dir() + "/missing/";
  env.push_back("HOME=" + dir());
  const auto start_fails_with = [&](const std::string& line) {
    const CtlResult started = run_ctl({"start"}, "", env);
    EXPECT_EQ(started.status, 5);
    EXPECT_TRUE(
        started.err.ends_with(" exited with status 1 before answering: tarnwel-agent: " + line +
                              " (from " + dir() + "/.local/state/tarnwel-agent/agent.log)\n"))
        << started.err;
  };
  start_fails_with("refusing to use runtime dir " + dir() + "/missing/tarnwel-agent-" +
                   std::to_string(::getuid()) + ": No such file or directory (os error 2)");
  env.push_back("TARNWEL_AGENT_WAKE_ON_CONNECT=bogus");
  start_fails_with("TARNWEL_AGENT_WAKE_ON_CONNECT must be 1 or 0, not \"bogus\"");
  EXPECT_FALSE(std::filesystem::exists(dir() + "/missing"));
}

// A profile's name reaches the terminal as the prompt shows a reason, with its
// control characters replaced (--json gives the reply line as it came).
TEST_F(TarnwelctlTest, PlainOutputReplacesTheControlCharactersOfAName) {
  start_agent(environment());
  ASSERT_TRUE(client.unlock("t\x1b]0;x\x07", "r", "s").ok());
  EXPECT_NE(ctl({"status"}).out.find("\n  t\uFFFD]0;x\uFFFD\n"), std::string::npos);
  EXPECT_EQ(ctl({"get", "n\x1b[2J"}).err,
            "tarnwelctl: no secret is cached for 'n\uFFFD[2J': run tarnwelctl unlock "
            "'n\uFFFD[2J' --reason TEXT\n");
}

// An unlock while another profile's confirmation is up waits for it to end,
// saying so once, and is then asked in its turn.
TEST_F(TarnwelctlTest, UnlockWaitsOutAnotherProfilesConfirmation) {
  start_agent(environment());
  askpass.hold();
  std::thread first([&] { EXPECT_TRUE(client.unlock("a", "open a", "s").ok()); });
  ASSERT_TRUE(askpass.wait_for_runs(1));
  client_testing::RunningProgram second(
      [&](int in, int out, int err) {
        return testing::spawn(TARNWELCTL_PATH_FOR_CLIENT_TESTS, {"unlock", "b", "--reason", "open b"},
                              environment(), in, out, err);
      },
      "t");
  EXPECT_EQ(second.read_err_until("\n"),
            "tarnwelctl: another confirmation is up; waiting for it to end (at most 2 "
            "minutes)\n");
  askpass.answer(0);
  first.join();
  EXPECT_EQ(second.finish(), (CtlResult{0, "", ""}));
  EXPECT_EQ(client.status().value().cached_profiles, (std::vector<std::string>{"a", "b"}));
}

// Only a process on the far end of the socket shows the peer lookup and the
// askpass environment working together; the other two settings, on as well,
// change nothing the client sees.
TEST_F(TarnwelctlTest, ShowRequesterNamesTheClientInTheAskpassArgumentAndEnvironment) {
  std::vector<std::string> settings = environment();
  settings.insert(settings.end(),
                  {"TARNWEL_AGENT_SHOW_REQUESTER=1", "TARNWEL_AGENT_LOCK_ON_SLEEP=1",
                   "TARNWEL_AGENT_MAX_TTL_SECONDS=3600"});
  start_agent(settings);
  const std::string exe = std::filesystem::read_symlink("/proc/self/exe");
  const std::string pid = std::to_string(::getpid());
  ASSERT_TRUE(client.unlock("a", "open a", "s").ok());
  EXPECT_EQ(askpass.runs(), (std::vector<std::string>{
                                "confirm open a", "Requested by " + exe + " (pid " + pid + ")"}));
  EXPECT_EQ(askpass.requesters(), std::vector<std::string>{pid + "|" + exe});
  EXPECT_EQ(std::string(client.get_secret("a").value().bytes()), "s");
  EXPECT_EQ(agent->output(), "");
}

TEST_F(TarnwelctlTest, UnlockRefusesAConfirmationDirOfAnotherUserAndNamesTheWayOut) {
  SKIP_UNLESS_ROOT("gives a directory to another user");
  const std::string taken = dir() + "/tarnwel-confirm-" + std::to_string(::getuid());
  ASSERT_EQ(::mkdir(taken.c_str(), 0700), 0);
  ASSERT_EQ(::chown(taken.c_str(), 12345, 12345), 0);
  EXPECT_EQ(ctl({"unlock", "p", "--reason", "r"}, "s"),
            (CtlResult{6, "",
                       "tarnwelctl: refusing to use confirmation dir " + taken + ": " + taken +
                           " is owned by uid 12345, not this process's uid 0; it belongs to uid "
                           "12345, which has no user name: use a private directory instead, by "
                           "setting TARNWEL_AGENT_RUNTIME_DIR to a directory of your own or in a "
                           "login session that sets XDG_RUNTIME_DIR\n"}));
}

}  // namespace
}  // namespace tarnwel
