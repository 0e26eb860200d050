// Whole writes: the one loop that every write of a reply, a request, a
// diagnostic or an output goes through.
//
//   if (!write_all(fd, line)) report(os_error_text(errno));
#pragma once

#include <string_view>

namespace tarnwel {

// Writes all of `bytes` to `fd`, again after a signal or a short write; false
// on failure, with errno telling why. A socket is sent to with MSG_NOSIGNAL
// where the system has it, so that a peer that has gone gives EPIPE instead
// of SIGPIPE (elsewhere, suppress_sigpipe() on the socket does that).
bool write_all(int fd, std::string_view bytes);

// Sets SO_NOSIGPIPE on a socket where the system has it (macOS); nothing
// elsewhere, where write_all's MSG_NOSIGNAL does the same.
void suppress_sigpipe(int fd);

}  // namespace tarnwel
