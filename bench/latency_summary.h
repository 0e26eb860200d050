// Order statistics of a set of latencies: the figures every load table shows.
//
//   LatencySummary s = summarise(latencies);  // nearest-rank percentiles
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

namespace tarnwel::bench {

struct LatencySummary {
  std::size_t count = 0;
  double min_ms = 0;
  double p50_ms = 0;
  double p90_ms = 0;
  double p99_ms = 0;
  double max_ms = 0;
  double mean_ms = 0;
};

// All zero for an empty set.
LatencySummary summarise(std::vector<std::chrono::nanoseconds> latencies);

}  // namespace tarnwel::bench
