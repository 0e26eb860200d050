// SecretCache: the agent's one store of secrets, one per profile name, each
// with its own time-to-live. A secret enters only after the presence check of
// its "unlock" is granted; a "lock" or newer "unlock" that lands while that
// check is on screen keeps the older secret out (generation numbers).
//
// Expired secrets go when an operation meets them, and when the owner of the
// cache sweeps: sweep() removes and wipes every entry whose ttl or cap has
// passed, so that no secret outlives its time in memory either, and says how
// long until the next expiry, so that the owner knows when to sweep again.
//
// Two limits are optional (CacheLimits, both off by default): forgetting every
// secret once the system has slept, noticed at the next operation or the next
// forget_if_woke(); and a cap on any secret's life counted on the clock that
// goes on while the system sleeps.
//
// Thread-safety: every operation may be called from any thread at any time.
// Lock order: generations_mu_, then entries_mu_; neither is held while the
// user is prompted, so get/lock/live_profiles go on during a prompt.
//
//   auto cache = std::make_shared<SecretCache>(DEFAULT_TTL, make_platform_backend(),
//                                              monotonic_clock());
//   PresenceOutcome r = cache->unlock("work", {"deploy"}, LockedSecret(bytes), std::nullopt);
//   std::optional<LockedSecret> copy = cache->get("work");
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/clock.h"
#include "base/mutex.h"
#include "base/sleep_watch.h"
#include "presence/presence_backend.h"
#include "secret_cache/locked_secret.h"
#include "secret_cache/presence_checker.h"
#include "secret_cache/time_to_live.h"

namespace tarnwel {

struct CacheLimits {
  // Forget every cached secret once the system has slept.
  bool forget_on_sleep = false;
  // No secret lives longer than this on the sleep-counting clock, whatever
  // its own ttl (which still applies as well).
  std::optional<TimeToLive> max_lifetime;
};

class SecretCache {
 public:
  // The agent passes the platform's presence backend and the monotonic clock;
  // tests and tools, a backend and a clock of their choosing.
  SecretCache(TimeToLive default_ttl, std::unique_ptr<PresenceBackend> backend,
              std::shared_ptr<const Clock> clock, CacheLimits limits = {});
  ~SecretCache();

  SecretCache(const SecretCache&) = delete;
  SecretCache& operator=(const SecretCache&) = delete;

  // Confirms presence with `request` (its reason, and its requester when
  // given), then stores `secret` for `profile` with `ttl` (default_ttl when
  // absent). Blocks for the length of the check. Success also when a later
  // lock/unlock of the profile overtook this one while the check ran; the
  // secret is then dropped (wiped).
  PresenceOutcome unlock(std::string_view profile, const PresenceRequest& request,
                         LockedSecret secret, std::optional<TimeToLive> ttl);

  // A fresh copy of the live secret of `profile`; none when absent or expired
  // (an expired entry is removed on the way). Never extends a secret's life.
  std::optional<LockedSecret> get(std::string_view profile);

  // Forgets the secret of `profile`, and voids unlocks of it in progress.
  void lock(std::string_view profile);

  // Forgets every secret, and voids every unlock in progress.
  void lock_all();

  // Names of the profiles with a live secret in ascending byte order; expired
  // entries are purged on the way.
  std::vector<std::string> live_profiles();

  // With forget_on_sleep: wipes every secret if the system has slept since
  // the last look. For a caller that looks without any request (the accept
  // loop); every operation above looks by itself.
  void forget_if_woke();

  // Removes (wipes) every entry that has expired, by its ttl or by the cap,
  // and returns how long from now the next of the others stays live: zero
  // when one is at its last live instant; NEVER_EXPIRES when none can expire
  // within what a duration holds. It takes the entries' lock over a pass
  // through all of them: for a caller that looks without any request (the
  // accept loop), at a pace of its own.
  std::chrono::nanoseconds sweep();

