// The price of a LockedSecret: a slot of the locked arena taken and, on the
// way out, wiped and given back; a secret beyond the largest slot pays for a
// mapping of its own (mmap, mlock, munmap). Every "get_secret" pays it once
// for its copy.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "base/secure_wipe.h"
#include "secret_cache/locked_secret.h"

namespace tarnwel::bench {
namespace {

void BM_locked_secret_create_destroy(benchmark::State& state) {
  const std::string bytes(static_cast<std::size_t>(state.range(0)), 's');
  for (auto _ : state) {
    LockedSecret secret(bytes);
    benchmark::DoNotOptimize(secret.bytes().data());
  }
}
BENCHMARK(BM_locked_secret_create_destroy)->Arg(0)->Arg(33)->Arg(4097)->Arg(100000);

// For scale: the same bytes in an ordinary heap buffer, wiped before it is
// freed, with no pages of its own and no memory lock.
void BM_heap_buffer_create_wipe(benchmark::State& state) {
  const std::string bytes(static_cast<std::size_t>(state.range(0)), 's');
  for (auto _ : state) {
    std::vector<char> buffer(bytes.begin(), bytes.end());
    benchmark::DoNotOptimize(buffer.data());
    secure_wipe(buffer.data(), buffer.size());
  }
}
BENCHMARK(BM_heap_buffer_create_wipe)->Arg(33);

}  // namespace
}  // namespace tarnwel::bench
