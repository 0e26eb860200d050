// SignalHook: while it lives, each signal it names runs one action in place of
// the signal's disposition before, which its end puts back. The action runs
// in the signal handler, so it may do only what is async-signal-safe (a
// lock-free store, WakePipe::wake); it may change errno, which the handler
// keeps for the code it interrupted. It is never run once the hook has gone.
//
// One hook in the process at a time; make and end it on one thread.
//
//   const SignalHook hook({SIGTERM}, SA_RESTART, wake_it, &pipe);
#pragma once

#include <signal.h>

#include <initializer_list>
#include <utility>
#include <vector>

namespace tarnwel {

class SignalHook {
 public:
  using Action = void (*)(void* context);

  // `flags` are sigaction's (SA_RESTART, say); `action` is given `context`.
  SignalHook(std::initializer_list<int> signals, int flags, Action action, void* context);
  ~SignalHook();
  SignalHook(const SignalHook&) = delete;
  SignalHook& operator=(const SignalHook&) = delete;

  struct Target {
    Action action;
    void* context;
  };

 private:
  const Target target_;
  std::vector<std::pair<int, struct sigaction>> before_;
};

}  // namespace tarnwel
