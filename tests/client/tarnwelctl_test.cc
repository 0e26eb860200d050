// tarnwelctl end to end: the real binary against the real agent.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "agent_commit.h"
#include "base/unix_socket.h"
#include "support/agent_harness.h"
#include "client/client.h"
#include "support/socket_pair.h"

namespace tarnwel {
namespace {

using client_testing::AgentChild;
using client_testing::CtlResult;
using client_testing::run_ctl;
using client_testing::Sandbox;

class TarnwelctlTest : public ::testing::Test {
 protected:
  CtlResult ctl(const std::vector<std::string>& args, const std::string& input = "") {
    return run_ctl(args, input, box.environment());
  }

  Sandbox box;
  Client client{box.socket_path()};
};

TEST_F(TarnwelctlTest, ExitStatusesTellTheClassesOfFailureApart) {
  const CtlResult none = ctl({"ping"});
  EXPECT_EQ(none.status, 3);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "tarnwelctl: no agent is running (nothing answers at " + box.socket_path() +
                          "): 'tarnwelctl start' starts one\n");
  EXPECT_EQ(ctl({"get", "p"}).status, 3);  // only unlock and start start an agent
  EXPECT_EQ(ctl({"status"}).status, 3);
  EXPECT_FALSE(client.ping().ok());

  // A usage error (the cases are in ../ctl) says so and exits with 2.
  const CtlResult usage = ctl({"unlock", "p", "--reason", " \t"}, "x");
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.out, "");
  EXPECT_EQ(usage.err.rfind("tarnwelctl: ", 0), 0u) << usage.err;

