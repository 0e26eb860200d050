// Waiting on a presence check's joiners, and the cache's counts, for tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <thread>

#include "secret_cache/presence_checker.h"
#include "secret_cache/secret_cache.h"
#include "support/fake_presence_backend.h"

namespace tarnwel {

// What tests ask of a PresenceChecker and a SecretCache, through the public
// seams that any caller has.
class PresenceCheckerProbe {
 public:
  static std::uint64_t joins(PresenceChecker& checker) { return checker.joins(); }
  // Whether `n` requests have joined a check within WAIT_LIMIT. Polls: joining
  // leaves no other trace, and a joined request stays joined.
  static bool wait_for_joins(PresenceChecker& checker, std::uint64_t n) {
    const auto give_up = std::chrono::steady_clock::now() + testing::WAIT_LIMIT;
    while (checker.joins() < n) {
      if (std::chrono::steady_clock::now() > give_up) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }
  static bool in_flight(PresenceChecker& checker, std::string_view profile) {
    return checker.in_flight(profile);
  }
};

class SecretCacheProbe {
 public:
  static PresenceChecker& checker(SecretCache& cache) { return cache.presence_checker(); }
  static std::size_t stored(SecretCache& cache) { return cache.stored_entries(); }
  static std::size_t generation_rows(SecretCache& cache) { return cache.profiles_unlocking(); }
};

}  // namespace tarnwel
