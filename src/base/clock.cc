#include "base/clock.h"

#include <time.h>

namespace tarnwel {

MonotonicClock::time_point MonotonicClock::now() noexcept {
#if defined(__APPLE__)
  constexpr clockid_t kClock = CLOCK_UPTIME_RAW;
#else
  constexpr clockid_t kClock = CLOCK_MONOTONIC;
#endif
  timespec ts{};
  ::clock_gettime(kClock, &ts);  // cannot fail for a supported clock id
  return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
}

SleepCountingClock::time_point SleepCountingClock::now() noexcept {
#if defined(__APPLE__)
  constexpr clockid_t kClock = CLOCK_MONOTONIC;  // unlike CLOCK_UPTIME_RAW, counts sleep
#else
  constexpr clockid_t kClock = CLOCK_BOOTTIME;
#endif
  timespec ts{};
  ::clock_gettime(kClock, &ts);  // cannot fail for a supported clock id
  return time_point(std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec));
}

namespace {
class RealClock final : public Clock {
 public:
  Instant now() const override { return MonotonicClock::now(); }
  SleepCountingInstant now_counting_sleep() const override { return SleepCountingClock::now(); }
};
}  // namespace

std::shared_ptr<const Clock> monotonic_clock() {
  static const std::shared_ptr<const Clock> clock = std::make_shared<RealClock>();
  return clock;
}

}  // namespace tarnwel
