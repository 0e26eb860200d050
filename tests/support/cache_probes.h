// Waiting on a presence check's joiners, and the cache's counts, for tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <thread>

#include "secret_cache/presence_checker.h"
#include "secret_cache/secret_cache.h"
#include "support/fake_presence_backend.h"

namespace tarnwel {

class SecretCacheProbe {
 public:
  static std::size_t stored(SecretCache& cache) { return cache.stored_entries(); }
};

namespace testing {

// Whether `n` requests have joined a check within WAIT_LIMIT. Polls: joining
// leaves no other trace, and a joined request stays joined.
inline bool wait_for_joins(PresenceChecker& checker, std::uint64_t n) {
  const auto give_up = std::chrono::steady_clock::now() + WAIT_LIMIT;
  while (checker.joins() < n) {
    if (std::chrono::steady_clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace testing
}  // namespace tarnwel
