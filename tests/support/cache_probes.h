// Friends of PresenceChecker and SecretCache that let tests see what the
// public API cannot show without racing: whether a request has joined a
// running check, whether a profile has a check in flight, and the two halves
// of an unlock taken apart (generation taken, then store after a granted check).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

#include "base/mutex.h"
#include "secret_cache/locked_secret.h"
#include "secret_cache/presence_checker.h"
#include "secret_cache/secret_cache.h"
#include "support/fake_presence_backend.h"

namespace tarnwel {

class PresenceCheckerProbe {
 public:
  static std::uint64_t joins(PresenceChecker& checker) {
    MutexLock lock(checker.in_flight_mu_);
    return checker.joins_;
  }
  // Whether `n` requests have joined a check within WAIT_LIMIT. Polls: joining
  // leaves no other trace, and a joined request stays joined.
  static bool wait_for_joins(PresenceChecker& checker, std::uint64_t n) {
    const auto give_up = std::chrono::steady_clock::now() + testing::WAIT_LIMIT;
    while (joins(checker) < n) {
      if (std::chrono::steady_clock::now() > give_up) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  static bool in_flight(PresenceChecker& checker, std::string_view profile) {
    MutexLock lock(checker.in_flight_mu_);
    return checker.in_flight_.contains(std::string(profile));
  }
};

class SecretCacheProbe {
 public:
  static PresenceChecker& checker(SecretCache& cache) { return cache.presence_; }
  // The first half of an unlock, up to its presence check.
  static std::uint64_t take_generation(SecretCache& cache, std::string_view profile) {
    MutexLock lock(cache.generations_mu_);
    return cache.begin_unlock(profile);
  }
  // How many entries are stored, expired or not, without any operation's
  // look for a sleep.
  static std::size_t stored(SecretCache& cache) {
    MutexLock lock(cache.entries_mu_);
    return cache.entries_.size();
  }
  // The second half, as after a granted check, and the end of that unlock.
  static void store_if_current(SecretCache& cache, std::string_view profile,
                               std::uint64_t generation, LockedSecret secret) {
    cache.store_if_current(profile, generation, std::move(secret), cache.default_ttl_);
    cache.end_unlock(profile);
  }
  // Profiles that the generation table holds a row for.
  static std::size_t generation_rows(SecretCache& cache) {
    MutexLock lock(cache.generations_mu_);
    return cache.generations_.map.size();
  }
};

}  // namespace tarnwel
