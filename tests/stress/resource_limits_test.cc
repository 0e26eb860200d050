// The agent under load: thousands of silent connections. It goes on
// serving, and gives back every thread and descriptor once the load has gone
// (the thread limit is tested with the agent of another user, in
// process_isolation_test).
#include <poll.h>
#include <sys/resource.h>

#include <vector>

#include <gtest/gtest.h>

#include "stress/process_inspection.h"
#include "support/agent_process.h"

namespace tarnwel::testing {
namespace {

// The agent's limit for receiving a request.
constexpr auto REQUEST_TIMEOUT = 5s;
constexpr std::string_view TIMED_OUT =
    "{\"error\":\"protocol_error\",\"message\":\"timed out waiting for a message\",\"ok\":false}\n";

// Raises this process's descriptor limit (and with it the limit of an agent
// it starts) to at least `needed`; root may raise the hard limit too.
bool raise_descriptor_limit(rlim_t needed) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= needed) return true;
  limit.rlim_cur = needed;
  limit.rlim_max = std::max(limit.rlim_max, needed);
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// The agent accepts in order, one thread for each connection, and each
// connection's time-out runs from its own start. A ping queued behind all the
// silent connections is answered while the one accepted just before it still
// waits for its request; an agent that served them one at a time would
// answer it only after them all. How many are held by threads at once
// depends on how fast the machine starts threads against their time-out, so
// that is not counted; that every one gets its reply, and every thread and
// descriptor comes back, is.
TEST(ResourceLimitsTest, ThousandsOfSilentConnectionsBlockNoOneAndEndAtTheirLimit) {
  // ThreadSanitizer starts threads slowly: fewer connections keep its run short.
  constexpr std::size_t HELD = UNDER_TSAN ? 500 : 2'000;
  // Far above the time a healthy agent takes to accept them all.
  constexpr std::chrono::milliseconds ACCEPT_ALL_LIMIT = 60s;
  if (!raise_descriptor_limit(2 * HELD + 256)) {
    GTEST_SKIP() << "needs root, or a hard limit of " << 2 * HELD + 256
                 << " descriptors, to raise the descriptor limit";
  }
  // By default, and with the connection threads that stay for more.
  for (const bool wake : {false, true}) {
    SCOPED_TRACE(wake ? "TARNWEL_AGENT_WAKE_ON_CONNECT=1" : "by default");
    TempDir root;
    std::vector<std::string> environment = agent_environment(root.path(), "");
    if (wake) environment.emplace_back("TARNWEL_AGENT_WAKE_ON_CONNECT=1");
    AgentProcess agent(environment);
    const std::string socket = socket_path_in(root.path());
    ASSERT_TRUE(wait_until_serving(agent, socket));
    // The readiness ping's thread may still be ending.
    ASSERT_TRUE(wait_for_thread_count(agent.pid()));
    const std::size_t idle_descriptors = descriptor_count(agent.pid());

    const auto first_connected = std::chrono::steady_clock::now();
    std::vector<UniqueFd> held;
    for (std::size_t i = 0; i < HELD; ++i) {
      held.push_back(connect_to(socket));
      ASSERT_TRUE(held.back().valid()) << "connection " << i;
    }
    const UniqueFd ping = send_request(socket, PING);
    ASSERT_EQ(read_reply(ping.get(), ACCEPT_ALL_LIMIT), ping_reply(agent.pid()));
    pollfd news{held.back().get(), POLLIN, 0};  // written to or closed, unconsumed
    EXPECT_EQ(::poll(&news, 1, 0), 0) << "the ping was answered after a silent connection";

    for (const UniqueFd& stream : held) ASSERT_EQ(read_reply(stream.get()), TIMED_OUT);
    EXPECT_GE(std::chrono::steady_clock::now() - first_connected, REQUEST_TIMEOUT);
    held.clear();
    EXPECT_TRUE(wait_for_thread_count(agent.pid())) << thread_count(agent.pid());
    EXPECT_TRUE(wait_until([&] { return descriptor_count(agent.pid()) == idle_descriptors; }))
        << descriptor_count(agent.pid()) << " open, " << idle_descriptors << " at rest";
    EXPECT_EQ(round_trip(socket, PING), ping_reply(agent.pid()));
  }
}

}  // namespace
}  // namespace tarnwel::testing
