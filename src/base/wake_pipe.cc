#include "base/wake_pipe.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace tarnwel {
namespace {

bool make_nonblocking_cloexec(int fd) {
  const int status = ::fcntl(fd, F_GETFL);
  return status != -1 && ::fcntl(fd, F_SETFL, status | O_NONBLOCK) == 0 &&
         ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

}  // namespace

Result<WakePipe, SysError> WakePipe::open() {
  // pipe() and fcntl() rather than pipe2() or an eventfd: macOS has neither.
  int ends[2];
  if (::pipe(ends) != 0) return SysError{errno};
  UniqueFd read(ends[0]), write(ends[1]);
  if (!make_nonblocking_cloexec(read.get()) || !make_nonblocking_cloexec(write.get())) {
    return SysError{errno};
  }
  return WakePipe(std::move(read), std::move(write));
}

void WakePipe::wake() const {
  const char byte = 1;
  // A full pipe (EAGAIN) holds a wake already; nothing else can fail here
  // that the waiting thread would not notice by itself at its next turn.
  while (::write(write_.get(), &byte, 1) < 0 && errno == EINTR) {
  }
}

void WakePipe::drain() const {
  char bytes[64];
  while (true) {
    const ssize_t n = ::read(read_.get(), bytes, sizeof bytes);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    return;  // empty (EAGAIN), or nothing more to read
  }
}

}  // namespace tarnwel
