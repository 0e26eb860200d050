#include "base/line_reader.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

namespace tarnwel {
namespace {

// Milliseconds for poll(), rounded up so that a wait never ends early.
int poll_timeout(MonotonicClock::duration left) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<decltype(ms)>(ms, 1'000'000'000));
}

// SO_RCVTIMEO from the time left, in whole microseconds. A zero timeval
// would mean "no limit", so anything under one microsecond is set as one.
bool set_receive_timeout(int fd, MonotonicClock::duration left) {
  const auto micros = std::max<std::int64_t>(
      1, std::chrono::duration_cast<std::chrono::microseconds>(left).count());
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(micros / 1'000'000);
  tv.tv_usec = static_cast<suseconds_t>(micros % 1'000'000);
  return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

}  // namespace

Result<WipedBytes, LineReadFailure> read_line(int fd, Instant deadline, std::size_t max_bytes,
                                              LimitCounts counts, WaitBy wait) {
  using Kind = LineReadFailure::Kind;
  WipedBytes line;
  const auto failure = [&line](Kind kind, int error = 0) {
    return LineReadFailure{kind, line.size(), SysError{error}};
  };
  // A request is mostly there by the time its stream is read: the first read
  // takes what has come without waiting, and the time-out is set only when it
  // has to wait.
  bool waited = wait != WaitBy::ReceiveTimeout;
  while (true) {
    // The deadline covers the whole line: a peer that keeps sending but never
    // finishes times out all the same.
    const auto left = deadline - MonotonicClock::now();
    if (left <= MonotonicClock::duration::zero()) return failure(Kind::TimedOut);
    if (wait == WaitBy::Poll) {
      pollfd p{fd, POLLIN, 0};
      const int ready = ::poll(&p, 1, poll_timeout(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) return failure(Kind::PollFailed, errno);
      if (ready == 0) continue;  // the deadline's test above ends it
    } else if (waited && !set_receive_timeout(fd, left)) {
      return failure(Kind::TimeoutNotSet, errno);
    }

    // Straight into the wiped buffer: no stack copy of the line is left.
    const std::size_t old_size = line.size();
    line.resize(old_size + READ_CHUNK_BYTES);
    const ssize_t n = waited ? ::read(fd, line.data() + old_size, READ_CHUNK_BYTES)
                             : ::recv(fd, line.data() + old_size, READ_CHUNK_BYTES, MSG_DONTWAIT);
    const int err = errno;
    line.resize(old_size + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (!waited) {
      waited = true;
      // Nothing yet, or not a socket: wait as asked.
      if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == ENOTSOCK)) continue;
    }
    // A poll's caller waits again; a read bounded by the receive time-out is
    // not retried, and its interruption fails like any other error.
    if (n < 0 && err == EINTR && wait == WaitBy::Poll) continue;
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) return failure(Kind::TimedOut);
    if (n < 0) return failure(Kind::ReadFailed, err);
    if (n == 0) return failure(line.empty() ? Kind::ClosedBeforeData : Kind::ClosedMidLine);

    const auto newline =
        std::find(line.begin() + static_cast<std::ptrdiff_t>(old_size), line.end(), '\n');
    const bool ended = newline != line.end();
    const std::size_t counted = ended && counts == LimitCounts::Line
                                    ? static_cast<std::size_t>(newline - line.begin()) + 1
                                    : line.size();
    if (counted > max_bytes) return LineReadFailure{Kind::TooLarge, counted};
    if (ended) {
      line.erase(newline, line.end());
      return line;
    }
  }
}

}  // namespace tarnwel
