// Other processes are kept out of the agent: no core file, no ptrace and no
// /proc/PID/mem for the agent's own user (only root keeps those rights), and
// no conversation with a peer of another user. And when its user has no
// thread left to give, it closes the connections it cannot serve and lives on.
#include <errno.h>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "stress/other_user.h"
#include "stress/process_inspection.h"
#include "support/agent_process.h"
#include "support/fake_askpass.h"
#include "support/needs_root.h"
#include "support/requests.h"

namespace tarnwel::testing {
namespace {

constexpr int ALLOWED = 0;
constexpr int DENIED = 1;

// What a process of the caller's user may do to `pid`: ALLOWED if it can
// open /proc/PID/mem or attach with ptrace, DENIED if both are refused for
// want of permission.
int probe_access(pid_t pid) {
  const int mem = ::open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
  if (mem >= 0) return ALLOWED;
  if (errno != EACCES && errno != EPERM) return 2;
  if (::ptrace(PTRACE_ATTACH, pid, nullptr, nullptr) == 0) return ALLOWED;
  return errno == EPERM ? DENIED : 3;
}

TEST(ProcessIsolationTest, OnlyRootMayReadOrTalkToAnAgentOfAnotherUserWhichOutlivesItsThreadLimit) {
  // RLIMIT_NPROC counts every thread of the agent's user (root is exempt):
  // with this many, a few connections are served and the rest find no thread.
  constexpr rlim_t MAX_THREADS = 6;
  constexpr std::size_t SERVABLE = MAX_THREADS - IDLE_THREADS;
  constexpr std::size_t HELD = SERVABLE + 6;
  SKIP_UNLESS_ROOT("acts as other users");
  TempDir root;
  const std::string askpass = write_askpass_script(root.path(), "exit 0");
  // The runtime directory of an agent running as ISOLATION_USER, in a base
  // passable for it.
  const std::string runtime_dir = root.path() + "/tarnwel-agent-" + std::to_string(ISOLATION_USER);
  const std::string socket = runtime_dir + "/agent.sock";
  ASSERT_EQ(::chmod(root.path().c_str(), 0711), 0);
  ASSERT_EQ(::mkdir(runtime_dir.c_str(), 0700), 0);
  ASSERT_EQ(::chown(runtime_dir.c_str(), ISOLATION_USER, ISOLATION_USER), 0);
  const std::string agent_binary = copy_for_others(TARNWEL_AGENT_BINARY, root.path());
  if (!user_may_run(ISOLATION_USER, agent_binary) || !user_may_run(ISOLATION_USER, askpass)) {
    GTEST_SKIP() << "uid " << ISOLATION_USER << " cannot run programs in " << root.path()
                 << ": /tmp is not passable for other users";
  }
  AgentProcess agent([&](int output) {
    return spawn_as_user(ISOLATION_USER, {agent_binary}, agent_environment(root.path(), askpass),
                         ChildLimit{RLIMIT_NPROC, MAX_THREADS}, -1, output, output);
  });
  ASSERT_TRUE(wait_until_serving(agent, socket));
  const std::string secret = random_secret();
  ASSERT_EQ(round_trip(socket, unlock_line("work", secret)), "{\"ok\":true}\n");
  ASSERT_TRUE(wait_for_thread_count(agent.pid()));

  std::vector<UniqueFd> held;
  for (std::size_t i = 0; i < HELD; ++i) held.push_back(connect_to(socket));
  std::size_t closed = 0;
  EXPECT_TRUE(wait_until([&] {
    closed = 0;
    char byte = 0;  // closed without a byte written
    for (const UniqueFd& stream : held)
      closed += ::recv(stream.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
    return closed >= HELD - SERVABLE;
  })) << closed
      << " of " << HELD << " closed";
  EXPECT_TRUE(agent.running());
  // Once the load is gone, the agent has threads again and the secret it
  // cached before is intact.
  held.clear();
  ASSERT_TRUE(wait_for_thread_count(agent.pid())) << thread_count(agent.pid());
  EXPECT_EQ(round_trip(socket, get_secret_line("work")),
            "{\"ok\":true,\"secret\":\"" + secret + "\"}\n");

  // No core file, soft or hard limit. Its own user may read its limits.
  const auto without_core = [&] {
    rlimit core{};
    if (::prlimit(agent.pid(), RLIMIT_CORE, nullptr, &core) != 0) return 2;
    return core.rlim_cur == 0 && core.rlim_max == 0 ? 0 : 1;
  };
  EXPECT_EQ(run_as_user(ISOLATION_USER, without_core), 0);
  EXPECT_EQ(run_as_user(ISOLATION_USER, [&] { return probe_access(agent.pid()); }), DENIED);
  // The same user may read a process of its own that has not hardened itself,
  // so the refusal above is the agent's doing.
  AgentProcess bystander(spawn_as_user(ISOLATION_USER, {"/bin/sleep", "60"}, {}));
  // Past its exec once it sleeps: the forked copy of the test is undumpable.
  ASSERT_TRUE(wait_for_blocked_call(bystander.pid(), &BlockedCall::sleeps));
  EXPECT_EQ(run_as_user(ISOLATION_USER, [&] { return probe_access(bystander.pid()); }), ALLOWED);

  // A third user, let through the file modes on purpose, gets its connection
  // closed unanswered; root is served. The agent sees the effective uid that
  // its peer had when it connected.
  ASSERT_EQ(::chmod(runtime_dir.c_str(), 0711), 0);
  ASSERT_EQ(::chmod(socket.c_str(), 0666), 0);
  for (const bool send_ping : {false, true}) {
    SCOPED_TRACE(send_ping ? "with a ping" : "silent");
    ASSERT_EQ(::seteuid(PEER_CHECK_USER), 0);
    const UniqueFd stream = connect_to(socket);
    ASSERT_EQ(::seteuid(0), 0);
    ASSERT_TRUE(stream.valid());
    // The agent may have closed the connection before the ping goes out.
    EXPECT_TRUE(!send_ping || ::send(stream.get(), PING.data(), PING.size(), MSG_NOSIGNAL) >= 0 ||
                errno == EPIPE || errno == ECONNRESET)
        << std::strerror(errno);
    // A served connection would get a reply, at the latest the "timed out"
    // one 5 s on; the limit only keeps a broken agent from hanging the test.
    limit_reads(stream.get());
    char byte = 0;
    const ssize_t n = ::read(stream.get(), &byte, 1);
    // The end of the stream, or a reset because the ping went unread.
    EXPECT_TRUE(n == 0 || (n < 0 && errno == ECONNRESET)) << n << ": " << std::strerror(errno);
    EXPECT_EQ(round_trip(socket, PING), ping_reply(agent.pid()));
  }
}

}  // namespace
}  // namespace tarnwel::testing
