#include "server/agent.h"

#include <unistd.h>

#include <filesystem>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "base/unix_socket.h"
#include "support/agent_process.h"
#include "support/fake_clock.h"
#include "support/fake_presence_backend.h"

namespace tarnwel {
namespace {

using namespace std::chrono_literals;

// Whether the loop serves: this process is the agent, so its ping reply names our pid.
bool ping(const std::string& path) {
  return testing::round_trip(path, testing::PING) == testing::ping_reply(::getpid());
}

// A listener on a fresh private path and a cache holding one secret, served
// by the accept loop on a thread of its own with a fake clock; the loop
// sleeps between looks, or with the parameter waits for readiness.
class AcceptLoopTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    auto bound = listen_unix(path_);
    ASSERT_TRUE(bound.ok());
    listener_ = std::move(bound).value();
    ASSERT_TRUE(set_nonblocking(listener_.get(), true).ok());
  }

  void TearDown() override {
    flag_->set();  // a loop that a failed test left running
    flag_->wake_loop();
    if (loop_.valid()) loop_.wait();
  }

  void start(CacheLimits limits = {}) {
    cache_ = std::make_shared<SecretCache>(
        DEFAULT_TTL, std::make_unique<testing::FakePresenceBackend>(), clock_, limits);
    ASSERT_TRUE(cache_->unlock("p", {"r"}, LockedSecret("s"), std::nullopt).ok());
    AcceptWait idle(listener_.get());
    if (GetParam()) {
      auto polling = AcceptWait::on_readiness(listener_.get());
      ASSERT_TRUE(polling.ok());
      idle = std::move(polling).value();
      flag_ = std::make_shared<ShutdownFlag>(idle.waker());
    }
    loop_ = std::async(std::launch::async, [this, idle = std::move(idle)] {
      serve(listener_, path_, cache_, flag_, *clock_, false, idle);
    });
  }

  bool loop_ended() { return loop_.wait_for(10s) == std::future_status::ready; }

  testing::TempDir dir_;
  std::string path_ = dir_.path() + "/agent.sock";
  UniqueFd listener_;
  std::shared_ptr<testing::FakeClock> clock_ = std::make_shared<testing::FakeClock>();
  std::shared_ptr<SecretCache> cache_;
  std::shared_ptr<ShutdownFlag> flag_ = std::make_shared<ShutdownFlag>();
  std::future<void> loop_;
};

INSTANTIATE_TEST_SUITE_P(SleepingOrPolling, AcceptLoopTest, ::testing::Bool());

TEST_P(AcceptLoopTest, IdleLimitCountsWholeSecondsSinceTheLastConnection) {
  start();
  // Exactly the limit is not past it. The ping is only served after the loop
  // has looked at the clock again, and it restarts the idle time.
  clock_->advance(IDLE_LIMIT);
  EXPECT_TRUE(ping(path_));
  clock_->advance(IDLE_LIMIT);
  EXPECT_TRUE(ping(path_));

  clock_->advance(IDLE_LIMIT + 1s);
  ASSERT_TRUE(loop_ended());
  EXPECT_FALSE(std::filesystem::exists(path_)) << "the socket file must be removed";
  EXPECT_FALSE(cache_->get("p").has_value()) << "the cache must be wiped";
  EXPECT_FALSE(flag_->is_set());
}

// What the loop does by itself, with no client asking: sweeps only what has
// expired, and with lock-on-sleep wipes everything on a wake.
TEST_P(AcceptLoopTest, ExpiredSecretsAndAWakeUnderLockOnSleepAreWipedWithoutAnyClient) {
  start(CacheLimits{.forget_on_sleep = true, .max_lifetime = std::nullopt});
  // Stored after the loop's first sweep, which saw only a secret of a day.
  EXPECT_TRUE(ping(path_));
  ASSERT_TRUE(cache_->unlock("short", {"r"}, LockedSecret("t"), TimeToLive::from_seconds(1)).ok());
  EXPECT_TRUE(ping(path_));  // the loop runs, and has not forgotten anything awake
  EXPECT_EQ(cache_->stored_entries(), 2u);
  clock_->advance(1s + 1ns);
  EXPECT_TRUE(testing::wait_until([&] { return cache_->stored_entries() == 1; }));
  clock_->sleep(std::chrono::hours(8));
  EXPECT_TRUE(testing::wait_until([&] { return cache_->stored_entries() == 0; }));
}

TEST_P(AcceptLoopTest, StopsWhenThePathNoLongerNamesItsSocketAndLeavesItAlone) {
  start();
  EXPECT_TRUE(ping(path_));
  // What a second agent taking over the same stale path does: unlink, bind.
  ASSERT_EQ(::unlink(path_.c_str()), 0);
  auto newcomer = listen_unix(path_);
  ASSERT_TRUE(newcomer.ok());
  const ino_t taken = testing::lstat_of(path_).st_ino;

  ASSERT_TRUE(loop_ended()) << "an unreachable agent must stop";
  EXPECT_FALSE(cache_->get("p").has_value()) << "the cache must be wiped";
  EXPECT_EQ(testing::lstat_of(path_).st_ino, taken) << "the newcomer's socket must stay";
  EXPECT_FALSE(flag_->is_set());
}

}  // namespace
}  // namespace tarnwel
