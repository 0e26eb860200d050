#include "latency_summary.h"

#include <algorithm>
#include <cmath>

namespace tarnwel::bench {
namespace {

double to_ms(std::chrono::nanoseconds d) { return static_cast<double>(d.count()) / 1e6; }

// Nearest rank: the smallest sample with at least `fraction` of all samples at
// or below it, so a percentile is always a latency that was measured.
std::chrono::nanoseconds percentile(const std::vector<std::chrono::nanoseconds>& sorted,
                                    double fraction) {
  const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

}  // namespace

LatencySummary summarise(std::vector<std::chrono::nanoseconds> latencies) {
  if (latencies.empty()) return {};
  std::sort(latencies.begin(), latencies.end());
  std::chrono::nanoseconds total{0};
  for (const auto l : latencies) total += l;
  return LatencySummary{
      .count = latencies.size(),
      .min_ms = to_ms(latencies.front()),
      .p50_ms = to_ms(percentile(latencies, 0.50)),
      .p90_ms = to_ms(percentile(latencies, 0.90)),
      .p99_ms = to_ms(percentile(latencies, 0.99)),
      .max_ms = to_ms(latencies.back()),
      .mean_ms = to_ms(total) / static_cast<double>(latencies.size()),
  };
}

}  // namespace tarnwel::bench
