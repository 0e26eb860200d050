#include "base/clock.h"

#include <time.h>

namespace tarnwel {

std::chrono::nanoseconds read_system_clock(ClockKind kind) noexcept {
#if defined(__APPLE__)
  // Unlike CLOCK_UPTIME_RAW, CLOCK_MONOTONIC counts sleep there.
  const clockid_t id = kind == ClockKind::Waking ? CLOCK_UPTIME_RAW : CLOCK_MONOTONIC;
#else
  const clockid_t id = kind == ClockKind::Waking ? CLOCK_MONOTONIC : CLOCK_BOOTTIME;
#endif
  timespec ts{};
  ::clock_gettime(id, &ts);  // cannot fail for a supported clock id
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
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
