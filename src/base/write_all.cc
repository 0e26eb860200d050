#include "base/write_all.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarnwel {
namespace {

#if defined(MSG_NOSIGNAL)
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#else
constexpr int SEND_FLAGS = 0;
#endif

}  // namespace

bool write_all(int fd, std::string_view bytes) {
  bool socket = true;  // until send says otherwise
  while (!bytes.empty()) {
    const ssize_t n = socket ? ::send(fd, bytes.data(), bytes.size(), SEND_FLAGS)
                             : ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && socket && errno == ENOTSOCK) {
      socket = false;
      continue;
    }
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;  // nothing written and no error: it would never end
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

void suppress_sigpipe([[maybe_unused]] int fd) {
#if defined(SO_NOSIGPIPE)
  const int on = 1;
  (void)::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
}

}  // namespace tarnwel
