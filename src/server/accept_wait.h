// AcceptWait: when the accept loop accepts, and how it passes the time while
// no connection is pending. By default it tries an accept at every turn and
// sleeps ACCEPT_POLL_INTERVAL when none came, and the loop sees a set shutdown
// flag, the idle limit and the cache's expiries at its next turn.
// With wake-on-connect it waits in poll() until a connection is pending on
// the listener, or a wake arrives (a request that sets the shutdown flag
// writes to the wake pipe), or the loop's next duty is due; never longer than
// LONGEST_IDLE_WAIT, so that what happens while the system sleeps, which no
// poll timeout counts, is seen within about a second of waking. It remembers
// how its last wait ended: it accepts only once a wait has seen a connection,
// and the loop counts as idle only after a wait that saw nothing, so that a
// request meets no system call that finds nothing.
//
// Thread-safety: the accept loop's thread only; the waker from any thread.
//
//   Result<AcceptWait, SysError> idle = AcceptWait::on_readiness(listener.get());
//   auto shutdown = std::make_shared<ShutdownFlag>(idle.value().waker());
//   ... each turn: UniqueFd stream = idle.value().accept();
//   ... none: if (idle.value().idled()) look_around(); idle.value().wait(time_to_next_duty);
#pragma once

#include <chrono>
#include <memory>

#include "base/result.h"
#include "base/unique_fd.h"
#include "base/unix_socket.h"
#include "base/wake_pipe.h"

namespace tarnwel {

// The default loop's sleep when no connection is pending.
inline constexpr std::chrono::milliseconds ACCEPT_POLL_INTERVAL{100};
// The longest wait of the loop with wake-on-connect.
inline constexpr std::chrono::seconds LONGEST_IDLE_WAIT{1};

class AcceptWait {
 public:
  // Accepts on the non-blocking `listener`, which must outlive it, at every
  // turn, and sleeps ACCEPT_POLL_INTERVAL at every wait.
  explicit AcceptWait(int listener) : listener_(listener) {}
  // Waits for a connection on the non-blocking `listener`, which must outlive
  // it, or for a wake.
  static Result<AcceptWait, SysError> on_readiness(int listener);

  // Whether it waits for readiness rather than sleeping.
  bool polls() const { return pipe_ != nullptr; }
  // What wakes this wait; null when it sleeps.
  const std::shared_ptr<const WakePipe>& waker() const { return pipe_; }

  // A connection accepted from the listener; invalid when none came, or when
  // none can be pending: with readiness, only the first turn after a wait
  // that saw one tries.
  UniqueFd accept();

  // Whether the loop has idled since it last accepted or was woken: always
  // when it sleeps; with readiness, after a wait that saw nothing.
  bool idled() const { return pipe_ == nullptr || last_ == Last::Nothing; }

  // Passes the time until the loop's next turn. It sleeps ACCEPT_POLL_INTERVAL,
  // by default and after a readiness that nothing could be accepted from (out
  // of descriptors, say: the listener stays ready, and waiting for it again
  // would spin). Otherwise it returns once a connection is pending (when
  // `listener` is true; else another thread watches it), a wake has come
  // (and is used up), `news` (a descriptor the loop reads itself; -1: none)
  // is readable, which counts as a wake, or min(`duty`, LONGEST_IDLE_WAIT)
  // has passed.
  void wait(std::chrono::nanoseconds duty, bool listener = true, int news = -1);

 private:
  // How the last turn ended, for a wait for readiness.
  enum class Last {
    Connection,  // a wait saw one
    Busy,        // a connection was accepted, or a wake came: the next wait tells
    Nothing,     // the time ran out (or a sleep, a signal, a failed poll)
    Stale,       // a connection was seen and none could be accepted
  };

  AcceptWait(int listener, std::shared_ptr<const WakePipe> pipe)
      : listener_(listener), pipe_(std::move(pipe)) {}
  Last poll_once(std::chrono::nanoseconds duty, bool listener, int news) const;

  int listener_;
  std::shared_ptr<const WakePipe> pipe_;
  Last last_ = Last::Nothing;
};

}  // namespace tarnwel
