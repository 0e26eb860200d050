// Reading input that may hold a secret (standard input, usually) straight into
// a wiped buffer: no byte of it passes through any other buffer.
//
//   WipedBytes input;
//   Result<Ok, InputFailure> read = read_wiped(STDIN_FILENO, input, MAX_BYTES, ReadUntil::End);
#pragma once

#include <cstddef>

#include "base/os_error.h"
#include "base/result.h"
#include "base/wiped_bytes.h"

namespace tarnwel {

enum class ReadUntil {
  End,
  // Up to and including a newline, as a terminal in canonical mode hands
  // over a line per read; or the end, if that comes first.
  Newline,
};

struct InputFailure {
  enum class Kind { ReadFailed, TooLarge };
  Kind kind;
  SysError error = {0};  // for ReadFailed
};

// Appends to `out` what is read from `fd` until `until`; more than
// `max_bytes` in `out` is TooLarge. An interrupted read is retried.
Result<Ok, InputFailure> read_wiped(int fd, WipedBytes& out, std::size_t max_bytes,
                                    ReadUntil until);

}  // namespace tarnwel
