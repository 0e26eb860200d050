// The clients let the secret go once it is sent: while the agent asks the
// user (which may take two minutes), tarnwelctl and the git helper wait for
// the reply holding no copy of it, not in their input, their request line or
// the credential text.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "stress/process_inspection.h"
#include "support/agent_process.h"
#include "support/fake_askpass.h"
#include "support/requests.h"

namespace tarnwel::testing {
namespace {

// The system call `pid` is blocked in, from /proc/PID/syscall; -1 if none.
long blocked_in(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
  long number = -1;
  file >> number;
  return file ? number : -1;
}

bool waits_for_reply(pid_t pid) {
  const long call = blocked_in(pid);
#if defined(SYS_poll)
  if (call == SYS_poll) return true;
#endif
  return call == SYS_ppoll;
}

// Runs `args` of `program` with `input` on its stdin, scans the client's
// memory for `secret` while the agent's prompt is up and the client waits for
// the reply, then grants it and checks that `profile` holds the secret.
void expect_no_copy_while_asked(const std::string& program, const std::vector<std::string>& args,
                                const std::string& input, const std::string& secret,
                                const std::string& profile) {
  TempDir root;
  const std::string socket = socket_path_in(root.path());
  FakeAskpass askpass(root.path());
  const std::vector<std::string> environment = agent_environment(root.path(), askpass.program());
  AgentProcess agent(environment);
  ASSERT_TRUE(wait_until_serving(agent, socket)) << agent.output();
  const std::string input_path = root.path() + "/input";
  std::ofstream(input_path) << input;
  const UniqueFd in(::open(input_path.c_str(), O_RDONLY | O_CLOEXEC));
  const pid_t client = spawn(program, args, environment, in.get(), -1, -1);
  ASSERT_GT(client, 0);

  ASSERT_TRUE(askpass.wait_for_runs(1));
  // The request has arrived; the scan waits until the client is in the
  // reply's wait, past whatever it does once the request is sent.
  const bool waiting = wait_until([&] { return waits_for_reply(client); });
  const MemoryScan scan = scan_writable_memory(client, secret);
  askpass.answer(0);
  EXPECT_EQ(exit_status_of(client), 0);
  if (!scan.opened && ::geteuid() != 0) {
    GTEST_SKIP() << "cannot read the memory of a child process here (ptrace restricted)";
  }
  EXPECT_TRUE(waiting) << blocked_in(client);
  ASSERT_TRUE(scan.opened);
  EXPECT_TRUE(UNDER_SANITIZER || scan.skipped.empty()) << scan.describe();
  EXPECT_EQ(scan.occurrences, 0u) << scan.describe();
  EXPECT_NE(round_trip(socket, get_secret_line(profile)).find(secret), std::string::npos);
}

TEST(ClientResidueTest, TarnwelctlUnlockHoldsNoCopyOfTheSecretWhileTheUserIsAsked) {
  const std::string secret = random_secret();
  expect_no_copy_while_asked(TARNWELCTL_PATH_FOR_CLIENT_TESTS,
                             {"unlock", "p", "--reason", "r", "--no-start"}, secret + "\n", secret,
                             "p");
}

TEST(ClientResidueTest, GitHelperStoreHoldsNoCopyOfThePasswordWhileTheUserIsAsked) {
  const std::string password = random_secret();
  expect_no_copy_while_asked(
      GIT_CREDENTIAL_PATH_FOR_TESTS, {"store"},
      "protocol=https\nhost=example.com\nusername=ann\npassword=" + password + "\n\n", password,
      "git:https://example.com");
}

}  // namespace
}  // namespace tarnwel::testing
