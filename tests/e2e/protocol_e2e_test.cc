// The real agent's envelope: identity, protocol mismatch, shutdown and the
// read deadline of a connection, byte for byte on the wire.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

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

TEST_F(E2eProtocolTest, PingIdentifiesTheAgentAndAMismatchStopsIt) {
  const std::string_view commit = TARNWEL_AGENT_COMMIT;
  EXPECT_EQ(commit.size(), 12u);
  EXPECT_TRUE(std::all_of(commit.begin(), commit.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  })) << commit;
  EXPECT_EQ(round_trip(path_, PING), ping_reply(agent_.pid()));

  // The command is not looked at once the version is wrong.
  EXPECT_EQ(round_trip(path_, "{\"cmd\":\"ping\",\"protocol_version\":3}\n"),
            "{\"agent_pid\":" + std::to_string(agent_.pid()) +
                ",\"agent_protocol_version\":2,\"agent_version\":\"1.12.0\","
                "\"error\":\"protocol_mismatch\",\"ok\":false}\n");
  expect_stopped();
  EXPECT_EQ(agent_.output(), "");
}

TEST_F(E2eProtocolTest, ShutdownAnswersThenStopsAndRemovesTheSocket) {
  EXPECT_EQ(round_trip(path_, "{\"cmd\":\"shutdown\",\"protocol_version\":2}\n"),
            "{\"ok\":true}\n");
  expect_stopped();
  EXPECT_EQ(agent_.output(), "");
}

TEST_F(E2eProtocolTest, ASilentClientTimesOutWhileOthersAreServed) {
  const auto connected = std::chrono::steady_clock::now();
  UniqueFd silent = send_request(path_, "");
  // Each connection has a thread of its own: the silent one holds up nobody.
  EXPECT_EQ(round_trip(path_, PING), ping_reply(agent_.pid()));
  char byte = 0;
  EXPECT_EQ(::recv(silent.get(), &byte, 1, MSG_DONTWAIT), -1) << "answered before the ping";
  EXPECT_EQ(errno, EAGAIN);

  EXPECT_EQ(read_reply(silent.get()),
            "{\"error\":\"protocol_error\",\"message\":\"timed out waiting for a message\","
            "\"ok\":false}\n");
  EXPECT_GE(std::chrono::steady_clock::now() - connected, 5s);
  EXPECT_TRUE(agent_.running());
  EXPECT_EQ(agent_.output(), "");
}

}  // namespace
}  // namespace tarnwel::testing
