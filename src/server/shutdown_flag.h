// ShutdownFlag: set once by a request that stops the agent ("shutdown", or a
// protocol mismatch), read by the accept loop. Never reset. Thread-safe.
//
// A loop that waits for readiness (wake-on-connect) gives the flag its waker:
// the connection that set the flag wakes the loop once its reply is out, so
// that the agent stops at once without cutting that reply short.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include "base/wake_pipe.h"

namespace tarnwel {

class ShutdownFlag {
 public:
  ShutdownFlag() = default;
  explicit ShutdownFlag(std::shared_ptr<const WakePipe> waker) : waker_(std::move(waker)) {}

  void set() { set_.store(true, std::memory_order_seq_cst); }
  bool is_set() const { return set_.load(std::memory_order_acquire); }
  // Ends the accept loop's wait, if it waits for readiness.
  void wake_loop() const {
    if (waker_ != nullptr) waker_->wake();
  }

 private:
  std::atomic<bool> set_{false};
  const std::shared_ptr<const WakePipe> waker_;
};

}  // namespace tarnwel
