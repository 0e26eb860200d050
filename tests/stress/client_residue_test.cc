// While the agent asks the user (up to two minutes), tarnwelctl and the git
// helper wait for the reply holding no copy of the secret they sent.
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

// Whether `pid` is blocked in poll (/proc/PID/syscall), as in the reply's wait.
bool waits_for_reply(pid_t pid) {
  long call = -1;
  std::ifstream("/proc/" + std::to_string(pid) + "/syscall") >> call;
#if defined(SYS_poll)
  if (call == SYS_poll) return true;
#endif
  return call == SYS_ppoll;
}

TEST(ClientResidueTest, TarnwelctlUnlockAndGitStoreHoldNoCopyOfTheSecretWhileTheUserIsAsked) {
  const std::string secret = random_secret();
  const struct {
    std::string program;
    std::vector<std::string> args;
    std::string input, profile;
  } clients[] = {{TARNWELCTL_PATH_FOR_CLIENT_TESTS,
                  {"unlock", "p", "--reason", "r", "--no-start"},
                  secret + "\n",
                  "p"},
                 {GIT_CREDENTIAL_PATH_FOR_TESTS,
                  {"store"},
                  "protocol=https\nhost=example.com\nusername=ann\npassword=" + secret + "\n\n",
                  "git:https://example.com"}};
  for (const auto& [program, args, input, profile] : clients) {
    TempDir root;
    const std::string socket = socket_path_in(root.path());
    FakeAskpass askpass(root.path());
    const std::vector<std::string> environment = agent_environment(root.path(), askpass.program());
    AgentProcess agent(environment);
    ASSERT_TRUE(wait_until_serving(agent, socket)) << agent.output();
    std::ofstream(root.path() + "/input") << input;
    const UniqueFd in(::open((root.path() + "/input").c_str(), O_RDONLY | O_CLOEXEC));
    const pid_t client = spawn(program, args, environment, in.get(), -1, -1);
    ASSERT_GT(client, 0);
    // The request has arrived; the scan waits until the client is past
    // whatever it does once the request is sent.
    ASSERT_TRUE(askpass.wait_for_runs(1));
    const bool waiting = wait_until([&] { return waits_for_reply(client); });
    const MemoryScan scan = scan_writable_memory(client, secret);
    askpass.answer(0);
    EXPECT_EQ(exit_status_of(client), 0);
    if (!scan.opened && ::geteuid() != 0) GTEST_SKIP() << "ptrace of a child is restricted here";
    ASSERT_TRUE(scan.opened);
    EXPECT_TRUE(waiting) << program;
    EXPECT_TRUE(UNDER_SANITIZER || scan.skipped.empty()) << scan.describe();
    EXPECT_EQ(scan.occurrences, 0u) << program << ": " << scan.describe();
    EXPECT_NE(round_trip(socket, get_secret_line(profile)).find(secret), std::string::npos);
  }
}

}  // namespace
}  // namespace tarnwel::testing
