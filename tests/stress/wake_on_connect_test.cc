// With TARNWEL_AGENT_WAKE_ON_CONNECT=1 the agent's main thread waits in
// poll() on two descriptors (the listener and its wake pipe), for at most a
// second, where the default loop sleeps; and "shutdown" still stops it (a
// protocol mismatch raises the same flag). Connection threads stay for the
// next connection, yet one held up keeps no one else waiting, and they end
// once the clients are gone. The main thread's current system call is read
// from /proc/PID/syscall, which needs ptrace rights over the agent.
#include <errno.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "stress/process_inspection.h"
#include "support/agent_process.h"
#include "support/fake_askpass.h"
#include "support/needs_root.h"
#include "support/requests.h"

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
  EXPECT_EQ(agent->output(), "");

  // Set to 0, or not at all, the loop sleeps between looks as it always has.
  for (const char* setting :
       {"TARNWEL_AGENT_WAKE_ON_CONNECT=0", static_cast<const char*>(nullptr)}) {
    TempDir other;
    std::optional<AgentProcess> sleeper;
    start_blocked_in(sleeper, other.path(), setting, &BlockedCall::sleeps);
  }
}

// Whether the agent has neither answered nor closed `stream` yet.
bool unanswered(const UniqueFd& stream) {
  char byte;
  return ::recv(stream.get(), &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

// Each held connection (a prompt, clients that send nothing) keeps a thread,
// and a new one still gets an answer at once: the thread that accepted the
// held one has handed the listener on to an idle thread or to the loop.
TEST_F(WakeOnConnectTest, HeldConnectionsKeepNoOneWaitingAndTheThreadsEndAfterABurst) {
  FakeAskpass askpass(root.path());
  std::vector<std::string> environment = agent_environment(root.path(), askpass.program());
  environment.emplace_back("TARNWEL_AGENT_WAKE_ON_CONNECT=1");
  agent.emplace(environment);
  ASSERT_TRUE(wait_until_serving(*agent, socket)) << agent->output();
  const std::string reply = ping_reply(agent->pid());

  std::vector<UniqueFd> held;
  held.push_back(send_request(socket, unlock_line("work", "s3cret")));
  ASSERT_TRUE(askpass.wait_for_runs(1));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(round_trip(socket, PING), reply);
    for (const UniqueFd& stream : held) EXPECT_TRUE(unanswered(stream));
    held.push_back(connect_to(socket));  // sends nothing
  }
  std::atomic<int> wrong{0};
  {
    std::vector<std::jthread> burst;
    for (int c = 0; c < 8; ++c) {
      burst.emplace_back([&] {
        for (int i = 0; i < 25; ++i) wrong += round_trip(socket, PING) != reply;
      });
    }
  }
  EXPECT_EQ(wrong, 0);
  askpass.answer(0);
  EXPECT_EQ(read_reply(held.front().get()), "{\"ok\":true}\n");
  held.clear();
  EXPECT_TRUE(wait_for_thread_count(agent->pid())) << thread_count(agent->pid());
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
  while (std::filesystem::is_symlink(fds + std::to_string(lowest_free))) ++lowest_free;
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
