#include "base/line_reader.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace tarnwel {
namespace {

// Milliseconds for poll(), rounded up so that a wait never ends early.
int poll_timeout(MonotonicClock::duration left) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<decltype(ms)>(ms, 1'000'000'000));
}

}  // namespace

Result<WipedBytes, LineReadFailure> read_line(int fd, Instant deadline, std::size_t max_bytes,
                                              LimitCounts counts) {
  using Kind = LineReadFailure::Kind;
  WipedBytes line;
  const auto failure = [&line](Kind kind, int error = 0) {
    return LineReadFailure{kind, line.size(), error};
  };
  while (true) {
    // The deadline covers the whole line: a peer that keeps sending but never
    // finishes times out all the same.
    const auto left = deadline - MonotonicClock::now();
    if (left <= MonotonicClock::duration::zero()) return failure(Kind::TimedOut);
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, poll_timeout(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return failure(Kind::PollFailed, errno);
    if (ready == 0) continue;  // the deadline's test above ends it

    // Straight into the wiped buffer: no stack copy of the line is left.
    const std::size_t old_size = line.size();
    line.resize(old_size + READ_CHUNK_BYTES);
    const ssize_t n = ::read(fd, line.data() + old_size, READ_CHUNK_BYTES);
    const int err = errno;
    line.resize(old_size + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n < 0 && err == EINTR) continue;
    if (n < 0) return failure(Kind::ReadFailed, err);
    if (n == 0) return failure(line.empty() ? Kind::ClosedBeforeData : Kind::ClosedMidLine);

    const auto newline =
        std::find(line.begin() + static_cast<std::ptrdiff_t>(old_size), line.end(), '\n');
    const bool ended = newline != line.end();
    const std::size_t counted = ended && counts == LimitCounts::Line
                                    ? static_cast<std::size_t>(newline - line.begin()) + 1
                                    : line.size();
    if (counted > max_bytes) return LineReadFailure{Kind::TooLarge, counted, 0};
    if (ended) {
      line.erase(newline, line.end());
      return line;
    }
  }
}

}  // namespace tarnwel
