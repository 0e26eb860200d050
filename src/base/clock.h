// The one clock of the agent: monotonic, and stopped while the system sleeps,
// so that time-to-live, idle limit and every deadline count waking time only
// (CLOCK_UPTIME_RAW on macOS, CLOCK_MONOTONIC on Linux).
//
// MonotonicClock is a std::chrono clock, usable with condition variables.
// Code that must be testable without waiting takes a `Clock` instead, the seam
// where tests put a FakeClock.
//
//   std::shared_ptr<const Clock> clock = monotonic_clock();
//   auto deadline = clock->now() + std::chrono::seconds(5);
#pragma once

#include <chrono>
#include <memory>

namespace tarnwel {

struct MonotonicClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<MonotonicClock>;
  static constexpr bool is_steady = true;

  static time_point now() noexcept;
};

using Instant = MonotonicClock::time_point;

class Clock {
 public:
  virtual ~Clock() = default;
  virtual Instant now() const = 0;
};

// The process-wide real clock (reads MonotonicClock).
std::shared_ptr<const Clock> monotonic_clock();

}  // namespace tarnwel
