#include "base/wiped_input.h"

#include <errno.h>
#include <unistd.h>

namespace tarnwel {

Result<Ok, InputFailure> read_wiped(int fd, WipedBytes& out, std::size_t max_bytes,
                                    ReadUntil until) {
  constexpr std::size_t CHUNK = 4096;
  while (true) {
    const std::size_t old_size = out.size();
    out.resize(old_size + CHUNK);
    const ssize_t n = ::read(fd, out.data() + old_size, CHUNK);
    const int err = errno;  // before anything else may touch it
    out.resize(old_size + static_cast<std::size_t>(n > 0 ? n : 0));
    if (n < 0 && err == EINTR) continue;
    if (n < 0) return InputFailure{InputFailure::Kind::ReadFailed, SysError{err}};
    if (n == 0) return Ok{};
    if (out.size() > max_bytes) return InputFailure{InputFailure::Kind::TooLarge};
    if (until == ReadUntil::Newline && out.back() == '\n') return Ok{};
  }
}

}  // namespace tarnwel
