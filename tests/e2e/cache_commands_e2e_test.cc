// The real agent names the program that asks for a secret: only a process
// on the far end of the socket shows the peer lookup and the askpass
// environment working together. The replies themselves are tested in
// ../server.
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "support/agent_process.h"
#include "support/fake_askpass.h"
#include "support/requests.h"

namespace tarnwel::testing {
namespace {

constexpr std::string_view OK = "{\"ok\":true}\n";

TEST(E2eCacheSettingsTest, ShowRequesterNamesThisProgramInTheArgumentAndTheEnvironment) {
  // The other two settings are on as well: none of them changes the replies.
  TempDir root;
  const std::string path = socket_path_in(root.path());
  FakeAskpass askpass(root.path());
  std::vector<std::string> environment = agent_environment(root.path(), askpass.program());
  environment.push_back("TARNWEL_AGENT_SHOW_REQUESTER=1");
  environment.push_back("TARNWEL_AGENT_LOCK_ON_SLEEP=1");
  environment.push_back("TARNWEL_AGENT_MAX_TTL_SECONDS=3600");
  AgentProcess agent(environment);
  ASSERT_TRUE(wait_until_serving(agent, path)) << agent.output();

  const std::string exe = std::filesystem::read_symlink("/proc/self/exe");
  const std::string pid = std::to_string(::getpid());

  askpass.answer(0);
  EXPECT_EQ(round_trip(path, unlock_line("a", "s", "open a")), OK);
  EXPECT_EQ(askpass.runs(), (std::vector<std::string>{
                                "confirm open a", "Requested by " + exe + " (pid " + pid + ")"}));
  EXPECT_EQ(askpass.requesters(), std::vector<std::string>{pid + "|" + exe});
  EXPECT_EQ(round_trip(path, get_secret_line("a")), "{\"ok\":true,\"secret\":\"s\"}\n");
  EXPECT_EQ(agent.output(), "");
}

}  // namespace
}  // namespace tarnwel::testing
