// FakeClock: a Clock that moves only when a test says so, for expiry at exact
// boundaries without waiting. advance() is waking time, which both of its
// clocks count; sleep() is the system asleep, which only the sleep-counting
// one counts. Thread-safe.
//
//   auto clock = std::make_shared<FakeClock>();
//   SecretCache cache(ttl, std::move(backend), clock);
//   clock->advance(std::chrono::seconds(60));
//   clock->sleep(std::chrono::hours(8));
#pragma once

#include <chrono>

#include "base/clock.h"
#include "base/mutex.h"

namespace tarnwel::testing {

class FakeClock final : public Clock {
 public:
  Instant now() const override {
    MutexLock lock(mu_);
    return now_;
  }
  void set(Instant instant) {
    MutexLock lock(mu_);
    now_ = instant;
  }
  void advance(std::chrono::nanoseconds by) {
    MutexLock lock(mu_);
    now_ += by;
    counting_now_ += by;
  }
  SleepCountingInstant now_counting_sleep() const override {
    MutexLock lock(mu_);
    return counting_now_;
  }
  void sleep(std::chrono::nanoseconds by) {
    MutexLock lock(mu_);
    counting_now_ += by;
  }

 private:
  mutable Mutex mu_;
  Instant now_ TARNWEL_GUARDED_BY(mu_){};
  SleepCountingInstant counting_now_ TARNWEL_GUARDED_BY(mu_){};
};

}  // namespace tarnwel::testing
