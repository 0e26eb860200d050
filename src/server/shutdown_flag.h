// ShutdownFlag: set once by a request that stops the agent ("shutdown", or a
// protocol mismatch), read by the accept loop. Never reset. Thread-safe.
#pragma once

#include <atomic>

namespace tarnwel {

class ShutdownFlag {
 public:
  void set() { set_.store(true, std::memory_order_seq_cst); }
  bool is_set() const { return set_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> set_{false};
};

}  // namespace tarnwel
