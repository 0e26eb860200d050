#include "server/stop_on_termination.h"

#include <errno.h>

#include <atomic>

namespace tarnwel {
namespace {

// The flag the handler sets. A signal handler can reach nothing else; the
// flag outlives the handler's installation, and both calls on it are
// async-signal-safe (a lock-free store and a write to the wake pipe).
std::atomic<ShutdownFlag*> stopping{nullptr};
static_assert(std::atomic<ShutdownFlag*>::is_always_lock_free);

extern "C" void on_termination(int) {
  const int saved = errno;
  if (ShutdownFlag* flag = stopping.load()) {
    flag->set();
    flag->wake_loop();
  }
  errno = saved;
}

}  // namespace

StopOnTermination::StopOnTermination(std::shared_ptr<ShutdownFlag> flag) : flag_(std::move(flag)) {
  stopping.store(flag_.get());
  struct sigaction action {};
  action.sa_handler = on_termination;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, &before_);
}

StopOnTermination::~StopOnTermination() {
  ::sigaction(SIGTERM, &before_, nullptr);
  stopping.store(nullptr);
}

}  // namespace tarnwel
