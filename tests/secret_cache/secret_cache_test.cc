#include "secret_cache/secret_cache.h"

#include <chrono>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "secret_cache/locked_secret_testing.h"
#include "support/cache_probes.h"
#include "support/fake_clock.h"
#include "support/fake_presence_backend.h"

namespace tarnwel {
namespace {

using std::chrono::nanoseconds;
using std::chrono::seconds;
using Names = std::vector<std::string>;

// Secrets live 100 s unless an unlock says otherwise.
class SecretCacheTest : public ::testing::Test {
 protected:
  explicit SecretCacheTest(CacheLimits limits = {})
      : cache(TimeToLive::from_seconds(100), std::move(owned_), clock, limits) {}

  PresenceOutcome unlock(std::string_view profile, std::string_view secret,
                         std::optional<TimeToLive> ttl = std::nullopt) {
    return cache.unlock(profile, {"reason"}, LockedSecret(secret), ttl);
  }
  std::optional<std::string> get(std::string_view profile) {
    const std::optional<LockedSecret> copy = cache.get(profile);
    return copy ? std::optional<std::string>(copy->bytes()) : std::nullopt;
  }

  // The cache takes `owned_` over; `backend` stays valid while it lives.
  std::unique_ptr<testing::FakePresenceBackend> owned_ =
      std::make_unique<testing::FakePresenceBackend>();
  testing::FakePresenceBackend& backend = *owned_;
  std::shared_ptr<testing::FakeClock> clock = std::make_shared<testing::FakeClock>();
  SecretCache cache;
};

TEST_F(SecretCacheTest, HandsOutSeparateCopiesUnderExactNamesAndKeepsNothingForLockedNames) {
  ASSERT_TRUE(unlock("a", "s3cret").ok());
  ASSERT_TRUE(unlock("A", "other").ok());
  std::optional<LockedSecret> one = cache.get("a"), two = cache.get("a");
  ASSERT_TRUE(one && two);
  EXPECT_EQ(one->bytes(), "s3cret");
  EXPECT_NE(one->bytes().data(), two->bytes().data());
  EXPECT_EQ(get("A"), "other");  // names compare as exact bytes

  cache.lock("never-unlocked");
  cache.lock("A");
  EXPECT_EQ(get("A"), std::nullopt);
  // Nothing is kept per name once its unlocks have ended, nor for a lock of a
  // name that was never unlocked.
  EXPECT_EQ(cache.profiles_unlocking(), 0u);
  EXPECT_EQ(cache.live_profiles(), Names{"a"});
}

TEST_F(SecretCacheTest, ConcurrentUnlocksShareOnePromptTheLaterOneWinsAndALockVoidsThem) {
  backend.hold_calls();
  std::optional<PresenceOutcome> first, second;
  std::thread t1([&] { first = unlock("a", "first"); });
  ASSERT_TRUE(backend.wait_for_calls(1));
  std::thread t2([&] { second = unlock("a", "second"); });
  ASSERT_TRUE(testing::wait_for_joins(cache.presence_checker(), 1));

  // No cache lock is held while the user decides.
  EXPECT_EQ(get("a"), std::nullopt);
  EXPECT_EQ(cache.profiles_unlocking(), 1u);  // "a", held by both
  backend.finish(Ok{});
  t1.join(), t2.join();
  EXPECT_EQ(cache.profiles_unlocking(), 0u);
  EXPECT_TRUE(first->ok());
  EXPECT_TRUE(second->ok());
  EXPECT_EQ(backend.calls(), 1u);
  EXPECT_EQ(get("a"), "second");

  // A lock during the prompt voids the pending unlock, and only that one.
  std::optional<PresenceOutcome> outcome;
  std::thread t([&] { outcome = unlock("b", "late"); });
  ASSERT_TRUE(backend.wait_for_calls(2));
  cache.lock("b");
  backend.finish(Ok{});
  t.join();
  EXPECT_TRUE(outcome->ok());
  EXPECT_EQ(get("b"), std::nullopt);
  EXPECT_EQ(get("a"), "second");

  // lock_all voids the leader and its joiner alike.
  std::optional<PresenceOutcome> leader, joiner;
  t1 = std::thread([&] { leader = unlock("b", "one"); });
  ASSERT_TRUE(backend.wait_for_calls(3));
  t2 = std::thread([&] { joiner = unlock("b", "two"); });
  ASSERT_TRUE(testing::wait_for_joins(cache.presence_checker(), 2));
  cache.lock_all();
  backend.finish(Ok{});
  t1.join(), t2.join();
  EXPECT_TRUE(leader->ok());
  EXPECT_TRUE(joiner->ok());
  EXPECT_EQ(cache.live_profiles(), Names{});
}

// An unlock whose check was granted, caught between its check and its store:
// a later unlock whose check fails still takes a generation and so voids it,
// while the secret already cached stays.
TEST_F(SecretCacheTest, FailedUnlockKeepsTheCachedSecretButVoidsAnEarlierOneOnItsWay) {
  ASSERT_TRUE(unlock("a", "cached").ok());
  {
    auto on_its_way = SecretCacheProbe::start_unlock(cache, "a");
    backend.answer_at_once(PresenceError::denied("no"));
    EXPECT_FALSE(unlock("a", "refused").ok());
    on_its_way.store(LockedSecret("granted late"), DEFAULT_TTL);
    EXPECT_EQ(get("a"), "cached");
  }
  SecretCacheProbe::start_unlock(cache, "a").store(LockedSecret("stored"), DEFAULT_TTL);
  EXPECT_EQ(get("a"), "stored");
  EXPECT_EQ(cache.profiles_unlocking(), 0u);  // each ticket let its row go
}

std::size_t wiped_releases = 0;

// How many arena slots `work` gave back wiped to the last byte.
template <typename Work>
std::size_t wiped_releases_during(Work work) {
  wiped_releases = 0;
  testing::set_release_observer([](std::string_view pages, std::size_t) {
    if (pages.find_first_not_of('\0') == std::string_view::npos) ++wiped_releases;
  });
  work();
  testing::set_release_observer(nullptr);
  return wiped_releases;
}

// A secret is live at exactly its ttl, and reading it never extends it.
TEST_F(SecretCacheTest, ReplacementWipesTheOldSecretAndRestartsLifeWithTheNewTtl) {
  ASSERT_TRUE(unlock("a", "old", TimeToLive::from_seconds(10)).ok());
  ASSERT_TRUE(unlock("default", "y").ok());
  clock->advance(seconds(8));
  EXPECT_EQ(wiped_releases_during(
                [&] { ASSERT_TRUE(unlock("a", "new", TimeToLive::from_seconds(5)).ok()); }),
            1u);

  clock->advance(seconds(5));
  EXPECT_EQ(get("a"), "new");  // the old entry would have gone at 10 s
  clock->advance(nanoseconds(1));
  EXPECT_EQ(get("a"), std::nullopt);

  clock->advance(seconds(87) - nanoseconds(1));
  EXPECT_EQ(get("default"), "y");
  clock->advance(nanoseconds(1));
  EXPECT_EQ(cache.live_profiles(), Names{});
  EXPECT_EQ(get("default"), std::nullopt);
}

TEST_F(SecretCacheTest, LiveProfilesAreInByteOrderWithExpiredOnesPurgedAndNothingOverflows) {
  for (const char* name : {"\xC3\xA9", "ab", "a", "z", "B"}) ASSERT_TRUE(unlock(name, "x").ok());
  ASSERT_TRUE(unlock("gone", "x", TimeToLive::from_seconds(1)).ok());
  const auto largest = TimeToLive::from_seconds(std::numeric_limits<std::uint64_t>::max());
  ASSERT_TRUE(unlock("forever", "f", largest).ok());
  clock->advance(seconds(2));
  EXPECT_EQ(cache.live_profiles(), (Names{"B", "a", "ab", "forever", "z", "\xC3\xA9"}));
  clock->set(Instant{});  // would revive an entry that was only hidden, not removed
  EXPECT_EQ(get("gone"), std::nullopt);

  clock->set(Instant::max());
  EXPECT_EQ(get("forever"), "f");
  EXPECT_EQ(cache.live_profiles(), Names{"forever"});
}

// The sweep removes and wipes exactly the entries past their ttl, and the
// next expiry it reports is that of what is left, whatever lock, replacement
// or unlock came before.
TEST_F(SecretCacheTest, SweepWipesExactlyTheDueEntriesAndKnowsWhenTheNextIsDue) {
  EXPECT_EQ(cache.sweep(), NEVER_EXPIRES);
  ASSERT_TRUE(unlock("a", "x", TimeToLive::from_seconds(10)).ok());
  ASSERT_TRUE(unlock("b", "y", TimeToLive::from_seconds(20)).ok());
  ASSERT_TRUE(unlock("default", "z").ok());
  EXPECT_EQ(cache.sweep(), seconds(10));
  clock->advance(seconds(10));
  EXPECT_EQ(cache.sweep(), seconds(0));
  EXPECT_EQ(cache.stored_entries(), 3u) << "live at exactly its ttl";

  clock->advance(nanoseconds(1));
  std::chrono::nanoseconds left{};
  EXPECT_EQ(wiped_releases_during([&] { left = cache.sweep(); }), 1u);
  EXPECT_EQ(left, seconds(10) - nanoseconds(1));
  EXPECT_EQ(cache.stored_entries(), 2u);

  // "b" now lives to 60 s and "default" is gone: at 21 s nothing is due, and
  // the next expiry is "b"'s; then "c"'s, stored since.
  ASSERT_TRUE(unlock("b", "y2", TimeToLive::from_seconds(50)).ok());
  cache.lock("default");
  clock->advance(seconds(11));
  EXPECT_EQ(cache.sweep(), seconds(39));
  EXPECT_EQ(cache.stored_entries(), 1u);
  ASSERT_TRUE(unlock("c", "w", TimeToLive::from_seconds(1)).ok());
  EXPECT_EQ(cache.sweep(), seconds(1));
  cache.lock_all();
  EXPECT_EQ(cache.sweep(), NEVER_EXPIRES);
  ASSERT_TRUE(unlock("forever", "f", TimeToLive::from_seconds(UINT64_MAX)).ok());
  EXPECT_EQ(cache.sweep(), NEVER_EXPIRES) << "nothing that can ever expire";
}

// A cache that forgets on a wake when `SLEEP`, and caps every secret's life
// at `CAP` seconds unless `CAP` is 0.
template <bool SLEEP, std::uint64_t CAP>
class LimitedCacheTest : public SecretCacheTest {
 protected:
  LimitedCacheTest()
      : SecretCacheTest(CacheLimits{
            SLEEP, CAP == 0 ? std::nullopt : std::optional(TimeToLive::from_seconds(CAP))}) {}
};
using SecretCacheSleepTest = LimitedCacheTest<true, 0>;
using SecretCacheCapTest = LimitedCacheTest<false, 60>;

TEST_F(SecretCacheSleepTest, AWakeForgetsWhatCameBeforeItAtTheNextOperation) {
  ASSERT_TRUE(unlock("a", "x").ok());
  ASSERT_TRUE(unlock("b", "y").ok());
  // The clocks are read one after the other: a gap of one second is no sleep.
  clock->sleep(seconds(1));
  EXPECT_EQ(get("a"), "x");
  clock->sleep(seconds(1) + nanoseconds(1));
  EXPECT_EQ(get("b"), std::nullopt) << "the first operation after a wake hands nothing out";
  EXPECT_EQ(cache.live_profiles(), Names{});

  // What is stored after the wake lives on; every operation looks.
  ASSERT_TRUE(unlock("c", "z").ok());
  clock->advance(seconds(90));
  EXPECT_EQ(get("c"), "z");
  clock->sleep(seconds(5));
  EXPECT_EQ(cache.live_profiles(), Names{});
  ASSERT_TRUE(unlock("d", "w").ok());
  clock->sleep(seconds(5));
  cache.lock("other");
  EXPECT_EQ(get("d"), std::nullopt);

  // An unlock whose prompt outlived a sleep still stores.
  ASSERT_TRUE(unlock("old", "x").ok());
  backend.hold_calls();
  std::optional<PresenceOutcome> out;
  std::thread pending([&] { out = unlock("new", "confirmed after the wake"); });
  ASSERT_TRUE(backend.wait_for_calls(6));
  clock->sleep(std::chrono::hours(8));
  backend.finish(Ok{});
  pending.join();
  ASSERT_TRUE(out->ok());
  EXPECT_EQ(cache.live_profiles(), Names{"new"});
}

// A ttl counts only waking time, and without forget_on_sleep a wake forgets
// nothing; the cap counts sleep too, and the sweep removes what it ends.
TEST_F(SecretCacheCapTest, TheCapBeatsALongTtlCountsSleepAndIsSweptWhileAShortTtlStillApplies) {
  ASSERT_TRUE(unlock("long", "x", TimeToLive::from_seconds(3600)).ok());
  ASSERT_TRUE(unlock("default", "y").ok());
  ASSERT_TRUE(unlock("short", "z", TimeToLive::from_seconds(10)).ok());
  clock->sleep(seconds(20));
  cache.forget_if_woke();
  EXPECT_EQ(get("short"), "z");
  clock->advance(seconds(10) + nanoseconds(1));
  EXPECT_EQ(get("short"), std::nullopt);

  // 60 s on the sleep-counting clock, of which only 10 were awake.
  clock->sleep(seconds(30) - nanoseconds(1));
  EXPECT_EQ(get("long"), "x") << "live at exactly the cap";
  EXPECT_EQ(cache.live_profiles(), (Names{"default", "long"}));
  clock->sleep(nanoseconds(1));
  EXPECT_EQ(get("long"), std::nullopt);
  EXPECT_EQ(cache.live_profiles(), Names{});

  // The sweep, without any get: asleep, then awake.
  ASSERT_TRUE(unlock("long", "x", TimeToLive::from_seconds(3600)).ok());
  clock->advance(seconds(30));
  ASSERT_TRUE(unlock("later", "y", TimeToLive::from_seconds(3600)).ok());
  EXPECT_EQ(cache.sweep(), seconds(30));
  clock->sleep(seconds(30));  // the awake clock stands still
  EXPECT_EQ(cache.sweep(), seconds(0));
  EXPECT_EQ(cache.stored_entries(), 2u);
  clock->sleep(nanoseconds(1));
  EXPECT_EQ(cache.sweep(), seconds(30) - nanoseconds(1));
  EXPECT_EQ(cache.stored_entries(), 1u);
  clock->advance(seconds(30));
  EXPECT_EQ(cache.sweep(), NEVER_EXPIRES);
  EXPECT_EQ(cache.stored_entries(), 0u);
}

}  // namespace
}  // namespace tarnwel
