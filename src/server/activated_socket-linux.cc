#include <stdlib.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "base/os_error.h"
#include "server/activated_socket.h"

namespace tarnwel {

Result<std::optional<UniqueFd>, std::string> handed_listener() {
  // Variables meant for another process (a parent that started this one
  // without clearing them) are not a hand-over: they are ignored, as unset.
  const char* for_pid = ::getenv("LISTEN_PID");
  const bool ours = for_pid != nullptr && std::string_view(for_pid) == std::to_string(::getpid());
  // Removes the variables in every case, and marks the descriptors close-on-exec.
  const int count = ::sd_listen_fds(1);
  if (!ours || count == 0) return std::optional<UniqueFd>();
  if (count < 0) return "LISTEN_FDS from the service manager: " + os_error_text(-count);
  if (count != 1) {
    return "the service manager handed over " + std::to_string(count) +
           " sockets; the agent takes exactly one";
  }
  UniqueFd listener(SD_LISTEN_FDS_START);
  if (::sd_is_socket_unix(listener.get(), SOCK_STREAM, 1, nullptr, 0) <= 0) {
    return std::string(
        "descriptor 3, handed over by the service manager, is not a listening Unix stream "
        "socket");
  }
  return std::optional<UniqueFd>(std::move(listener));
}

}  // namespace tarnwel
