#include "server/activated_socket.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "base/os_error.h"

namespace tarnwel {

Result<std::optional<UniqueFd>, std::string> take_activated_socket(const std::string& path) {
  Result<std::optional<UniqueFd>, std::string> handed = handed_listener();
  if (!handed.ok() || !handed.value()) return handed;
  sockaddr_un address{};
  socklen_t size = sizeof address;
  if (::getsockname(handed.value()->get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    return "getsockname of the socket the service manager handed over: " + os_error_text(errno);
  }
  // An abstract or unnamed socket has no path, and so is never the clients'.
  const std::size_t name_room =
      size > offsetof(sockaddr_un, sun_path) ? size - offsetof(sockaddr_un, sun_path) : 0;
  const std::string bound(address.sun_path, ::strnlen(address.sun_path, name_room));
  if (bound != path) {
    return "the service manager handed over a socket at \"" + display_path(bound) +
           "\", but clients look for the agent at " + display_path(path);
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return "the socket the service manager handed over: " + display_path(path) + ": " +
           os_error_text(errno);
  }
  if (!S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) {
    return "the service manager handed over a socket at " + display_path(path) +
           " that is not this user's socket";
  }
  // As the agent's own socket is: its owner's alone. A failure is no worse
  // than the 0700 directory it is in.
  if ((st.st_mode & 0077) != 0) (void)::chmod(path.c_str(), 0600);
  return handed;
}

}  // namespace tarnwel
