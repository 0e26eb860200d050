#include "secret_cache/secret_cache.h"

#include <algorithm>
#include <cassert>
#include <utility>

#include "base/scope_guard.h"

namespace tarnwel {

SecretCache::SecretCache(TimeToLive default_ttl, std::unique_ptr<PresenceBackend> backend,
                         std::shared_ptr<const Clock> clock)
    : default_ttl_(default_ttl), clock_(std::move(clock)), presence_(std::move(backend)) {}

SecretCache::~SecretCache() = default;

PresenceOutcome SecretCache::unlock(std::string_view profile, std::string_view reason,
                                    LockedSecret secret, std::optional<TimeToLive> ttl) {
  // Take the generation before prompting: a lock that lands while the user
  // decides must win, however late the check is granted.
  std::uint64_t generation = 0;
  {
    MutexLock lock(generations_mu_);
    generation = begin_unlock(profile);
  }
  const ScopeGuard release_row = [&] { end_unlock(profile); };
  PresenceOutcome outcome = presence_.require_presence(profile, reason);
  if (!outcome.ok()) return outcome;  // `secret` is wiped on the way out
  store_if_current(profile, generation, std::move(secret), ttl.value_or(default_ttl_));
  return Ok{};
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
  entries_.insert_or_assign(std::move(name), CacheEntry{std::move(secret), ttl, clock_->now()});
}

std::optional<LockedSecret> SecretCache::get(std::string_view profile) {
  MutexLock lock(entries_mu_);
  auto it = entries_.find(std::string(profile));
  if (it == entries_.end()) return std::nullopt;
  if (expired(it->second, clock_->now())) {
    entries_.erase(it);
    return std::nullopt;
  }
  return it->second.secret.copy();
}

void SecretCache::lock(std::string_view profile) {
  MutexLock generations(generations_mu_);
  bump_generation(profile);
  MutexLock entries(entries_mu_);
  entries_.erase(std::string(profile));
}

void SecretCache::lock_all() {
  MutexLock generations(generations_mu_);
  for (auto& [name, row] : generations_.map) row.generation = ++generations_.counter;
  MutexLock entries(entries_mu_);
  entries_.clear();
}

std::vector<std::string> SecretCache::live_profiles() {
  MutexLock lock(entries_mu_);
  const Instant now = clock_->now();
  std::erase_if(entries_, [&](const auto& named) { return expired(named.second, now); });
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

bool SecretCache::expired(const CacheEntry& entry, Instant now) const {
  return entry.ttl.exceeded_by(now - entry.stored_at);
}

}  // namespace tarnwel
