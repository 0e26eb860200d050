// Waiting on a presence check's joiners, and the first half of an unlock, for tests.
#pragma once

#include <cstdint>

#include "secret_cache/presence_checker.h"
#include "secret_cache/secret_cache.h"
#include "support/agent_process.h"

namespace tarnwel {

class SecretCacheProbe {
 public:
  // The first half of an unlock, its presence check left to the caller.
  static SecretCache::UnlockTicket start_unlock(SecretCache& cache, std::string_view profile) {
    return cache.start_unlock(profile);
  }
};

namespace testing {

// Whether `n` requests have joined a check within EVENT_LIMIT. Polls: joining
// leaves no other trace, and a joined request stays joined.
inline bool wait_for_joins(PresenceChecker& checker, std::uint64_t n) {
  return wait_until([&] { return checker.joins() >= n; }, EVENT_LIMIT);
}

}  // namespace testing
}  // namespace tarnwel
