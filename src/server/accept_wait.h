// AcceptWait: how the accept loop passes the time while no connection is
// pending. By default it sleeps ACCEPT_POLL_INTERVAL, and the loop sees a set
// shutdown flag, the idle limit and the cache's expiries at its next turn.
// With wake-on-connect it waits in poll() until a connection is pending on
// the listener, or a wake arrives (a request that sets the shutdown flag
// writes to the wake pipe), or the loop's next duty is due; never longer than
// LONGEST_IDLE_WAIT, so that what happens while the system sleeps, which no
// poll timeout counts, is seen within about a second of waking.
//
// Thread-safety: wait() on the accept loop's thread only; the waker from any
// thread.
//
//   Result<AcceptWait, SysError> idle = AcceptWait::on_readiness(listener.get());
//   auto shutdown = std::make_shared<ShutdownFlag>(idle.value().waker());
//   ... no connection pending: idle.value().wait(time_to_next_duty);
#pragma once

#include <chrono>
#include <memory>

#include "base/result.h"
#include "base/unix_socket.h"
#include "base/wake_pipe.h"

namespace tarnwel {

// The default loop's sleep when no connection is pending.
inline constexpr std::chrono::milliseconds ACCEPT_POLL_INTERVAL{100};
// The longest wait of the loop with wake-on-connect.
inline constexpr std::chrono::seconds LONGEST_IDLE_WAIT{1};

// What ended a wait: a pending connection, a wake, or the time (which also
// stands for a sleep, a signal or a failed poll).
enum class WaitEnd { Connection, Wake, Time };

class AcceptWait {
 public:
  // Sleeps ACCEPT_POLL_INTERVAL at every wait.
  AcceptWait() = default;
  // Waits for a connection on the non-blocking `listener`, which must outlive
  // it, or for a wake.
  static Result<AcceptWait, SysError> on_readiness(int listener);

  // Whether it waits for readiness rather than sleeping.
  bool polls() const { return pipe_ != nullptr; }
  // What wakes this wait; null when it sleeps.
  const std::shared_ptr<const WakePipe>& waker() const { return pipe_; }

  // Sleeps ACCEPT_POLL_INTERVAL, ignoring `longest`; or returns once a
  // connection is pending (when `listener` is true; else another thread
  // watches it), a wake has come (and is used up), `news` (a descriptor the
  // loop reads itself; -1: none) is readable, which counts as a wake, or
  // min(`longest`, LONGEST_IDLE_WAIT) has passed.
  WaitEnd wait(std::chrono::nanoseconds longest, bool listener = true, int news = -1) const;

 private:
  AcceptWait(int listener, std::shared_ptr<const WakePipe> pipe)
      : listener_(listener), pipe_(std::move(pipe)) {}
  int listener_ = -1;
  std::shared_ptr<const WakePipe> pipe_;
};

}  // namespace tarnwel
