// SecretCache::get from several threads at once, all after the same profile:
// the copy (a new LockedSecret, with its system calls) is made under the
// entries lock, so the threads queue for it.
#include <benchmark/benchmark.h>

#include <memory>

#include "granting_backend.h"

namespace tarnwel::bench {
namespace {

SecretCache& shared_cache() {
  static const std::unique_ptr<SecretCache> cache = [] {
    auto c = make_granting_cache();
    fill_profiles(*c, 1);
    return c;
  }();
  return *cache;
}

void BM_secret_cache_get(benchmark::State& state) {
  SecretCache& cache = shared_cache();
  for (auto _ : state) {
    std::optional<LockedSecret> copy = cache.get("profile-00000");
    benchmark::DoNotOptimize(copy);
  }
  // Summed over the threads: the cache's throughput, where the time per
  // iteration alone would hide whether threads run side by side or queue.
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_secret_cache_get)->ThreadRange(1, 8)->UseRealTime();

void BM_secret_cache_live_profiles(benchmark::State& state) {
  auto cache = make_granting_cache();
  fill_profiles(*cache, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::vector<std::string> names = cache->live_profiles();
    benchmark::DoNotOptimize(names.data());
  }
}
BENCHMARK(BM_secret_cache_live_profiles)->Arg(1)->Arg(10'000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tarnwel::bench
