// ListenerWait: one idle connection thread's wait for a connection on the
// listener that every idle thread shares, or for the stop descriptor (a
// WakePipe that, once woken, stays readable).
//
// On Linux each wait is an epoll instance holding the listener with
// EPOLLEXCLUSIVE: a new connection wakes one idle thread, not all of them, so
// a burst costs one wake per connection however many threads idle. Elsewhere
// it is poll(), and every idle thread wakes; those that find nothing to
// accept wait again.
//
// Thread-safety: each thread waits on its own ListenerWait.
//
//   Result<ListenerWait, SysError> wait = ListenerWait::open(listener, stop.read_fd());
//   if (wait.value().wait(1s) == ListenerWait::Outcome::Ready) accept...
#pragma once

#include <chrono>

#include "base/result.h"
#include "base/unique_fd.h"
#include "base/unix_socket.h"

namespace tarnwel {

class ListenerWait {
 public:
  // `listener` and `stop` must outlive it.
  static Result<ListenerWait, SysError> open(int listener, int stop);

  // Ready: a connection may be pending (another thread may take it first).
  // Failed: the listener is in error, or the wait itself failed.
  enum class Outcome { Ready, Stopped, TimedOut, Failed };
  Outcome wait(std::chrono::milliseconds longest) const;

 private:
  ListenerWait(int listener, int stop, UniqueFd epoll)
      : listener_(listener), stop_(stop), epoll_(std::move(epoll)) {}
  int listener_;
  int stop_;
  UniqueFd epoll_;  // Linux only
};

}  // namespace tarnwel