  // For monitoring and tests. How many entries are stored, expired or not,
  // without any look for a sleep; how many profiles have an unlock between
  // its two halves; the presence checks.
  std::size_t stored_entries();
  std::size_t profiles_unlocking();
  PresenceChecker& presence_checker() { return presence_; }

 private:
  // Tests reach the two halves of an unlock through SecretCacheProbe.
  friend class SecretCacheProbe;

  // The two halves of an unlock: unlock() is start_unlock, the presence
  // check, then store() on the ticket. The ticket takes the profile's
  // generation when it is made, so that a lock, lock_all or newer unlock of
  // the profile that lands before store() wins; it must not outlive the cache.
  class UnlockTicket {
   public:
    UnlockTicket(UnlockTicket&& other) noexcept;
    UnlockTicket& operator=(UnlockTicket&&) = delete;
    ~UnlockTicket();

    // Stores `secret` with `ttl` unless the ticket has been overtaken; the
    // secret is then dropped (wiped). At most once per ticket.
    void store(LockedSecret secret, TimeToLive ttl);

   private:
    friend class SecretCache;
    UnlockTicket(SecretCache& cache, std::string profile, std::uint64_t generation);
    SecretCache* cache_;
    std::string profile_;
    std::uint64_t generation_;
  };
  UnlockTicket start_unlock(std::string_view profile);

  struct CacheEntry {
    LockedSecret secret;
    TimeToLive ttl;
    Instant stored_at;
    SleepCountingInstant stored_at_counting_sleep;  // read only with max_lifetime
  };
  // The clock readings that expiry compares with.
  struct Now {
    Instant awake;
    SleepCountingInstant counting_sleep;
  };
  // A profile has a row only while an unlock of it is between its two halves:
  // nothing else needs its generation, and a row per name ever seen would
  // grow without bound. `counter` is shared and only ever goes up.
  struct GenerationRow {
    std::uint64_t generation = 0;
    std::size_t unlocks_in_flight = 0;
  };
  struct GenerationTable {
    std::unordered_map<std::string, GenerationRow> map;
    std::uint64_t counter = 0;
  };

  // Takes a new generation; a profile with an unlock in flight gets it as its own.
  std::uint64_t bump_generation(std::string_view profile) TARNWEL_REQUIRES(generations_mu_);
  // A new generation for an unlock of `profile`, whose row is held until the
  // matching end_unlock.
  std::uint64_t begin_unlock(std::string_view profile) TARNWEL_REQUIRES(generations_mu_);
  void end_unlock(std::string_view profile);
  // The second half of unlock: stores `secret` unless the profile's generation
  // has moved on from `generation`.
  void store_if_current(std::string_view profile, std::uint64_t generation, LockedSecret secret,
                        TimeToLive ttl);
  bool expired(const CacheEntry& entry, const Now& now) const;
  // How long from `now` the live `entry` stays live.
  std::chrono::nanoseconds time_left(const CacheEntry& entry, const Now& now) const;
  Now now() const;
  void wipe_if_woke() TARNWEL_REQUIRES(entries_mu_);
  // sweep(), with the lock held.
  std::chrono::nanoseconds sweep_entries() TARNWEL_REQUIRES(entries_mu_);

  const TimeToLive default_ttl_;
  const std::shared_ptr<const Clock> clock_;
  const std::optional<TimeToLive> max_lifetime_;
  const bool forget_on_sleep_;

  Mutex generations_mu_ TARNWEL_ACQUIRED_BEFORE(entries_mu_);
  GenerationTable generations_ TARNWEL_GUARDED_BY(generations_mu_);
  Mutex entries_mu_;
  std::unordered_map<std::string, CacheEntry> entries_ TARNWEL_GUARDED_BY(entries_mu_);
  // Only with forget_on_sleep.
  std::optional<SleepWatch> sleep_watch_ TARNWEL_GUARDED_BY(entries_mu_);

  PresenceChecker presence_;
};

}  // namespace tarnwel
