// FakeClock: a Clock that moves only when a test says so, for expiry at exact
// boundaries without waiting. Thread-safe.
//
//   auto clock = std::make_shared<FakeClock>();
//   SecretCache cache(ttl, std::move(backend), clock);
//   clock->advance(std::chrono::seconds(60));
#pragma once

#include <chrono>

#include "base/clock.h"
#include "base/mutex.h"

namespace tarnwel::testing {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(Instant start = Instant{}) : now_(start) {}

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
  }

 private:
  mutable Mutex mu_;
  Instant now_ GUARDED_BY(mu_);
};

}  // namespace tarnwel::testing
