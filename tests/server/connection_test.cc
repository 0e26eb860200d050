#include "server/connection.h"

#include <sys/socket.h>

#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "server/identity.h"
#include "support/fake_clock.h"
#include "support/fake_presence_backend.h"
#include "support/socket_pair.h"

namespace tarnwel {
namespace {

using testing::FakePresenceBackend;

class ConnectionTest : public ::testing::Test {
 protected:
  ConnectionTest() {
    auto backend = std::make_unique<FakePresenceBackend>();
    backend_ = backend.get();
    cache_ = std::make_shared<SecretCache>(DEFAULT_TTL, std::move(backend),
                                           std::make_shared<testing::FakeClock>());
  }

  // Sends `bytes` on a fresh connection (then closes our sending side unless
  // told otherwise) and returns everything the agent wrote before closing.
  std::string exchange(std::string_view bytes, bool half_close = true) {
    auto pair = testing::make_socket_pair();
    std::thread server(handle_connection, std::move(pair.ours), cache_, shutdown_, std::nullopt);
    testing::send_all(pair.peer.get(), bytes);
    if (half_close) ::shutdown(pair.peer.get(), SHUT_WR);
    std::string reply = testing::read_all(pair.peer.get());
    server.join();
    return reply;
  }

  static std::string pid() { return std::to_string(agent_pid()); }

  FakePresenceBackend* backend_;
  std::shared_ptr<SecretCache> cache_;
  std::shared_ptr<ShutdownFlag> shutdown_ = std::make_shared<ShutdownFlag>();
};

TEST_F(ConnectionTest, AnyVersionButUnsignedTwoIsAMismatchThatStopsTheAgent) {
  const std::string mismatch = "{\"agent_pid\":" + pid() +
                               ",\"agent_protocol_version\":2,\"agent_version\":\"1.12.0\","
                               "\"error\":\"protocol_mismatch\",\"ok\":false}\n";
  for (const char* version : {"", ",\"protocol_version\":2.0", ",\"protocol_version\":\"2\"",
                              ",\"protocol_version\":3", ",\"protocol_version\":-2",
                              ",\"protocol_version\":null", ",\"protocol_version\":[2]"}) {
    auto flag = std::make_shared<ShutdownFlag>();
    shutdown_ = flag;
    // The command is never looked at: not even "ping" or "shutdown" pass.
    EXPECT_EQ(exchange(std::string("{\"cmd\":\"ping\"") + version + "}\n"), mismatch) << version;
    EXPECT_TRUE(flag->is_set()) << version;
  }
}

TEST_F(ConnectionTest, UnknownCommandsAreNamedAsTheyCame) {
  const auto message_for = [&](const std::string& cmd_member) {
    return exchange("{\"protocol_version\":2" + cmd_member + "}\n");
  };
  const std::string none = "{\"error\":\"unknown_command\",\"message\":\"no such command: None\",\"ok\":false}\n";
  EXPECT_EQ(message_for(""), none);
  EXPECT_EQ(message_for(",\"cmd\":5"), none);
  EXPECT_EQ(message_for(",\"cmd\":null"), none);
  EXPECT_EQ(message_for(",\"cmd\":\"PING\""),
            "{\"error\":\"unknown_command\",\"message\":\"no such command: Some(\\\"PING\\\")\","
            "\"ok\":false}\n");
  // Quote, backslash, tab, CR, LF, NUL by name; other controls as \u{hex};
  // printable non-ASCII unchanged. The outer JSON escapes again on the wire.
  EXPECT_EQ(message_for(",\"cmd\":\"a\\\"b\\\\c\\t\\r\\n\\u0000\\u001b\\u007f\\u0085\xC3\xA9\""),
            "{\"error\":\"unknown_command\",\"message\":\"no such command: "
            "Some(\\\"a\\\\\\\"b\\\\\\\\c\\\\t\\\\r\\\\n\\\\0\\\\u{1b}\\\\u{7f}\\\\u{85}\xC3\xA9\\\")\","
            "\"ok\":false}\n");
  EXPECT_FALSE(shutdown_->is_set());
}

TEST_F(ConnectionTest, FramingFailuresAreProtocolErrorsWithTheReadersText) {
  EXPECT_EQ(exchange(""),
            "{\"error\":\"protocol_error\",\"message\":\"connection closed before any data was "
            "received\",\"ok\":false}\n");
  EXPECT_EQ(exchange("[1]\n"),
            "{\"error\":\"protocol_error\",\"message\":\"message must be a JSON object\",\"ok\":false}\n");
  const std::string malformed = exchange("{\"cmd\":}\n");
  EXPECT_EQ(malformed.rfind("{\"error\":\"protocol_error\",\"message\":\"malformed message: ", 0), 0u)
      << malformed;
  EXPECT_FALSE(shutdown_->is_set());
}

TEST_F(ConnectionTest, OnlyTheFirstOfTwoRequestsIsAnswered) {
  const std::string reply = exchange(
      "{\"cmd\":\"lock\",\"protocol_version\":2}\n{\"cmd\":\"shutdown\",\"protocol_version\":2}\n",
      /*half_close=*/false);
  EXPECT_EQ(reply, "{\"ok\":true}\n");
  EXPECT_FALSE(shutdown_->is_set());
}

TEST_F(ConnectionTest, AFailingHandlerLosesOnlyItsOwnConnection) {
  EXPECT_EQ(exchange(R"({"cmd":"unlock","protocol_version":2,"profile":"p","reason":"r","secret":"s1"})"
                     "\n"),
            "{\"ok\":true}\n");
  backend_->throw_at_once();
  EXPECT_EQ(exchange(R"({"cmd":"unlock","protocol_version":2,"profile":"p","reason":"r","secret":"s2"})"
                     "\n"),
            "")
      << "the stream must be closed without a reply";
  EXPECT_EQ(exchange(R"({"cmd":"get_secret","protocol_version":2,"profile":"p"})"
                     "\n"),
            "{\"ok\":true,\"secret\":\"s1\"}\n");
  EXPECT_FALSE(shutdown_->is_set());
}

}  // namespace
}  // namespace tarnwel