  // Quotes double when escaped: a secret well under the limit makes a request
  // over it, refused before an agent would be started for it.
  const CtlResult huge = ctl({"unlock", "p", "--reason", "r"}, std::string(600'000, '"'));
  EXPECT_EQ(huge.status, 2);
  EXPECT_EQ(huge.err,
            "tarnwelctl: the request is 1200077 bytes, more than the 1000000 that the "
            "agent takes in one message; nothing was sent (the secret is too long)\n");
  EXPECT_FALSE(client.ping().ok());

  AgentChild agent(box.environment(), box.socket_path());
  const CtlResult missing = ctl({"get", "p"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err,
            "tarnwelctl: no secret is cached for 'p': run tarnwelctl unlock p --reason TEXT\n");
  const CtlResult quoted = ctl({"get", "it's"});
  EXPECT_EQ(quoted.err, "tarnwelctl: no secret is cached for 'it's': run tarnwelctl unlock "
                        "'it'\\''s' --reason TEXT\n");
  EXPECT_EQ(ctl({"lock"}).status, 0);
  EXPECT_EQ(ctl({"ping"}).status, 0);

  // A peer that answers with something that is not the protocol.
  Sandbox other;
  const std::string other_dir = std::filesystem::path(other.socket_path()).parent_path();
  std::filesystem::create_directories(other_dir);
  ASSERT_EQ(::chmod(other_dir.c_str(), 0755), 0);
  // Open to others, the directory is refused before anything is sent.
  const CtlResult open_dir = run_ctl({"ping"}, "", other.environment());
  EXPECT_EQ(open_dir.status, 6);
  EXPECT_EQ(open_dir.err, "tarnwelctl: refusing to talk to " + other.socket_path() + ": " +
                              other_dir + " has mode 0755, which lets other users in (group " +
                              "and others must have no access)\n");
  ASSERT_EQ(::chmod(other_dir.c_str(), 0700), 0);
  UniqueFd listener = listen_unix(other.socket_path()).value();
  std::thread peer([&] {
    UniqueFd conn(::accept(listener.get(), nullptr, nullptr));
    char buf[256];
    // The request is read only so that the reply comes after it.
    if (::read(conn.get(), buf, sizeof buf) > 0) testing::send_all(conn.get(), "garbage\n");
  });
  const CtlResult broken = run_ctl({"ping"}, "", other.environment());
  peer.join();
  EXPECT_EQ(broken.status, 4);
  EXPECT_EQ(broken.err.rfind("tarnwelctl: malformed reply", 0), 0u) << broken.err;
}

TEST_F(TarnwelctlTest, UnlockTakesTheSecretFromStdinAndGetPrintsOnlyIt) {
  AgentChild agent(box.environment(), box.socket_path());
  const std::pair<std::string, std::string> cases[] = {
      {"s3 cret\n", "s3 cret\n"},       // the line's newline is stripped ...
      {"two\n\n", "two\n\n"},           // ... one of them only
      {"no newline", "no newline\n"},   // nothing to strip
      {"\n", "\n"},                     // an empty secret, when allowed
      {"caf\xc3\xa9\r\n", "caf\xc3\xa9\r\n"},
  };
  for (const auto& [input, printed] : cases) {
    const CtlResult unlock =
        ctl({"unlock", "p", "--reason", "test", "--ttl", "1h30m", "--allow-empty"}, input);
    ASSERT_EQ(unlock.status, 0) << unlock.err;
    EXPECT_EQ(unlock.out, "");
    EXPECT_EQ(unlock.err, "");  // no prompt when stdin is not a terminal
    const CtlResult get = ctl({"get", "p"});
    EXPECT_EQ(get.status, 0);
    EXPECT_EQ(get.out, printed);
    EXPECT_EQ(get.err, "");
  }
  const CtlResult not_utf8 = ctl({"unlock", "p", "--reason", "test"}, "\xff\n");
  EXPECT_EQ(not_utf8.status, 2);
  EXPECT_EQ(not_utf8.err, "tarnwelctl: the secret is not valid UTF-8\n");
  // An empty input (or ctrl-d at the prompt) is refused before anything is sent.
  for (const std::string input : {"", "\n"}) {
    const CtlResult empty = ctl({"unlock", "e", "--reason", "test"}, input);
    EXPECT_EQ(empty.status, 2);
    EXPECT_EQ(empty.err.rfind("tarnwelctl: the secret is empty", 0), 0u) << empty.err;
  }
  EXPECT_EQ(client.get_secret("e").error().code, ErrorCode::NotCached);

  box.answer(client_testing::AskpassAnswer::Deny);
  const CtlResult denied = ctl({"unlock", "q", "--reason", "test"}, "x");
  EXPECT_EQ(denied.status, 1);
  EXPECT_EQ(denied.err,
            "tarnwelctl: presence check failed: denied by the test; nothing was stored\n");
}

TEST_F(TarnwelctlTest, PresenceFailuresNameTheAgentAndWhatToSet) {
  {
    AgentChild agent(box.environment(/*with_askpass=*/false), box.socket_path());
    const CtlResult none = ctl({"unlock", "p", "--reason", "r"}, "x");
    EXPECT_EQ(none.status, 1);
    const std::string pid = "the agent (pid " + std::to_string(agent.pid()) + ") ";
    EXPECT_EQ(none.err.rfind("tarnwelctl: " + pid + "has no program to ask for confirmation: it "
                             "runs TARNWEL_AGENT_ASKPASS, else SSH_ASKPASS, else ssh-askpass",
                             0),
              0u)
        << none.err;
    EXPECT_NE(none.err.find("reads its environment once, at start"), std::string::npos);
  }
  std::vector<std::string> broken = box.environment(false);
  const std::string missing = box.dir() + "/no-such-askpass";
  broken.push_back("TARNWEL_AGENT_ASKPASS=" + missing);
  AgentChild agent(broken, box.socket_path());
  const CtlResult cannot_run = run_ctl({"unlock", "p", "--reason", "r"}, "x", broken);
  EXPECT_EQ(cannot_run.status, 1);
  EXPECT_EQ(cannot_run.err.rfind("tarnwelctl: presence check failed: could not run askpass " +
                                     missing + ": No such file or directory (os error 2) (run by "
                                     "the agent (pid " + std::to_string(agent.pid()) + "))",
                                 0),
            0u)
      << cannot_run.err;
}

TEST_F(TarnwelctlTest, RunHandsTheSecretToTheCommandInItsEnvironmentOnly) {
  AgentChild agent(box.environment(), box.socket_path());
  ASSERT_TRUE(client.unlock("p", "test", "s3cr3t $HOME").ok());
  // The command's output, arguments and exit status are its own.
  const CtlResult ran = ctl({"run", "p", "--env", "TOKEN", "--", "/bin/sh", "-c",
                             "printf '%s|%s|%s' \"$TOKEN\" \"$0\" \"${TARNWEL_SECRET-unset}\"; "
                             "exit 7",
                             "arg0"});
  EXPECT_EQ(ran.status, 7);
  EXPECT_EQ(ran.out, "s3cr3t $HOME|arg0|unset");
  EXPECT_EQ(ran.err, "");
  const CtlResult plain = ctl({"run", "p", "--", "/bin/sh", "-c", "printf %s \"$TARNWEL_SECRET\""});
  EXPECT_EQ(plain.status, 0);
  EXPECT_EQ(plain.out, "s3cr3t $HOME");
  // Nothing runs without a secret; a missing command is reported as a shell would.
  const CtlResult nothing = ctl({"run", "none", "--", "/bin/sh", "-c", "echo ran"});
  EXPECT_EQ(nothing.status, 1);
  EXPECT_EQ(nothing.out, "");
  const CtlResult missing = ctl({"run", "p", "--", box.dir() + "/no-such-command"});
  EXPECT_EQ(missing.status, 127);
  EXPECT_EQ(missing.err.rfind("tarnwelctl: cannot run ", 0), 0u) << missing.err;
}

TEST_F(TarnwelctlTest, VersionsAndTheSocketPathNeedNoAgent) {
  const CtlResult path = ctl({"socket-path"});
  EXPECT_EQ(path.status, 0);
  EXPECT_EQ(path.out, box.socket_path() + "\n");
  const std::string commit = std::string(" (commit ") + TARNWEL_AGENT_COMMIT + ")\n";
  const CtlResult ctl_version = ctl({"--version"});
  EXPECT_EQ(ctl_version.status, 0);
  EXPECT_EQ(ctl_version.out, "tarnwelctl 1.12.0" + commit);
  // The agent answers --version without creating its runtime directory.
  const CtlResult agent_version =
      client_testing::run_program(TARNWEL_AGENT_BINARY, {"--version"}, "", box.environment());
  EXPECT_EQ(agent_version.status, 0);
  EXPECT_EQ(agent_version.out, "tarnwel-agent 1.12.0" + commit);
  EXPECT_EQ(agent_version.err, "");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(box.socket_path()).parent_path()));
}

TEST_F(TarnwelctlTest, PrintsTheReplyLineWithJsonAndItsTextWithout) {
  AgentChild agent(box.environment(), box.socket_path());
  ASSERT_TRUE(client.unlock("p", "test", "tab\there").ok());
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--json", "ping"}, {"status", "--json"}, {"get", "p", "--json"}, {"start", "--json"}}) {
    std::string cmd = args[0] == "--json" ? args[1] : args[0];
    if (cmd == "start") cmd = "ping";  // start prints the reply of the agent it found
    Json request = {{"cmd", cmd == "get" ? "get_secret" : cmd}, {"protocol_version", 2}};
    if (cmd == "get") request["profile"] = "p";
    const Result<WipedBytes, ClientError> expected = client.request(request);
    ASSERT_TRUE(expected.ok());
    const CtlResult printed = ctl(args);
    EXPECT_EQ(printed.status, 0);
    EXPECT_EQ(printed.out, std::string(as_view(expected.value())) + "\n");
  }
  const CtlResult missing = ctl({"--json", "get", "none"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "{\"error\":\"not_cached\",\"ok\":false}\n");
  const CtlResult unlocked = ctl({"--json", "unlock", "q", "--reason", "r"}, "x\n");
  EXPECT_EQ(unlocked.status, 0);
  EXPECT_EQ(unlocked.out, "{\"ok\":true}\n");
  // Without --json, the same reply as text.
  const AgentIdentity id = client.ping().value();
  EXPECT_EQ(ctl({"status"}).out, "tarnwel-agent 1.12.0 (commit " + id.agent_commit + "), pid " +
                                     std::to_string(id.agent_pid) +
                                     ", protocol 2\ncached profiles:\n  p\n  q\n");
}

TEST_F(TarnwelctlTest, OnlyUnlockAndStartStartAnAgentAndNeverASecondOne) {
  const CtlResult refused = ctl({"unlock", "p", "--reason", "r", "--no-start"}, "x");
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(client.ping().error().kind, ClientError::Kind::NoAgent);

  const CtlResult unlocked = ctl({"unlock", "p", "--reason", "r"}, "started\n");
  ASSERT_EQ(unlocked.status, 0) << unlocked.err;
  const Result<AgentIdentity, ClientError> first = client.ping();
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(std::string(client.get_secret("p").value().bytes()), "started");

  const CtlResult again = ctl({"start"});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(client.ping().value().agent_pid, first.value().agent_pid);
  EXPECT_EQ(std::string(client.get_secret("p").value().bytes()), "started");
}

// An agent that tarnwelctl starts leads a session of its own and holds
// nothing of the caller's: its standard streams are /dev/null, no descriptor
// above 2 (a shell's "3>&1" into a pipe would never see end of file) and not
// its working directory, yet it serves the socket that a relative runtime
// directory names from where tarnwelctl ran.
TEST_F(TarnwelctlTest, StartDetachesTheAgentFromTheCallersSessionStreamsAndDirectory) {
  std::vector<std::string> environment;
  for (const std::string& entry : box.environment()) {
    if (!entry.starts_with("TARNWEL_AGENT_RUNTIME_DIR=")) environment.push_back(entry);
  }
  environment.push_back("TARNWEL_AGENT_RUNTIME_DIR=rel");
  std::filesystem::create_directory(box.dir() + "/rel");
  int held[2];
  ASSERT_EQ(::pipe(held), 0);
  const std::vector<std::string> arguments = {TARNWELCTL_PATH_FOR_CLIENT_TESTS, "start"};
  std::vector<char*> argv = testing::c_strings(arguments);
  std::vector<char*> envp = testing::c_strings(environment);
  const pid_t ctl = ::fork();
  ASSERT_GE(ctl, 0);
  if (ctl == 0) {
    // The write end as descriptor 3, open across exec, as "3>&1" leaves it.
    if (::dup2(held[1], 3) != 3 || ::chdir(box.dir().c_str()) != 0) ::_exit(126);
    ::execve(arguments[0].c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(held[1]);
  UniqueFd read_end(held[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(ctl, &status, 0), ctl);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  const Client started(box.dir() + "/rel/tarnwel-agent-" + std::to_string(::getuid()) +
                       "/agent.sock");
  const Result<AgentIdentity, ClientError> pong = started.ping();
  ASSERT_TRUE(pong.ok()) << describe(pong.error());
  const auto pid = static_cast<pid_t>(pong.value().agent_pid);
  EXPECT_EQ(::getsid(pid), pid);  // a session of its own, led by the agent
  // Only the agent could still hold the write end now.
  pollfd ready{read_end.get(), POLLIN, 0};
  if (::poll(&ready, 1, 2000) == 1) {
    char byte = 0;
    EXPECT_EQ(::read(read_end.get(), &byte, 1), 0);
  } else {
    ADD_FAILURE() << "the agent holds the caller's pipe";
  }
  if (::geteuid() == 0) {
    const std::string proc = "/proc/" + std::to_string(pid);
    EXPECT_EQ(std::filesystem::read_symlink(proc + "/cwd"), "/");
    for (const char* fd : {"0", "1", "2"}) {
      EXPECT_EQ(std::filesystem::read_symlink(proc + "/fd/" + fd), "/dev/null");
    }
  }
  EXPECT_TRUE(started.shutdown().ok());
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to read /proc of the undumpable agent";
  }
}

// A pseudo-terminal on stdin: the secret is typed without echo and the
// terminal's settings come back, also when ctrl-c ends the prompt.
class TerminalSecretTest : public TarnwelctlTest {
 protected:
  void SetUp() override {
    master_ = UniqueFd(::posix_openpt(O_RDWR | O_NOCTTY));  // macOS takes no O_CLOEXEC here
    ASSERT_TRUE(master_.valid());
    testing::set_cloexec(master_.get());
    ASSERT_EQ(::grantpt(master_.get()), 0);
    ASSERT_EQ(::unlockpt(master_.get()), 0);
    slave_ = UniqueFd(::open(::ptsname(master_.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(slave_.valid());
  }

  // Starts `tarnwelctl unlock` on the terminal and returns once its prompt is
  // out, which it writes only after echo is off.
  pid_t start_unlock() {
    int err[2];
    EXPECT_EQ(::pipe(err), 0);
    for (const int fd : err) testing::set_cloexec(fd);
    err_ = UniqueFd(err[0]);
    const pid_t pid =
        testing::spawn(TARNWELCTL_PATH_FOR_CLIENT_TESTS, {"unlock", "tty", "--reason", "r"},
                       box.environment(), slave_.get(), -1, err[1]);
    ::close(err[1]);
    std::string prompt;
    char c = 0;
    while (prompt.find(": ") == std::string::npos && ::read(err_.get(), &c, 1) == 1) {
      prompt.push_back(c);
    }
    EXPECT_EQ(prompt, "Secret for profile tty: ");
    return pid;
  }

  bool echo_on() {
    termios settings{};
    EXPECT_EQ(::tcgetattr(slave_.get(), &settings), 0);
    return (settings.c_lflag & ECHO) != 0;
  }

  UniqueFd master_, slave_, err_;
};

TEST_F(TerminalSecretTest, TypedWithoutEchoAndTheTerminalRestoredEvenOnInterrupt) {
  ASSERT_TRUE(echo_on());
  pid_t pid = start_unlock();
  EXPECT_FALSE(echo_on());
  ASSERT_EQ(::kill(pid, SIGINT), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
  EXPECT_TRUE(echo_on());

  AgentChild agent(box.environment(), box.socket_path());
  pid = start_unlock();
  EXPECT_FALSE(echo_on());
  ASSERT_EQ(::write(master_.get(), "typed secret\n", 13), 13);
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(echo_on());
  EXPECT_EQ(std::string(client.get_secret("tty").value().bytes()), "typed secret");
  // Nothing came back on the terminal: no echo of the secret.
  ::fcntl(master_.get(), F_SETFL, O_NONBLOCK);
  char buf[64];
  EXPECT_LE(::read(master_.get(), buf, sizeof buf), 0);
}

}  // namespace
}  // namespace tarnwel
