// The agent's cache, wired to the platform. Kept in a file of its own so that
// a program that builds its cache from parts (the tests) links no platform
// backend.
#include "secret_cache/secret_cache.h"

namespace tarnwel {

SecretCache::SecretCache(TimeToLive default_ttl)
    : SecretCache(default_ttl, make_platform_backend(), monotonic_clock()) {}

}  // namespace tarnwel
