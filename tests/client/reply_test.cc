#include "client/reply.h"

#include <gtest/gtest.h>

#include "protocol/error_code.h"

namespace tarnwel {
namespace {

Result<Reply, ClientError> decode(std::string_view text) {
  return decode_reply(WipedBytes(text.begin(), text.end()));
}

TEST(DecodeReplyTest, EveryWireCodeBecomesItsTypedError) {
  // The wire names themselves are pinned where the agent writes them.
  std::vector<std::pair<std::string, std::optional<ErrorCode>>> codes = {
      {"a_code_from_a_newer_agent", std::nullopt}};
  for (int i = 0; i <= static_cast<int>(ErrorCode::PresenceUnsupported); ++i) {
    codes.emplace_back(wire_name(static_cast<ErrorCode>(i)), static_cast<ErrorCode>(i));
  }
  for (const auto& [wire, code] : codes) {
    const Result<Reply, ClientError> with_message =
        decode(R"({"error":")" + wire + R"(","message":"the text","ok":false})");
    ASSERT_FALSE(with_message.ok()) << wire;
    EXPECT_EQ(with_message.error().kind, ClientError::Kind::Agent);
    EXPECT_EQ(with_message.error().code, code) << wire;
    EXPECT_EQ(with_message.error().wire_code, wire);
    EXPECT_EQ(describe(with_message.error()), "the text");

    // Without a message, the code itself is what a person is shown.
    const Result<Reply, ClientError> bare = decode(R"({"error":")" + wire + R"(","ok":false})");
    ASSERT_FALSE(bare.ok());
    EXPECT_EQ(bare.error().code, code);
    EXPECT_EQ(describe(bare.error()), wire);
  }
}

TEST(DecodeReplyTest, ASuccessKeepsItsMembersAndTakesTheSecretApart) {
  const Result<Reply, ClientError> reply = decode(R"({"ok":true,"secret":"x\ty"})");
  ASSERT_TRUE(reply.ok());
  ASSERT_TRUE(reply.value().secret.has_value());
  EXPECT_EQ(reply.value().secret->bytes(), "x\ty");
  EXPECT_EQ(reply.value().members.at("secret"), "");

  const Result<Reply, ClientError> pong = decode(R"({"agent_pid":7,"ok":true})");
  ASSERT_TRUE(pong.ok());
  EXPECT_FALSE(pong.value().secret.has_value());
  EXPECT_EQ(unsigned_member(pong.value().members, "agent_pid").value(), 7u);
  EXPECT_FALSE(string_member(pong.value().members, "agent_version").ok());
}

TEST(DecodeReplyTest, RepliesThatBreakTheProtocolAreProtocolFailures) {
  for (const std::string_view text :
       {"", "garbage", "[true]", R"({"ok":"yes"})", R"({"error":"not_cached"})", R"({"ok":false})",
        R"({"error":7,"ok":false})", "{\"ok\":true,\"x\":\"\xff\"}", R"({"ok":true} {})"}) {
    const Result<Reply, ClientError> reply = decode(text);
    ASSERT_FALSE(reply.ok()) << text;
    EXPECT_EQ(reply.error().kind, ClientError::Kind::Protocol) << text;
  }
}

}  // namespace
}  // namespace tarnwel
