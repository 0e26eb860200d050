// The scenarios of one load run: which servers are started, which requests at
// which client counts they are driven with, and in what order. `measure`
// runs them all and returns every figure the report is written from; nothing
// in it is a figure that was not measured in this run.
//
//   std::optional<Measurements> m = measure(options);
//   if (m) std::cout << performance_document(options, *m);
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "load_driver.h"
#include "load_report.h"
#include "process_stats.h"

namespace tarnwel::bench {

inline constexpr int CLIENT_COUNTS[] = {1, 8, 64};
inline constexpr int BURST_CLIENTS = 64;
// Rounds of the burst, interleaved across the servers.
inline constexpr int BURST_ROUNDS = 2;
inline constexpr int PROFILE_STEPS[] = {1, 1'000, 10'000};
inline constexpr int SPORADIC_REQUESTS = 20;
inline constexpr std::chrono::seconds IDLE_CPU_WINDOW{10};
inline constexpr const char* STACK_CACHE_TUNABLE =
    "GLIBC_TUNABLES=glibc.pthread.stack_cache_size=0x20000000";

// One result of the micro-benchmarks' JSON output, times in nanoseconds.
struct MicroResult {
  std::string name;
  double real_ns = 0;
  double cpu_ns = 0;
  std::uint64_t iterations = 0;
  std::map<std::string, double> counters;
};

// The agent with `profiles` secrets cached, and how filling it went.
struct CacheStep {
  int profiles;
  ProcessSnapshot snap;
  double seconds;
  std::size_t failed;
  std::string failure_sample;
};

struct Measurements {
  // Closed-loop load: the blocking reference, the agent and the same-loop
  // reference (`rows`, which holds `poll_rows` too), the other accept loops,
  // each round of the burst alone, and the agent with a larger stack cache.
  std::vector<ScenarioFigures> reference_rows, rows, poll_rows, alternative_rows, round_rows,
      stack_cache_rows;
  std::vector<Recovery> recoveries;  // after each 64-client burst
  // One sporadic client: the reference; then agent, poll, backoff, timeout.
  std::vector<ScenarioFigures> sporadic_reference, sporadic_rows;
  // Requests on connections already accepted.
  std::vector<ScenarioFigures> handling_reference, handling_rows;
  std::vector<ScenarioFigures> unlock_rows;
  // The cache as it grows, and "status" with all of it.
  std::vector<CacheStep> steps;
  std::size_t mlock_warnings = 0;
  bool many_as_ordinary_user = false;
  std::vector<ScenarioFigures> status_rows;
  // Idle figures.
  ProcessSnapshot idle, after_load, reference_idle;
  std::vector<MappingRss> idle_mappings;
  CpuUse cpu_before, cpu_after, poll_cpu_before, poll_cpu_after;
  std::optional<ProcessSnapshot> ssh_agent;
  std::vector<std::pair<std::string, ProcessSnapshot>> variants;
  std::vector<MicroResult> micro;
};

// Runs every scenario; nothing when a server does not start (said on stderr).
std::optional<Measurements> measure(const Options& options);

}  // namespace tarnwel::bench
