// With TARNWEL_AGENT_WAKE_ON_CONNECT=1 the agent's main thread waits in
// poll() on two descriptors (the listener and its wake pipe), for at most a
// second, where the default loop sleeps; and "shutdown" still stops it (a
// protocol mismatch raises the same flag). The main thread's current system
// call is read from /proc/PID/syscall, which needs ptrace rights over the
// agent.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stress/process_inspection.h"
#include "support/agent_process.h"
#include "support/needs_root.h"

namespace tarnwel::testing {
namespace {

// Two descriptors; poll()'s timeout in milliseconds at most a second (ppoll,
// where the system has no poll, takes a pointer instead).
bool waits_in_poll(const BlockedCall& call) {
  return call.polls() && call.args[1] == 2 && (call.number == SYS_ppoll || call.args[2] <= 1000);
}

// Starts the agent on `base` with `setting` (none: nullptr), waits until it
// serves, then until its main thread blocks in a call that `expected` accepts.
void start_blocked_in(std::optional<AgentProcess>& agent, const std::string& base,
                      const char* setting,
                      const std::function<bool(const BlockedCall&)>& expected) {
  std::vector<std::string> environment = agent_environment(base, "");
  if (setting != nullptr) environment.emplace_back(setting);
  agent.emplace(environment);
  ASSERT_TRUE(wait_until_serving(*agent, socket_path_in(base)));
  long seen = -1;
  ASSERT_TRUE(wait_for_blocked_call(agent->pid(), expected, &seen)) << "system call " << seen;
}

// An agent with the setting on, in a private base directory.
class WakeOnConnectTest : public ::testing::Test {
 protected:
  TempDir root;
  const std::string socket = socket_path_in(root.path());
  std::optional<AgentProcess> agent;
};

TEST_F(WakeOnConnectTest, TheLoopWaitsInPollForAConnectionOrAWakeAndStopsAsAlways) {
  SKIP_UNLESS_ROOT("reads the system calls of the undumpable agent");
  start_blocked_in(agent, root.path(), "TARNWEL_AGENT_WAKE_ON_CONNECT=1", waits_in_poll);
  if (HasFatalFailure()) return;
  EXPECT_EQ(round_trip(socket, PING), ping_reply(agent->pid()));
  EXPECT_EQ(round_trip(socket, "{\"cmd\":\"shutdown\",\"protocol_version\":2}\n"),
            "{\"ok\":true}\n");
  EXPECT_EQ(agent->wait_for_exit(), 0);
  EXPECT_FALSE(std::filesystem::exists(socket));
  EXPECT_EQ(agent->output(), "");

  // Set to 0, or not at all, the loop sleeps between looks as it always has.
  for (const char* setting :
       {"TARNWEL_AGENT_WAKE_ON_CONNECT=0", static_cast<const char*>(nullptr)}) {
    TempDir other;
    std::optional<AgentProcess> sleeper;
    start_blocked_in(sleeper, other.path(), setting, &BlockedCall::sleeps);
  }
}

// Out of descriptors, the listener stays ready while nothing can be accepted:
// the loop must fall back to the default pace (a sleep) instead of polling
// again at once, and serve again once a descriptor is free.
TEST_F(WakeOnConnectTest, AConnectionThatCannotBeAcceptedIsRetriedAtTheDefaultPace) {
  SKIP_UNLESS_ROOT("reads the system calls of the undumpable agent and lowers its limits");
  start_blocked_in(agent, root.path(), "TARNWEL_AGENT_WAKE_ON_CONNECT=1", waits_in_poll);
  if (HasFatalFailure()) return;
  const pid_t pid = agent->pid();
  long seen = -1;

  // A limit at the lowest free descriptor leaves no room for a new one: the
  // clients wait, ready and unaccepted.
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd/";
  rlim_t lowest_free = 0;
  while (
      std::filesystem::exists(std::filesystem::symlink_status(fds + std::to_string(lowest_free))))
    ++lowest_free;
  rlimit before{};
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &before), 0);
  const rlimit no_room{lowest_free, before.rlim_max};
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &no_room, nullptr), 0);
  std::vector<UniqueFd> waiting;
  for (int i = 0; i < 3; ++i) waiting.push_back(connect_to(socket));
  EXPECT_TRUE(wait_for_blocked_call(pid, &BlockedCall::sleeps, &seen)) << "system call " << seen;

  waiting.clear();
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &before, nullptr), 0);
  EXPECT_EQ(round_trip(socket, PING), ping_reply(pid));
}

}  // namespace
}  // namespace tarnwel::testing
