// The real agent's identity and its shutdown, byte for byte on the wire;
// the rest of the envelope is tested on a socket pair in ../server.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "agent_commit.h"
#include "support/agent_process.h"

namespace tarnwel::testing {
namespace {

class E2eProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(wait_until_serving(agent_, path_)) << agent_.output(); }

  // The agent has stopped by itself, cleanly and quietly, and taken its
  // socket (but not its directory) with it.
  void expect_stopped() {
    EXPECT_EQ(agent_.wait_for_exit(), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path_)));
    EXPECT_TRUE(std::filesystem::is_directory(runtime_dir_in(root_.path())));
    EXPECT_FALSE(connect_to(path_).valid());
  }

  TempDir root_;
  const std::string path_ = socket_path_in(root_.path());
  AgentProcess agent_{agent_environment(root_.path(), "")};
};

TEST_F(E2eProtocolTest, PingIdentifiesTheAgentByItsPidAndCommit) {
  const std::string_view commit = TARNWEL_AGENT_COMMIT;
  EXPECT_EQ(commit.size(), 12u);
  EXPECT_TRUE(std::all_of(commit.begin(), commit.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  })) << commit;
  EXPECT_EQ(round_trip(path_, PING), ping_reply(agent_.pid()));
  EXPECT_EQ(agent_.output(), "");
}

TEST_F(E2eProtocolTest, ShutdownAnswersThenStopsAndRemovesTheSocket) {
  EXPECT_EQ(round_trip(path_, "{\"cmd\":\"shutdown\",\"protocol_version\":2}\n"),
            "{\"ok\":true}\n");
  expect_stopped();
  EXPECT_EQ(agent_.output(), "");
}

}  // namespace
}  // namespace tarnwel::testing
