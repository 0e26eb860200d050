// StopOnTermination: while it lives, SIGTERM stops the agent as "shutdown"
// does: it sets the shutdown flag and wakes the accept loop, which wipes every
// secret and returns, and the agent exits with status 0. A service manager
// stops the agent it started with SIGTERM, and reads any other end as a
// failure. An agent that bound its own socket keeps the default, in which
// the signal ends the process at once.
//
// One at a time; make it on the main thread.
//
//   auto shutdown = std::make_shared<ShutdownFlag>(idle.waker());
//   const StopOnTermination stop(shutdown);
//   serve(...);
#pragma once

#include <memory>

#include "base/signal_hook.h"
#include "server/shutdown_flag.h"

namespace tarnwel {

class StopOnTermination {
 public:
  explicit StopOnTermination(std::shared_ptr<ShutdownFlag> flag);

 private:
  std::shared_ptr<ShutdownFlag> flag_;  // before the hook, which ends first
  SignalHook hook_;
};

}  // namespace tarnwel
