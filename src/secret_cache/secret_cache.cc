#include "secret_cache/secret_cache.h"

#include <algorithm>
#include <cassert>
#include <utility>

namespace tarnwel {

SecretCache::SecretCache(TimeToLive default_ttl, std::unique_ptr<PresenceBackend> backend,
                         std::shared_ptr<const Clock> clock, CacheLimits limits)
    : default_ttl_(default_ttl),
      clock_(std::move(clock)),
      max_lifetime_(limits.max_lifetime),
      forget_on_sleep_(limits.forget_on_sleep),
      presence_(std::move(backend)) {
  if (forget_on_sleep_) {
    MutexLock lock(entries_mu_);
    sleep_watch_.emplace(*clock_);
  }
}

SecretCache::~SecretCache() = default;

PresenceOutcome SecretCache::unlock(std::string_view profile, const PresenceRequest& request,
                                    LockedSecret secret, std::optional<TimeToLive> ttl) {
  // Take the generation before prompting: a lock that lands while the user
  // decides must win, however late the check is granted.
  UnlockTicket ticket = start_unlock(profile);
  PresenceOutcome outcome = presence_.require_presence(profile, request);
  if (!outcome.ok()) return outcome;  // `secret` is wiped on the way out
  ticket.store(std::move(secret), ttl.value_or(default_ttl_));
  return Ok{};
}

SecretCache::UnlockTicket SecretCache::start_unlock(std::string_view profile) {
  MutexLock lock(generations_mu_);
  const std::uint64_t generation = begin_unlock(profile);
  return UnlockTicket(*this, std::string(profile), generation);
}

SecretCache::UnlockTicket::UnlockTicket(SecretCache& cache, std::string profile,
                                        std::uint64_t generation)
    : cache_(&cache), profile_(std::move(profile)), generation_(generation) {}

SecretCache::UnlockTicket::UnlockTicket(UnlockTicket&& other) noexcept
    : cache_(std::exchange(other.cache_, nullptr)),
      profile_(std::move(other.profile_)),
      generation_(other.generation_) {}

SecretCache::UnlockTicket::~UnlockTicket() {
  if (cache_ != nullptr) cache_->end_unlock(profile_);
}

void SecretCache::UnlockTicket::store(LockedSecret secret, TimeToLive ttl) {
  assert(cache_ != nullptr);
  cache_->store_if_current(profile_, generation_, std::move(secret), ttl);
}

std::size_t SecretCache::stored_entries() {
  MutexLock lock(entries_mu_);
  return entries_.size();
}

std::size_t SecretCache::profiles_unlocking() {
  MutexLock lock(generations_mu_);
  return generations_.map.size();
}

void SecretCache::store_if_current(std::string_view profile, std::uint64_t generation,
                                   LockedSecret secret, TimeToLive ttl) {
  std::string name(profile);
  MutexLock generations(generations_mu_);
  // Overtaken by a lock, lock_all or newer unlock: drop the secret, and still
  // report success, since the caller's request itself went through.
  const auto row = generations_.map.find(name);
  assert(row != generations_.map.end());  // held by this unlock until it ends
  if (row->second.generation != generation) return;
  MutexLock entries(entries_mu_);
  // Before the insert: a sleep that ended just now forgets what came before
  // it, not the secret that the user has confirmed since.
  wipe_if_woke();
  const Now stored_at = now();
  entries_.insert_or_assign(std::move(name), CacheEntry{std::move(secret), ttl, stored_at.awake,
                                                        stored_at.counting_sleep});
}

std::optional<LockedSecret> SecretCache::get(std::string_view profile) {
  MutexLock lock(entries_mu_);
  wipe_if_woke();
  auto it = entries_.find(std::string(profile));
  if (it == entries_.end()) return std::nullopt;
  if (expired(it->second, now())) {
    entries_.erase(it);
    return std::nullopt;
  }
  return it->second.secret.copy();
}

void SecretCache::lock(std::string_view profile) {
  MutexLock generations(generations_mu_);
  bump_generation(profile);
  MutexLock entries(entries_mu_);
  wipe_if_woke();
  entries_.erase(std::string(profile));
}

void SecretCache::lock_all() {
  MutexLock generations(generations_mu_);
  for (auto& [name, row] : generations_.map) row.generation = ++generations_.counter;
  MutexLock entries(entries_mu_);
  wipe_if_woke();  // wipes nothing more, but moves the watch on
  entries_.clear();
}

std::vector<std::string> SecretCache::live_profiles() {
  MutexLock lock(entries_mu_);
  sweep_entries();
  std::vector<std::string> names;
  names.reserve(entries_.size());
  for (const auto& [name, entry] : entries_) names.push_back(name);
  // std::string compares as unsigned bytes: "B" < "a" < "ab" < "\xC3\xA9".
  std::sort(names.begin(), names.end());
  return names;
}

std::uint64_t SecretCache::bump_generation(std::string_view profile) {
  const std::uint64_t generation = ++generations_.counter;
  const auto row = generations_.map.find(std::string(profile));
  if (row != generations_.map.end()) row->second.generation = generation;
  return generation;
}

std::uint64_t SecretCache::begin_unlock(std::string_view profile) {
  const std::uint64_t generation = ++generations_.counter;
  GenerationRow& row = generations_.map[std::string(profile)];
  row.generation = generation;
  ++row.unlocks_in_flight;
  return generation;
}

void SecretCache::end_unlock(std::string_view profile) {
  MutexLock generations(generations_mu_);
  const auto row = generations_.map.find(std::string(profile));
  assert(row != generations_.map.end() && row->second.unlocks_in_flight > 0);
  if (--row->second.unlocks_in_flight == 0) generations_.map.erase(row);
}

void SecretCache::forget_if_woke() {
  if (!forget_on_sleep_) return;  // the accept loop calls this often: take no lock
  MutexLock lock(entries_mu_);
  wipe_if_woke();
}

void SecretCache::wipe_if_woke() {
  if (!sleep_watch_.has_value() || !sleep_watch_->slept_since_last_look(*clock_)) return;
  // Only what is stored goes: an unlock whose prompt outlived the sleep was
  // confirmed by someone at the machine after it, and still stores.
  entries_.clear();
}

std::chrono::nanoseconds SecretCache::sweep() {
  MutexLock lock(entries_mu_);
  return sweep_entries();
}

std::chrono::nanoseconds SecretCache::sweep_entries() {
  wipe_if_woke();
  const Now at = now();
  std::chrono::nanoseconds next = NEVER_EXPIRES;
  std::erase_if(entries_, [&](const auto& named) {
    if (expired(named.second, at)) return true;  // erasing wipes it
    next = std::min(next, time_left(named.second, at));
    return false;
  });
  return next;
}

SecretCache::Now SecretCache::now() const {
  // Without a cap the sleep-counting clock is never read.
  return Now{clock_->now(), max_lifetime_ ? clock_->now_counting_sleep() : SleepCountingInstant{}};
}

bool SecretCache::expired(const CacheEntry& entry, const Now& now) const {
  if (entry.ttl.exceeded_by(now.awake - entry.stored_at)) return true;
  return max_lifetime_.has_value() &&
         max_lifetime_->exceeded_by(now.counting_sleep - entry.stored_at_counting_sleep);
}

std::chrono::nanoseconds SecretCache::time_left(const CacheEntry& entry, const Now& now) const {
  const std::chrono::nanoseconds left = entry.ttl.left_after(now.awake - entry.stored_at);
  if (!max_lifetime_) return left;
  return std::min(left,
                  max_lifetime_->left_after(now.counting_sleep - entry.stored_at_counting_sleep));
}

}  // namespace tarnwel
