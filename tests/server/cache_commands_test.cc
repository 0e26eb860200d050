#include "server/cache_commands.h"

#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "protocol/json_text.h"
#include "server/dispatch.h"
#include "server/identity.h"
#include "support/fake_clock.h"
#include "support/fake_presence_backend.h"

namespace tarnwel {
namespace {

using testing::FakePresenceBackend;

class CacheCommandsTest : public ::testing::Test {
 protected:
  // The reply to the request text `json` (the envelope added), as wire text
  // without its terminator.
  std::string ask(const std::string& members) {
    const std::string text = "{\"protocol_version\":2," + members + "}";
    auto request = parse_json_text(text);
    EXPECT_TRUE(request.ok()) << text;
    std::string frame(as_view(handle_request(request.value(), cache_, shutdown_).reply));
    EXPECT_EQ(frame.back(), '\n');
    frame.pop_back();
    return frame;
  }
  // The reply to an unlock of `profile` for the reason "r", with `more` members.
  std::string unlock(const std::string& profile, const std::string& secret = "s",
                     const std::string& more = "") {
    return ask(R"("cmd":"unlock","reason":"r","profile":")" + profile + R"(","secret":")" + secret +
               "\"" + more);
  }

  // The cache takes `owned_` over; `backend_` stays valid while it lives.
  std::unique_ptr<FakePresenceBackend> owned_ = std::make_unique<FakePresenceBackend>();
  FakePresenceBackend& backend_ = *owned_;
  std::shared_ptr<testing::FakeClock> clock_ = std::make_shared<testing::FakeClock>();
  SecretCache cache_{DEFAULT_TTL, std::move(owned_), clock_};
  ShutdownFlag shutdown_;
};

constexpr const char* OK = "{\"ok\":true}";
constexpr const char* NOT_CACHED = "{\"error\":\"not_cached\",\"ok\":false}";

std::string invalid(const std::string& message) {
  return "{\"error\":\"invalid_request\",\"message\":\"" + message + "\",\"ok\":false}";
}
const std::string BAD_PROFILE = invalid("profile must be present and a non-empty string");

TEST_F(CacheCommandsTest, UnlockChecksItsMembersInOrder) {
  EXPECT_EQ(ask(R"("cmd":"unlock")"), BAD_PROFILE);
  EXPECT_EQ(ask(R"("cmd":"unlock","profile":"","reason":"","ttl_seconds":0)"), BAD_PROFILE);
  EXPECT_EQ(ask(R"("cmd":"unlock","profile":null,"reason":"r","secret":"s")"), BAD_PROFILE);
  EXPECT_EQ(ask(R"("cmd":"unlock","profile":7,"reason":"r","secret":"s")"), BAD_PROFILE);
  EXPECT_EQ(ask(R"("cmd":"unlock","profile":"p")"),
            invalid("reason must be present and a non-empty string"));
  const std::string bad_secret = invalid("unlock requires a \\\"secret\\\" string");
  EXPECT_EQ(ask(R"("cmd":"unlock","profile":"p","reason":"r","ttl_seconds":0)"), bad_secret);
  EXPECT_EQ(ask(R"("cmd":"unlock","profile":"p","reason":"r","secret":null)"), bad_secret);
  EXPECT_EQ(ask(R"("cmd":"unlock","profile":"p","reason":"r","secret":5)"), bad_secret);
  const std::string bad_ttl =
      invalid("ttl_seconds must be absent or a positive integer number of seconds");
  for (const std::string ttl :
       {"0", "-1", "1.5", "60.0", "\"60\"", "null", "1e2", "18446744073709551616"}) {
    EXPECT_EQ(unlock("p", "s", ",\"ttl_seconds\":" + ttl), bad_ttl) << ttl;
  }
  EXPECT_EQ(backend_.calls(), 0u) << "no refused request may reach the presence check";
  EXPECT_EQ(ask(R"("cmd":"get_secret","profile":"p")"), NOT_CACHED);
}

TEST_F(CacheCommandsTest, SecretsRoundTripExactlyAndExpireByTheirTtl) {
  // Characters the writer must escape, non-ASCII, and an empty secret.
  EXPECT_EQ(unlock("p", R"(q\"b\\n\nt\t\u0001 \u00e9\ud83d\udd11)"), OK);
  EXPECT_EQ(ask(R"("cmd":"get_secret","profile":"p","reason":"ignored")"),
            "{\"ok\":true,\"secret\":\"q\\\"b\\\\n\\nt\\t\\u0001 \xC3\xA9\xF0\x9F\x94\x91\"}");
  EXPECT_EQ(unlock("empty", "", R"(,"ttl_seconds":60)"), OK);
  EXPECT_EQ(unlock("max", "m", R"(,"ttl_seconds":18446744073709551615)"), OK);
  EXPECT_EQ(backend_.reasons(), (std::vector<std::string>{"r", "r", "r"}));

  clock_->advance(std::chrono::seconds(60));  // the empty secret, live at exactly its ttl
  EXPECT_EQ(ask(R"("cmd":"get_secret","profile":"empty")"), "{\"ok\":true,\"secret\":\"\"}");
  clock_->advance(std::chrono::nanoseconds(1));
  EXPECT_EQ(ask(R"("cmd":"get_secret","profile":"empty")"), NOT_CACHED);
  clock_->advance(std::chrono::seconds(86'400 - 60));
  EXPECT_EQ(ask(R"("cmd":"get_secret","profile":"p")"), NOT_CACHED) << "default ttl is a day";
  EXPECT_EQ(ask(R"("cmd":"get_secret","profile":"max")"), "{\"ok\":true,\"secret\":\"m\"}");

  // A request cannot carry bytes that are not UTF-8; the cache is where they can come from.
  ASSERT_TRUE(cache_.unlock("raw", {"r"}, LockedSecret("\xFF"), std::nullopt).ok());
  EXPECT_EQ(
      ask(R"("cmd":"get_secret","profile":"raw")"),
      R"({"error":"corrupt_secret","message":"cached secret is not valid UTF-8","ok":false})");
}

// What a lock forgets is the cache's business; here, the request's members.
TEST_F(CacheCommandsTest, LockForgetsOneOrAllButRefusesAnEmptyName) {
  EXPECT_EQ(unlock("a"), OK);
  EXPECT_EQ(unlock("b"), OK);
  EXPECT_EQ(ask(R"("cmd":"lock","profile":"")"), BAD_PROFILE);
  EXPECT_EQ(ask(R"("cmd":"lock","profile":null)"), BAD_PROFILE);
  EXPECT_EQ(ask(R"("cmd":"get_secret","profile":"")"), BAD_PROFILE);
  EXPECT_EQ(ask(R"("cmd":"lock","profile":"a")"), OK);
  EXPECT_EQ(cache_.live_profiles(), std::vector<std::string>{"b"});
  EXPECT_EQ(ask(R"("cmd":"lock")"), OK);
  EXPECT_EQ(cache_.live_profiles(), std::vector<std::string>{});
}

// The status frame is written without the JSON library: byte for byte what
// the library writes for the same members, escapes and all.
TEST_F(CacheCommandsTest, StatusListsLiveProfilesAsTheLibraryWritesThem) {
  const auto library_frame = [this] {
    Json reply = identity_reply();
    reply["cached_profiles"] = cache_.live_profiles();
    return std::string(as_view(frame_of(reply)));
  };
  EXPECT_EQ(ask(R"("cmd":"status")") + "\n", library_frame());
  const std::string ping = ask(R"("cmd":"ping")");
  EXPECT_EQ(ask(R"("cmd":"status")"),
            ping.substr(0, ping.find(",\"ok\":")) +
                R"(,"cached_profiles":[],"ok":true,"protocol_version":2})");
  for (const char* name :
       {R"(q\"b\\n)", R"(\n\t\u0001\u001f\u007f)", R"(\u00e9\ud83d\udd11)", "B", "a"}) {
    EXPECT_EQ(unlock(name), OK) << name;
  }
  EXPECT_EQ(ask(R"("cmd":"status")") + "\n", library_frame());
  // A name that is not UTF-8 can only come from the cache itself; the library
  // refuses to write it, and the reply is left out as before.
  ASSERT_TRUE(cache_.unlock("\xFF", {"r"}, LockedSecret("s"), std::nullopt).ok());
  EXPECT_TRUE(handle_status(cache_).empty());
}

TEST_F(CacheCommandsTest, EachPresenceFailureHasItsOwnCode) {
  backend_.answer_at_once(PresenceError::denied("Canceled by user."));
  EXPECT_EQ(
      unlock("p"),
      R"({"error":"presence_denied","message":"presence check failed: Canceled by user.","ok":false})");
  backend_.answer_at_once(PresenceError::timed_out());
  EXPECT_EQ(unlock("p"),
            R"({"error":"presence_timed_out","message":"presence check timed out","ok":false})");
  backend_.answer_at_once(PresenceError::unsupported());
  EXPECT_EQ(
      unlock("p"),
      R"({"error":"presence_unsupported","message":"presence check is not supported on this platform","ok":false})");
  EXPECT_EQ(ask(R"("cmd":"get_secret","profile":"p")"), NOT_CACHED);

  // Another profile while a prompt is on screen is refused at once.
  backend_.hold_calls();
  std::string held;
  std::thread first([&] { held = unlock("p"); });
  ASSERT_TRUE(backend_.wait_for_calls(4));
  EXPECT_EQ(
      unlock("other"),
      R"({"error":"presence_busy","message":"a presence check for a different profile is already in progress","ok":false})");
  backend_.finish(Ok{});
  first.join();
  EXPECT_EQ(held, OK);
  EXPECT_EQ(backend_.calls(), 4u);
}

}  // namespace
}  // namespace tarnwel
