#include "client/secret_member.h"

#include <gtest/gtest.h>

#include "protocol/json_text.h"

namespace tarnwel {
namespace {

WipedBytes bytes_of(std::string_view text) { return WipedBytes(text.begin(), text.end()); }

// A repeated name, one of them escaped: the last counts, as for the parser.
TEST(SecretMemberTest, TakesTheLastSecretAndLeavesAnObjectWithoutAny) {
  const std::string reply = R"({"ok":true,"secret":"first","secr\u0065t":"s3 \"cr\u00e9t\"\n"})";
  WipedBytes line = bytes_of(reply);
  Result<std::optional<LockedSecret>, std::string> secret = take_secret_member(line);
  ASSERT_TRUE(secret.ok());
  ASSERT_TRUE(secret.value().has_value());
  EXPECT_EQ(secret.value()->bytes(), "s3 \"cr\xc3\xa9t\"\n");

  // Same length, no byte of either literal left, and still the same object.
  EXPECT_EQ(line.size(), reply.size());
  EXPECT_EQ(as_view(line).find("first"), std::string_view::npos);
  EXPECT_EQ(as_view(line).find("s3"), std::string_view::npos);
  const Result<Json, JsonError> parsed = parse_json_text(as_view(line));
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed.value(), Json::parse(R"({"ok":true,"secret":""})"));
}

TEST(SecretMemberTest, OnlyATopLevelSecretStringCounts) {
  // Nested "secret" names, braces and escaped quotes or backslashes inside
  // strings and a non-string secret are all stepped over; the line stays as
  // it was.
  for (const std::string_view text :
       {R"({"ok":true})", R"({})", R"( { "a" : {"secret":"x\\"}, "b":["}\"", {"secret":"y"}] } )",
        R"({"secret":42,"ok":false})", R"({"error":"not_cached","ok":false})"}) {
    WipedBytes line = bytes_of(text);
    Result<std::optional<LockedSecret>, std::string> secret = take_secret_member(line);
    ASSERT_TRUE(secret.ok()) << text;
    EXPECT_FALSE(secret.value().has_value()) << text;
    EXPECT_EQ(as_view(line), text);
  }
}

TEST(SecretMemberTest, RefusesWhatCannotBeScannedWithoutQuotingIt) {
  for (const std::string_view text :
       {"", "[1]", R"({"secret":"unterminated)", R"({"secret" "x"})", R"({"secret":"a"x})",
        R"({"ok":true,"secret":"bad\q"})", R"({"a":[1,2)"}) {
    WipedBytes line = bytes_of(text);
    Result<std::optional<LockedSecret>, std::string> secret = take_secret_member(line);
    ASSERT_FALSE(secret.ok()) << text;
    EXPECT_EQ(secret.error().find("bad\\q"), std::string::npos);
    EXPECT_EQ(secret.error().find("unterminated)"), std::string::npos);
  }
}

}  // namespace
}  // namespace tarnwel
