// The scenarios of one load run: which servers are started, which requests at
// which client counts they are driven with, and in what order. `measure`
// runs them all and returns the run's record, every figure of which was
// measured in this run.
//
//   std::optional<Json> run = measure(options);
//   if (run) std::cout << run->dump(2) << '\n';
#pragma once

#include <chrono>
#include <optional>

#include "load_driver.h"
#include "protocol/json.h"

namespace tarnwel::bench {

inline constexpr int CLIENT_COUNTS[] = {1, 8, 64};
// Rounds of every closed-loop row, interleaved across the servers, so that a
// change of load on a shared machine falls on all of them alike.
inline constexpr int ROUNDS = 2;
inline constexpr int PROFILE_STEPS[] = {1, 1'000, 10'000};
inline constexpr std::chrono::seconds IDLE_WINDOW{10};
// How long after the last burst the agents' threads are counted.
inline constexpr std::chrono::seconds AFTER_BURST{5};

// Nothing when a server does not start (said on stderr).
std::optional<Json> measure(const Options& options);

}  // namespace tarnwel::bench
