// SleepWatch: notices that the system has slept, with no thread and no
// subscription of its own. The gap between a clock that counts sleep and one
// that does not grows only while the system sleeps; each look compares it with
// the gap at the previous look.
//
// Thread-safety: none; its owner serialises the looks.
//
//   SleepWatch watch(clock);
//   if (watch.slept_since_last_look(clock)) forget_everything();
#pragma once

#include <chrono>

#include "base/clock.h"

namespace tarnwel {

class SleepWatch {
 public:
  // The gap may grow by this much between two looks without counting as a
  // sleep: the two clocks are read one after the other, never at once.
  static constexpr std::chrono::seconds TOLERANCE{1};

  explicit SleepWatch(const Clock& clock) : gap_(gap(clock)) {}

  // Whether the gap has grown by more than TOLERANCE since the last look (or
  // since construction).
  bool slept_since_last_look(const Clock& clock) {
    const std::chrono::nanoseconds now = gap(clock);
    const bool slept = now - gap_ > TOLERANCE;
    gap_ = now;
    return slept;
  }

 private:
  static std::chrono::nanoseconds gap(const Clock& clock) {
    const auto awake = clock.now().time_since_epoch();
    return clock.now_counting_sleep().time_since_epoch() - awake;
  }

  std::chrono::nanoseconds gap_;
};

}  // namespace tarnwel
