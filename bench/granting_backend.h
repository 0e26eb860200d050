// A presence backend that grants every check at once, so that benchmarks of
// the cache measure the cache and not a prompt.
#pragma once

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "presence/presence_backend.h"
#include "secret_cache/secret_cache.h"

namespace tarnwel::bench {

class GrantingBackend final : public PresenceBackend {
 public:
  PresenceOutcome evaluate(const PresenceRequest&) override { return Ok{}; }
};

inline constexpr std::string_view BENCH_SECRET = "correct-horse-battery-staple-0042";  // 33 bytes

inline std::unique_ptr<SecretCache> make_granting_cache() {
  return std::make_unique<SecretCache>(DEFAULT_TTL, std::make_unique<GrantingBackend>(),
                                       monotonic_clock());
}

// "profile-00000" ... in the cache, each with BENCH_SECRET.
inline void fill_profiles(SecretCache& cache, int count) {
  for (int i = 0; i < count; ++i) {
    std::string name = std::to_string(i);
    name = "profile-" + std::string(5 - std::min<std::size_t>(5, name.size()), '0') + name;
    (void)cache.unlock(name, {"benchmark"}, LockedSecret(BENCH_SECRET), std::nullopt);
  }
}

}  // namespace tarnwel::bench
