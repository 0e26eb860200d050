// No copy of a secret outlives its time in the cache: the agent's writable
// memory holds the secret while it is cached and not one byte-for-byte copy
// once it is locked, or refused by the presence check; while the prompt is up,
// it lies only in locked pages. The scan looks at the whole process from
// outside (/proc/PID/mem), so it also catches copies in buffers that no code
// path frees explicitly. And while the agent asks the user (up to two
// minutes), tarnwelctl and the git helper wait for the reply holding no copy
// of the secret they sent.
#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stress/process_inspection.h"
#include "support/agent_process.h"
#include "support/fake_askpass.h"
#include "support/needs_root.h"
#include "support/requests.h"

namespace tarnwel::testing {
namespace {

constexpr std::string_view OK = "{\"ok\":true}\n";

TEST(SecretResidueTest, ASecretIsOnlyInLockedPagesWhileAskedForThenNowhereIfDeniedOrOnceLocked) {
  // The agent makes itself undumpable: only root may read its memory.
  SKIP_UNLESS_ROOT("reads the memory of the undumpable agent");
  TempDir root;
  const std::string socket = socket_path_in(root.path());
  FakeAskpass askpass(root.path());  // each presence check waits until the test answers
  const std::vector<std::string> environment = agent_environment(root.path(), askpass.program());
  AgentProcess agent(environment);
  ASSERT_TRUE(wait_until_serving(agent, socket));
  // The scan waits for every connection thread to end first: a thread still
  // writing its reply holds the secret legitimately.
  const auto scan_for = [&](const std::string& secret) {
    EXPECT_TRUE(wait_for_thread_count(agent.pid())) << thread_count(agent.pid());
    const MemoryScan scan = scan_writable_memory(agent.pid(), secret);
    EXPECT_TRUE(scan.complete()) << scan.describe();
    return scan;
  };

  const std::string refused = random_secret();
  const UniqueFd stream = send_request(socket, unlock_line("work", refused));
  ASSERT_TRUE(askpass.wait_for_runs(1));
  const MemoryScan prompting = scan_writable_memory(agent.pid(), refused);
  EXPECT_GE(prompting.occurrences, 1u) << prompting.describe();
  // The sanitizers' mlock interceptor returns success and locks nothing.
  EXPECT_TRUE(UNDER_SANITIZER || prompting.unlocked_occurrences == 0) << prompting.describe();
  askpass.answer(1, "not you");
  EXPECT_EQ(read_reply(stream.get()),
            "{\"error\":\"presence_denied\",\"message\":\"presence check failed: not you\","
            "\"ok\":false}\n");
  const MemoryScan denied = scan_for(refused);
  EXPECT_EQ(denied.occurrences, 0u) << denied.describe();

  // Each client sends its secret and waits: the scan waits until it is past
  // whatever it does once the request is sent.
  const std::string secret = random_secret();
  const struct {
    std::string program;
    std::vector<std::string> args;
    std::string input, profile;
  } clients[] = {{GIT_CREDENTIAL_PATH_FOR_TESTS,
                  {"store"},
                  "protocol=https\nhost=example.com\nusername=ann\npassword=" + secret + "\n\n",
                  "git:https://ann@example.com"},
                 {TARNWELCTL_PATH_FOR_CLIENT_TESTS,
                  {"unlock", "work", "--reason", "r", "--no-start"},
                  secret + "\n",
                  "work"}};
  for (const auto& [program, args, input, profile] : clients) {
    askpass.hold();
    const std::size_t runs = askpass.runs().size();
    std::ofstream(root.path() + "/input") << input;
    const UniqueFd in(::open((root.path() + "/input").c_str(), O_RDONLY | O_CLOEXEC));
    const pid_t client = spawn(program, args, environment, in.get(), -1, -1);
    ASSERT_GT(client, 0);
    ASSERT_TRUE(askpass.wait_for_runs(runs + 1));
    EXPECT_TRUE(wait_for_blocked_call(client, &BlockedCall::polls)) << program;  // the reply's wait
    const MemoryScan scan = scan_writable_memory(client, secret);
    askpass.answer(0);
    EXPECT_EQ(exit_status_of(client), 0);
    EXPECT_TRUE(scan.complete()) << scan.describe();
    EXPECT_EQ(scan.occurrences, 0u) << program << ": " << scan.describe();
    EXPECT_NE(round_trip(socket, get_secret_line(profile)).find(secret), std::string::npos);
  }
  ASSERT_EQ(round_trip(socket, lock_line("git:https://ann@example.com")), OK);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(round_trip(socket, get_secret_line("work")),
              "{\"ok\":true,\"secret\":\"" + secret + "\"}\n");
  }
  const MemoryScan cached = scan_for(secret);
  EXPECT_GE(cached.occurrences, 1u) << cached.describe();

  ASSERT_EQ(round_trip(socket, lock_line("work")), OK);
  const MemoryScan locked = scan_for(secret);
  EXPECT_EQ(locked.occurrences, 0u) << locked.describe();
}

// No client touches the profile after the unlock: the agent wipes it by
// itself once the cap on every secret's life, set in its environment, ends.
TEST(SecretResidueTest, ASecretPastTheCapLeavesMemoryOnTimeWithNoClientTouchingIt) {
  SKIP_UNLESS_ROOT("reads the memory of the undumpable agent");
  TempDir root;
  const std::string socket = socket_path_in(root.path());
  std::vector<std::string> environment =
      agent_environment(root.path(), write_askpass_script(root.path(), "exit 0"));
  environment.push_back("TARNWEL_AGENT_MAX_TTL_SECONDS=2");
  AgentProcess agent(environment);
  ASSERT_TRUE(wait_until_serving(agent, socket));
  // Finding no copy later proves something only if the scan finds the secret
  // while it lives. A get after the scan that still returns it shows that it
  // lived throughout the scan (a get never extends a life); should the cap
  // end first on a loaded machine, a fresh secret tries again.
  std::string expiring;
  for (int attempt = 0; attempt < 3 && expiring.empty(); ++attempt) {
    const std::string secret = random_secret(), profile = "p" + std::to_string(attempt);
    ASSERT_EQ(round_trip(socket, unlock_line(profile, secret)), OK);
    ASSERT_TRUE(wait_for_thread_count(agent.pid())) << thread_count(agent.pid());
    const MemoryScan live = scan_writable_memory(agent.pid(), secret);
    if (round_trip(socket, get_secret_line(profile)).find(secret) == std::string::npos) continue;
    EXPECT_GE(live.occurrences, 1u) << live.describe();
    expiring = secret;
  }
  ASSERT_FALSE(expiring.empty()) << "every secret's cap ended before its scan did";

  MemoryScan scan;
  EXPECT_TRUE(wait_until([&] {
    scan = scan_writable_memory(agent.pid(), expiring);
    return scan.opened && scan.occurrences == 0;
  })) << scan.describe();
  EXPECT_TRUE(scan.complete()) << scan.describe();
}

}  // namespace
}  // namespace tarnwel::testing
