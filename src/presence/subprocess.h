// run_subprocess: runs a program to its end within a time limit and collects
// what it writes to standard error, without a shell and without handing it any
// descriptor of ours but the three standard ones.
//
// The child's standard input and output are /dev/null; its standard error is a
// pipe that is drained for as long as it runs, so it never blocks on it, though
// only the first MAX_ERROR_OUTPUT_BYTES are kept. A child still running at the
// deadline gets SIGTERM, then SIGKILL if it outlives `kill_grace`. The child is
// reaped on every way out: no zombie is left.
//
// Thread-safety: may run on several threads at once. Nothing else in the
// process may reap children it did not start (waitpid(-1, ...)) or ignore
// SIGCHLD, or the child's status is lost.
//
//   Result<SubprocessRun, SubprocessError> run = run_subprocess(
//       {"/usr/bin/true"}, {"PATH=/usr/bin"}, MonotonicClock::now() + 5s, 1s);
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/os_error.h"
#include "base/result.h"

namespace tarnwel {

constexpr std::size_t MAX_ERROR_OUTPUT_BYTES = 64 * 1024;

struct SubprocessRun {
  enum class End { Exited, Signalled, TimedOut, Abandoned };
  End end;
  int number;  // the exit status or the signal; 0 when timed out
  std::string error_output;
};

struct SubprocessError {
  enum class Stage { Start, Wait };
  Stage stage;
  SysError error;
};

// `arguments[0]` is the program, searched along the absolute directories of
// this process's PATH when it has no slash (ENOENT when none holds it).
// `environment` holds "NAME=value" entries. A hang-up on `hangup_fd` (-1:
// none) ends the child as the deadline does: Abandoned.
Result<SubprocessRun, SubprocessError> run_subprocess(const std::vector<std::string>& arguments,
                                                      const std::vector<std::string>& environment,
                                                      Instant deadline,
                                                      MonotonicClock::duration kill_grace,
                                                      int hangup_fd = -1);

}  // namespace tarnwel
