// read_line: one '\n'-terminated line from a stream, within a deadline and a
// byte limit, read straight into a wiped buffer (a request or a reply may
// carry a secret). The one read loop of the agent's requests and the client's
// replies; each maps the failure onto texts of its own.
//
// Keeps no state between calls: whatever it reads beyond the first newline is
// dropped. Any number of threads may use it on different streams at once.
//
//   Result<WipedBytes, LineReadFailure> line =
//       read_line(fd, MonotonicClock::now() + limit, MAX_BYTES, LimitCounts::Line);
//   // The agent's side: LimitCounts::Received, WaitBy::ReceiveTimeout.
#pragma once

#include <cstddef>

#include "base/clock.h"
#include "base/os_error.h"
#include "base/result.h"
#include "base/wiped_bytes.h"

namespace tarnwel {

// The reader reads at most this much per system call.
inline constexpr std::size_t READ_CHUNK_BYTES = 4'096;

// Which bytes count towards the byte limit.
enum class LimitCounts {
  // Every byte received, those that came after the newline in the same read
  // included.
  Received,
  // The line and its newline; what follows them is dropped uncounted.
  Line,
};

// How the reader waits for the deadline.
enum class WaitBy {
  // poll() before each read; a signal that interrupts the wait or the read
  // is no failure.
  Poll,
  // The socket's receive time-out (SO_RCVTIMEO), set to the time left before
  // each read; a read that runs out of it is the time-out. Nothing is
  // retried: an interrupted read is a ReadFailed with EINTR.
  ReceiveTimeout,
};

struct LineReadFailure {
  enum class Kind {
    TimedOut,
    ClosedBeforeData,
    ClosedMidLine,
    TooLarge,
    TimeoutNotSet,
    PollFailed,
    ReadFailed,
  };
  Kind kind;
  // The bytes received so far; for TooLarge, the bytes counted against the limit.
  std::size_t bytes = 0;
  // The errno of TimeoutNotSet, PollFailed and ReadFailed.
  SysError error = {0};
  friend bool operator==(const LineReadFailure&, const LineReadFailure&) = default;
};

// Reads from `fd` (a blocking stream) until the first newline, and returns
// the line without it, or why there is none by `deadline`: more than
// `max_bytes` counted as `counts` says, the end of the stream, or a failed
// system call.
Result<WipedBytes, LineReadFailure> read_line(int fd, Instant deadline, std::size_t max_bytes,
                                              LimitCounts counts, WaitBy wait = WaitBy::Poll);

}  // namespace tarnwel
