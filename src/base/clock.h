// The one clock of the agent: monotonic, and stopped while the system sleeps,
// so that time-to-live, idle limit and every deadline count waking time only
// (CLOCK_UPTIME_RAW on macOS, CLOCK_MONOTONIC on Linux).
//
// MonotonicClock is a std::chrono clock, usable with condition variables.
// Code that must be testable without waiting takes a `Clock` instead, the seam
// where tests put a FakeClock.
//
// SleepCountingClock is its twin that goes on counting while the system sleeps
// (CLOCK_BOOTTIME on Linux, CLOCK_MONOTONIC on macOS). Only what must notice a
// sleep, or limit a lifetime in time as the user lives it, reads it.
//
//   std::shared_ptr<const Clock> clock = monotonic_clock();
//   auto deadline = clock->now() + std::chrono::seconds(5);
#pragma once

#include <chrono>
#include <memory>

namespace tarnwel {

// Which of the system's clocks a SystemClock reads.
enum class ClockKind { Waking, CountingSleep };

// The time on the system clock of `kind`, since its own epoch.
std::chrono::nanoseconds read_system_clock(ClockKind kind) noexcept;

template <ClockKind KIND>
struct SystemClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<SystemClock>;
  static constexpr bool is_steady = true;

  static time_point now() noexcept { return time_point(read_system_clock(KIND)); }
};

using MonotonicClock = SystemClock<ClockKind::Waking>;
using Instant = MonotonicClock::time_point;
using SleepCountingClock = SystemClock<ClockKind::CountingSleep>;
using SleepCountingInstant = SleepCountingClock::time_point;

class Clock {
 public:
  virtual ~Clock() = default;
  // Stopped while the system sleeps: every deadline and age.
  virtual Instant now() const = 0;
  // Counting the time asleep too.
  virtual SleepCountingInstant now_counting_sleep() const = 0;
};

// The process-wide real clock (reads MonotonicClock and SleepCountingClock).
std::shared_ptr<const Clock> monotonic_clock();

}  // namespace tarnwel
