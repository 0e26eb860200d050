// The client library against the real agent binary.
#include "client/client.h"

#include <unistd.h>

#include <future>

#include <gtest/gtest.h>

#include "client/agent_harness.h"
#include "client/reply.h"

namespace tarnwel {
namespace {

using client_testing::AgentChild;
using client_testing::AskpassAnswer;
using client_testing::Sandbox;

// The agent's error reply for `request`, sent as it is.
ClientError agent_error_for(const Client& client, const Json& request) {
  Result<WipedBytes, ClientError> line = client.request(request);
  if (!line.ok()) return line.error();
  Result<Reply, ClientError> reply = decode_reply(std::move(line).value());
  EXPECT_FALSE(reply.ok()) << request.dump();
  return reply.ok() ? ClientError::protocol("unexpected success") : reply.error();
}

class ClientAgentTest : public ::testing::Test {
 protected:
  Sandbox box;
  AgentChild agent{box.environment(), box.socket_path()};
  Client client{box.socket_path()};
};

TEST_F(ClientAgentTest, PingAndStatusDescribeTheAgentFoundByTheEnvironment) {
  const Result<AgentIdentity, ClientError> id = client.ping();
  ASSERT_TRUE(id.ok()) << describe(id.error());
  EXPECT_EQ(id.value().agent_pid, static_cast<std::uint64_t>(agent.pid()));
  EXPECT_EQ(id.value().protocol_version, 2u);
  EXPECT_EQ(id.value().agent_version, "1.12.0");
  EXPECT_EQ(id.value().agent_commit.size(), 12u);

  ASSERT_TRUE(client.unlock("b", "test", "1").ok());
  ASSERT_TRUE(client.unlock("a", "test", "2").ok());
  const Result<AgentStatus, ClientError> status = client.status();
  ASSERT_TRUE(status.ok()) << describe(status.error());
  EXPECT_EQ(status.value().identity.agent_pid, id.value().agent_pid);
  EXPECT_EQ(status.value().cached_profiles, (std::vector<std::string>{"a", "b"}));
}

TEST_F(ClientAgentTest, SecretsRoundTripByteForByteAndLockForgetsThem) {
  const std::string awkward = "q\"uo\\te\n\t\x01 \xc3\xa9\xf0\x9f\x94\x91 /}{";
  ASSERT_TRUE(client.unlock("awkward", "test", awkward, 60).ok());
  ASSERT_TRUE(client.unlock("empty", "test", "").ok());
  ASSERT_TRUE(client.unlock("kept", "test", "k").ok());

  Result<LockedSecret, ClientError> got = client.get_secret("awkward");
  ASSERT_TRUE(got.ok()) << describe(got.error());
  EXPECT_EQ(got.value().bytes(), awkward);
  got = client.get_secret("empty");
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got.value().size(), 0u);

  ASSERT_TRUE(client.lock("awkward").ok());
  EXPECT_EQ(client.get_secret("awkward").error().code, ErrorCode::NotCached);
  EXPECT_TRUE(client.get_secret("kept").ok());
  ASSERT_TRUE(client.lock().ok());
  EXPECT_EQ(client.get_secret("kept").error().code, ErrorCode::NotCached);
  EXPECT_TRUE(client.status().value().cached_profiles.empty());
}

TEST_F(ClientAgentTest, EveryAgentErrorArrivesAsItsTypedError) {
  const ClientError not_cached = client.get_secret("never").error();
  EXPECT_EQ(not_cached.kind, ClientError::Kind::Agent);
  EXPECT_EQ(not_cached.code, ErrorCode::NotCached);
  EXPECT_EQ(describe(not_cached), "not_cached");

  const ClientError empty_profile = client.unlock("", "test", "x").error();
  EXPECT_EQ(empty_profile.code, ErrorCode::InvalidRequest);
  EXPECT_EQ(empty_profile.message, "profile must be present and a non-empty string");
  const ClientError zero_ttl = client.unlock("p", "test", "x", 0).error();
  EXPECT_EQ(zero_ttl.code, ErrorCode::InvalidRequest);
  EXPECT_EQ(zero_ttl.message, "ttl_seconds must be absent or a positive integer number of seconds");

  const ClientError unknown = agent_error_for(client, {{"cmd", "Ping"}, {"protocol_version", 2}});
  EXPECT_EQ(unknown.code, ErrorCode::UnknownCommand);
  EXPECT_EQ(unknown.message, "no such command: Some(\"Ping\")");

  const ClientError framing = agent_error_for(client, Json::array({1}));
  EXPECT_EQ(framing.code, ErrorCode::ProtocolError);
  EXPECT_EQ(framing.message, "message must be a JSON object");

  box.answer(AskpassAnswer::Deny);
  const ClientError denied = client.unlock("p", "test", "x").error();
  EXPECT_EQ(denied.code, ErrorCode::PresenceDenied);
  EXPECT_EQ(denied.message, "presence check failed: denied by the test");
  EXPECT_EQ(client.get_secret("p").error().code, ErrorCode::NotCached);

  // While one profile's check waits for the user, another profile is refused.
  box.answer(AskpassAnswer::Grant);
  box.hold();
  auto first = std::async(std::launch::async, [&] { return client.unlock("first", "test", "1"); });
  box.wait_for_prompt();
  const ClientError busy = client.unlock("second", "test", "2").error();
  EXPECT_EQ(busy.code, ErrorCode::PresenceBusy);
  EXPECT_EQ(busy.message, "a presence check for a different profile is already in progress");
  box.release();
  EXPECT_TRUE(first.get().ok());
  EXPECT_TRUE(client.get_secret("first").ok());
}

}  // namespace
}  // namespace tarnwel
