#include <errno.h>
#include <fcntl.h>
#include <launch.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "base/os_error.h"
#include "server/activated_socket.h"

namespace tarnwel {
namespace {

// The name of the entry in the LaunchAgent's Sockets dictionary.
constexpr const char* SOCKETS_ENTRY = "Listeners";

struct FreeArray {
  void operator()(int* fds) const { ::free(fds); }
};

bool is_listening_unix_stream(int fd) {
  int type = 0, listening = 0;
  socklen_t size = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) return false;
  size = sizeof listening;
  if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening == 0) {
    return false;
  }
  sockaddr_storage address{};
  size = sizeof address;
  return ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
         address.ss_family == AF_UNIX;
}

}  // namespace

Result<std::optional<UniqueFd>, std::string> handed_listener() {
  int* fds = nullptr;
  size_t count = 0;
  const int err = ::launch_activate_socket(SOCKETS_ENTRY, &fds, &count);
  // ESRCH: not started by launchd. ENOENT: a job without the entry (a
  // LaunchAgent written before it had one), which starts the agent eagerly.
  if (err == ESRCH || err == ENOENT) return std::optional<UniqueFd>();
  if (err != 0) return "launch_activate_socket: " + os_error_text(err);
  const std::unique_ptr<int, FreeArray> array(fds);
  std::vector<UniqueFd> handed;
  for (size_t i = 0; i < count; ++i) handed.emplace_back(fds[i]);
  if (handed.size() != 1) {
    return "launchd handed over " + std::to_string(handed.size()) +
           " sockets for the Sockets entry; the agent takes exactly one";
  }
  if (!is_listening_unix_stream(handed[0].get())) {
    return std::string("the socket launchd handed over is not a listening Unix stream socket");
  }
  // A program the agent starts inherits none of its descriptors.
  (void)::fcntl(handed[0].get(), F_SETFD, FD_CLOEXEC);
  return std::optional<UniqueFd>(std::move(handed[0]));
}

}  // namespace tarnwel
