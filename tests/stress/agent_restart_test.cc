// An agent killed outright (SIGKILL: no clean-up, its socket file left
// behind) while clients are in the middle of requests: those clients see
// their connection end without a reply, and the next agent started on the
// same runtime directory takes the socket over and serves.
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "e2e/agent_process.h"
#include "e2e/fake_askpass.h"
#include "stress/process_inspection.h"
#include "stress/requests.h"

namespace tarnwel::testing {
namespace {

// Whether the agent has read everything sent on `stream`: a Unix socket
// counts the bytes its peer has not consumed yet.
bool consumed_by_peer(int stream) {
  int unread = -1;
  return ::ioctl(stream, SIOCOUTQ, &unread) == 0 && unread == 0;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

TEST(AgentRestartTest, AgentStartedAfterAKillMidRequestTakesTheSocketOver) {
  TempDir root;
  FakeAskpass askpass(root.path());
  const std::string socket = socket_path_in(root.path());
  const std::vector<std::string> environment = agent_environment(root.path(), askpass.program());

  AgentProcess killed(environment);
  ASSERT_TRUE(wait_until_serving(killed, socket)) << killed.output();
  askpass.answer(0);
  ASSERT_EQ(round_trip(socket, unlock_line("kept", random_secret())), "{\"ok\":true}\n");
  askpass.hold();
  ASSERT_TRUE(wait_for_thread_count(killed.pid()));

  // One client waits on a prompt, one is half-way through sending its request.
  const UniqueFd prompting = send_request(socket, unlock_line("pending", random_secret()));
  const UniqueFd half_sent = send_request(socket, "{\"cmd\":\"get_sec");
  ASSERT_TRUE(askpass.wait_for_runs(2));
  // Killed with unread bytes, the agent would reset the stream instead.
  ASSERT_TRUE(wait_until([&] { return consumed_by_peer(half_sent.get()); }));
  killed.kill_and_reap();
  EXPECT_EQ(read_reply(prompting.get()), "");
  EXPECT_EQ(read_reply(half_sent.get()), "");
  ASSERT_TRUE(exists(socket));

  AgentProcess successor(environment);
  ASSERT_TRUE(wait_until_serving(successor, socket)) << successor.output();
  EXPECT_EQ(round_trip(socket, PING), ping_reply(successor.pid()));
  EXPECT_EQ(round_trip(socket, get_secret_line("kept")),
            "{\"error\":\"not_cached\",\"ok\":false}\n");
  EXPECT_EQ(successor.output(), "");
}

}  // namespace
}  // namespace tarnwel::testing
