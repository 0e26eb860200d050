#include "server/agent.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/unix_socket.h"
#include "protocol/framing.h"
#include "support/cache_probes.h"
#include "support/fake_clock.h"
#include "support/fake_presence_backend.h"

namespace tarnwel {
namespace {

using namespace std::chrono_literals;

bool ping(const std::string& path) {
  auto stream = connect_unix(path);
  if (!stream.ok()) return false;
  if (!write_message(stream.value().get(), Json{{"cmd", "ping"}, {"protocol_version", 2}}).ok()) {
    return false;
  }
  auto reply = read_message(stream.value().get(), 5s);
  return reply.ok() && reply.value().value("ok", false);
}

TEST(AcceptLoopTest, IdleLimitCountsWholeSecondsSinceTheLastConnection) {
  char dir_template[] = "/tmp/tarnwel-idle-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string path = dir + "/agent.sock";
  auto listener = listen_unix(path);
  ASSERT_TRUE(listener.ok());
  ASSERT_TRUE(set_nonblocking(listener.value().get(), true).ok());

  auto clock = std::make_shared<testing::FakeClock>();
  auto cache = std::make_shared<SecretCache>(DEFAULT_TTL, std::make_unique<testing::FakePresenceBackend>(),
                                             clock);
  ASSERT_TRUE(cache->unlock("p", "r", LockedSecret("s"), std::nullopt).ok());
  auto flag = std::make_shared<ShutdownFlag>();
  auto loop = std::async(std::launch::async, [&] { serve(listener.value(), path, cache, flag, *clock); });

  // Exactly the limit is not past it. The ping is only served after the loop
  // has looked at the clock again, and it restarts the idle time.
  clock->advance(IDLE_LIMIT);
  EXPECT_TRUE(ping(path));
  clock->advance(IDLE_LIMIT);
  EXPECT_TRUE(ping(path));

  clock->advance(IDLE_LIMIT + 1s);
  ASSERT_EQ(loop.wait_for(10s), std::future_status::ready);
  struct stat st {};
  EXPECT_NE(::stat(path.c_str(), &st), 0) << "the socket file must be removed";
  EXPECT_FALSE(cache->get("p").has_value()) << "the cache must be wiped";
  EXPECT_FALSE(flag->is_set());
  ::rmdir(dir.c_str());
}

TEST(AcceptLoopTest, WithLockOnSleepAWakeIsNoticedWithoutAnyClient) {
  char dir_template[] = "/tmp/tarnwel-wake-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string path = dir + "/agent.sock";
  auto listener = listen_unix(path);
  ASSERT_TRUE(listener.ok());
  ASSERT_TRUE(set_nonblocking(listener.value().get(), true).ok());

  auto clock = std::make_shared<testing::FakeClock>();
  auto cache = std::make_shared<SecretCache>(
      DEFAULT_TTL, std::make_unique<testing::FakePresenceBackend>(), clock,
      CacheLimits{.forget_on_sleep = true, .max_lifetime = std::nullopt});
  ASSERT_TRUE(cache->unlock("p", "r", LockedSecret("s"), std::nullopt).ok());
  auto flag = std::make_shared<ShutdownFlag>();
  auto loop =
      std::async(std::launch::async, [&] { serve(listener.value(), path, cache, flag, *clock); });

  EXPECT_TRUE(ping(path));  // the loop runs, and has not forgotten anything awake
  EXPECT_EQ(SecretCacheProbe::stored(*cache), 1u);
  clock->sleep(std::chrono::hours(8));
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  while (SecretCacheProbe::stored(*cache) != 0 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(SecretCacheProbe::stored(*cache), 0u) << "the loop wipes on wake by itself";

  flag->set();
  ASSERT_EQ(loop.wait_for(10s), std::future_status::ready);
  ::rmdir(dir.c_str());
}

TEST(AcceptLoopTest, StopsWhenThePathNoLongerNamesItsSocketAndLeavesItAlone) {
  char dir_template[] = "/tmp/tarnwel-taken-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string path = dir + "/agent.sock";
  auto listener = listen_unix(path);
  ASSERT_TRUE(listener.ok());
  ASSERT_TRUE(set_nonblocking(listener.value().get(), true).ok());

  auto clock = std::make_shared<testing::FakeClock>();
  auto cache = std::make_shared<SecretCache>(DEFAULT_TTL, std::make_unique<testing::FakePresenceBackend>(),
                                             clock);
  ASSERT_TRUE(cache->unlock("p", "r", LockedSecret("s"), std::nullopt).ok());
  auto flag = std::make_shared<ShutdownFlag>();
  auto loop = std::async(std::launch::async, [&] { serve(listener.value(), path, cache, flag, *clock); });
  EXPECT_TRUE(ping(path));

  // What a second agent taking over the same stale path does: unlink, bind.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  auto newcomer = listen_unix(path);
  ASSERT_TRUE(newcomer.ok());
  struct stat taken {};
  ASSERT_EQ(::lstat(path.c_str(), &taken), 0);

  ASSERT_EQ(loop.wait_for(10s), std::future_status::ready) << "an unreachable agent must stop";
  EXPECT_FALSE(cache->get("p").has_value()) << "the cache must be wiped";
  struct stat after {};
  ASSERT_EQ(::lstat(path.c_str(), &after), 0) << "the newcomer's socket must stay";
  EXPECT_EQ(after.st_ino, taken.st_ino);
  EXPECT_FALSE(flag->is_set());
  ::unlink(path.c_str());
  ::rmdir(dir.c_str());
}

}  // namespace
}  // namespace tarnwel
