#include "server/stop_on_termination.h"

#include <signal.h>

namespace tarnwel {
namespace {

// Both calls are async-signal-safe: a lock-free store and a write to the
// wake pipe.
void stop(void* context) {
  ShutdownFlag& flag = *static_cast<ShutdownFlag*>(context);
  flag.set();
  flag.wake_loop();
}

}  // namespace

StopOnTermination::StopOnTermination(std::shared_ptr<ShutdownFlag> flag)
    : flag_(std::move(flag)), hook_({SIGTERM}, SA_RESTART, stop, flag_.get()) {}

}  // namespace tarnwel
