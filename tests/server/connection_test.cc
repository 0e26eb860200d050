#include "server/connection.h"

#include <pthread.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "presence/askpass_backend.h"
#include "server/dispatch.h"
#include "server/identity.h"
#include "support/fake_clock.h"
#include "support/fake_presence_backend.h"
#include "support/sanitizers.h"
#include "support/socket_pair.h"

namespace tarnwel {
namespace {

using testing::FakePresenceBackend;

class ConnectionTest : public ::testing::Test {
 protected:
  // A fresh connection on which the peer sent `bytes` and then closed its
  // sending side.
  static testing::SocketPair sent(std::string_view bytes) {
    auto pair = testing::make_socket_pair();
    testing::send_all(pair.peer.get(), bytes);
    ::shutdown(pair.peer.get(), SHUT_WR);
    return pair;
  }

  // Everything the agent writes to a peer that sent `bytes`, until it closes.
  std::string exchange(std::string_view bytes) {
    auto pair = sent(bytes);
    std::thread server(handle_connection, std::move(pair.ours), cache_, shutdown_, std::nullopt,
                       std::function<void()>());
    std::string reply = testing::read_all(pair.peer.get());
    server.join();
    return reply;
  }

  // The cache takes `owned_` over; `backend_` stays valid while it lives.
  std::unique_ptr<FakePresenceBackend> owned_ = std::make_unique<FakePresenceBackend>();
  FakePresenceBackend& backend_ = *owned_;
  std::shared_ptr<SecretCache> cache_ = std::make_shared<SecretCache>(
      DEFAULT_TTL, std::move(owned_), std::make_shared<testing::FakeClock>());
  std::shared_ptr<ShutdownFlag> shutdown_ = std::make_shared<ShutdownFlag>();
};

TEST_F(ConnectionTest, AnyVersionButUnsignedTwoIsAMismatchThatStopsTheAgent) {
  const std::string mismatch = "{\"agent_pid\":" + std::to_string(agent_pid()) +
                               ",\"agent_protocol_version\":2,\"agent_version\":\"" +
                               std::string(AGENT_VERSION) +
                               "\",\"error\":\"protocol_mismatch\",\"ok\":false}\n";
  for (const char* version :
       {"", ",\"protocol_version\":2.0", ",\"protocol_version\":\"2\"", ",\"protocol_version\":3",
        ",\"protocol_version\":-2", ",\"protocol_version\":null", ",\"protocol_version\":[2]"}) {
    shutdown_ = std::make_shared<ShutdownFlag>();
    // The command is never looked at: not even "ping" or "shutdown" pass.
    EXPECT_EQ(exchange(std::string("{\"cmd\":\"ping\"") + version + "}\n"), mismatch) << version;
    EXPECT_TRUE(shutdown_->is_set()) << version;
  }
}

// The reader's own texts are pinned where it is tested; here, only that its
// failure is answered as a protocol error that carries the text.
TEST_F(ConnectionTest, UnknownCommandsAreNamedAsTheyCameAndFramingFailuresCarryTheReadersText) {
  EXPECT_EQ(exchange("[1]\n"),
            "{\"error\":\"protocol_error\",\"message\":\"message must be a JSON "
            "object\",\"ok\":false}\n");
  const auto message_for = [&](const std::string& cmd_member) {
    return exchange("{\"protocol_version\":2" + cmd_member + "}\n");
  };
  const std::string none =
      "{\"error\":\"unknown_command\",\"message\":\"no such command: None\",\"ok\":false}\n";
  for (const char* cmd : {"", ",\"cmd\":5", ",\"cmd\":null"}) EXPECT_EQ(message_for(cmd), none);
  EXPECT_EQ(message_for(",\"cmd\":\"PING\""),
            "{\"error\":\"unknown_command\",\"message\":\"no such command: Some(\\\"PING\\\")\","
            "\"ok\":false}\n");
  // Quote, backslash, tab, CR, LF, NUL by name; other controls as \u{hex};
  // printable non-ASCII unchanged. The outer JSON escapes again on the wire.
  EXPECT_EQ(
      message_for(",\"cmd\":\"a\\\"b\\\\c\\t\\r\\n\\u0000\\u001b\\u007f\\u0085\xC3\xA9\""),
      "{\"error\":\"unknown_command\",\"message\":\"no such command: "
      "Some(\\\"a\\\\\\\"b\\\\\\\\c\\\\t\\\\r\\\\n\\\\0\\\\u{1b}\\\\u{7f}\\\\u{85}\xC3\xA9\\\")\","
      "\"ok\":false}\n");
  EXPECT_FALSE(shutdown_->is_set());
}

TEST_F(ConnectionTest, AFailingHandlerLosesOnlyItsOwnConnection) {
  const auto unlock = [&](const std::string& secret) {
    return exchange(
        R"({"cmd":"unlock","protocol_version":2,"profile":"p","reason":"r","secret":")" + secret +
        "\"}\n");
  };
  EXPECT_EQ(unlock("s1"), "{\"ok\":true}\n");
  backend_.throw_at_once();
  EXPECT_EQ(unlock("s2"), "") << "the stream must be closed without a reply";
  // Only the first request of a connection is answered.
  EXPECT_EQ(exchange(R"({"cmd":"get_secret","protocol_version":2,"profile":"p"})"
                     "\n"
                     R"({"cmd":"shutdown","protocol_version":2})"
                     "\n"),
            "{\"ok\":true,\"secret\":\"s1\"}\n");
  EXPECT_FALSE(shutdown_->is_set());
}

constexpr unsigned char PAINT = 0xA5;
constexpr std::size_t PAINTED_STACK = 1024 * 1024;

// Runs `work` on a thread whose whole stack was painted first. Afterwards,
// bytes [deepest, top) of the stack are what `work` may have written, `top`
// being the frame that called it.
class PaintedThread {
 public:
  PaintedThread() {
    void* pages =
        ::mmap(nullptr, PAINTED_STACK, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(pages, MAP_FAILED);
    stack_ = static_cast<unsigned char*>(pages);
  }
  ~PaintedThread() { ::munmap(stack_, PAINTED_STACK); }

  void run(std::function<void()> work) {
    std::fill(stack_, stack_ + PAINTED_STACK, PAINT);
    work_ = std::move(work);
    pthread_attr_t attributes;
    ::pthread_attr_init(&attributes);
    ::pthread_attr_setstack(&attributes, stack_, PAINTED_STACK);
    pthread_t thread;
    ASSERT_EQ(::pthread_create(&thread, &attributes, &PaintedThread::enter, this), 0);
    ::pthread_attr_destroy(&attributes);
    ::pthread_join(thread, nullptr);
  }

  // How far below the calling frame the work wrote.
  std::size_t depth() const {
    const unsigned char* deepest =
        std::find_if(stack_, stack_ + PAINTED_STACK, [](unsigned char b) { return b != PAINT; });
    return static_cast<std::size_t>(top_ - deepest);
  }
  // Whether [top - to, top - from) holds nothing but zeros.
  bool zeroed(std::size_t from, std::size_t to) const {
    return std::all_of(top_ - to, top_ - from, [](unsigned char b) { return b == 0; });
  }

 private:
  static void* enter(void* self) {
    auto& painted = *static_cast<PaintedThread*>(self);
    painted.top_ = static_cast<unsigned char*>(__builtin_frame_address(0));
    painted.work_();
    return nullptr;
  }

  unsigned char* stack_ = nullptr;
  unsigned char* top_ = nullptr;
  std::function<void()> work_;
};

// Every kind of request, on painted stacks: handle_connection must leave
// nothing it wrote below the span it wipes for the request's kind (a secret's
// bytes would stay there), and zeros within it.
TEST_F(ConnectionTest, NoRequestGoesDeeperThanTheStackWipe) {
  if (testing::UNDER_SANITIZER) GTEST_SKIP() << "instrumented frames are not the agent's frames";
  // The real askpass backend, so that the presence program's spawn and wait
  // are measured too; the environment is set while no other thread runs.
  auto askpass_cache = std::make_shared<SecretCache>(
      DEFAULT_TTL, std::make_unique<AskpassBackend>(), std::make_shared<testing::FakeClock>());
  const std::string deeper = std::string(200, '[') + std::string(200, ']');
  const std::string asked =
      R"({"cmd":"unlock","protocol_version":2,"profile":"a","reason":"r","secret":"s"})";
  struct Kind {
    std::string name;
    std::string request;
    // The presence program of the askpass cache; the fake backend's cache when null.
    const char* askpass = nullptr;
  };
  const std::vector<Kind> kinds = {
      {"ping", R"({"cmd":"ping","protocol_version":2})"},
      {"unlock",
       R"({"cmd":"unlock","protocol_version":2,"profile":"p","reason":"r","secret":"s\u00e9\ud83d\ude00","ttl_seconds":60})"},
      {"get_secret", R"({"cmd":"get_secret","protocol_version":2,"profile":"p"})"},
      {"unlock, askpass grants", asked, "/bin/true"},
      {"unlock, askpass denies", asked, "/bin/false"},
      {"unlock, invalid",
       R"({"cmd":"unlock","protocol_version":2,"profile":"p","reason":"r","ttl_seconds":0})"},
      {"lock", R"({"cmd":"lock","protocol_version":2,"profile":"p"})"},
      {"unknown command", R"({"cmd":"x\u001b\"y","protocol_version":2})"},
      {"nested too deep", R"({"cmd":"ping","protocol_version":2,"x":)" + deeper + "}"},
      {"closed at once", ""},
      {"protocol mismatch", R"({"cmd":"ping","protocol_version":1})"},
      {"shutdown", R"({"cmd":"shutdown","protocol_version":2})"},
  };
  PaintedThread painted;
  for (const Kind& kind : kinds) {
    if (kind.askpass != nullptr) ::setenv("TARNWEL_AGENT_ASKPASS", kind.askpass, 1);
    const std::shared_ptr<SecretCache>& cache = kind.askpass != nullptr ? askpass_cache : cache_;
    const std::string line = kind.request.empty() ? "" : kind.request + "\n";
    const std::size_t bound =
        kind.name.starts_with("unlock") ? UNLOCK_STACK_DEPTH : REQUEST_STACK_DEPTH;
    auto pair = sent(line);
    painted.run([&] { handle_connection(std::move(pair.ours), cache, shutdown_); });
    EXPECT_FALSE(testing::read_all(pair.peer.get()).empty()) << kind.name;
    // Its own frame and the wipe's bookkeeping lie at either end of the span.
    EXPECT_LE(painted.depth(), bound + STACK_WIPE_MARGIN + 1024) << kind.name;
    EXPECT_TRUE(painted.zeroed(1024, bound + STACK_WIPE_MARGIN)) << kind.name;
  }
  ::unsetenv("TARNWEL_AGENT_ASKPASS");
}

}  // namespace
}  // namespace tarnwel
