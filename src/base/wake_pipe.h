// WakePipe: lets any thread end another thread's poll() at once. The waiting
// thread polls read_fd() for input along with whatever else it waits for, and
// drains it when it wakes. wake() writes one byte, or nothing when a wake is
// pending already (both ends are non-blocking), so it never blocks a caller.
// Both ends are close-on-exec: a program the process starts inherits neither.
//
// Thread-safety: wake() from any thread at any time, and from a signal
// handler (it makes no call but write(), though it may change errno);
// drain() by the one waiting thread.
//
//   Result<WakePipe, SysError> pipe = WakePipe::open();
//   pollfd fds[] = {{listener, POLLIN, 0}, {pipe.value().read_fd(), POLLIN, 0}};
//   ::poll(fds, 2, timeout_ms);   // another thread: pipe.value().wake();
//   pipe.value().drain();
#pragma once

#include <utility>

#include "base/result.h"
#include "base/unique_fd.h"
#include "base/unix_socket.h"

namespace tarnwel {

class WakePipe {
 public:
  // Call it before other threads start: the close-on-exec flag is set just
  // after the pipe is made, and a program started in between would inherit it.
  static Result<WakePipe, SysError> open();

  int read_fd() const { return read_.get(); }
  void wake() const;
  // Reads every pending wake, so that the next poll waits again.
  void drain() const;

 private:
  WakePipe(UniqueFd read, UniqueFd write) : read_(std::move(read)), write_(std::move(write)) {}
  UniqueFd read_;
  UniqueFd write_;
};

}  // namespace tarnwel
