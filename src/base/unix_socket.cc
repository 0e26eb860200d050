#include "base/unix_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace tarnwel {
namespace {

Result<sockaddr_un, SysError> address_of(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  // The name must fit with its terminating NUL; a truncated name would bind or
  // reach some other socket.
  if (path.size() >= sizeof addr.sun_path) return SysError{ENAMETOOLONG};
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return addr;
}

[[maybe_unused]] bool set_cloexec(int fd) { return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0; }

Result<UniqueFd, SysError> unix_stream_socket() {
#if defined(SOCK_CLOEXEC)
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid()) return SysError{errno};
#else
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  if (!fd.valid() || !set_cloexec(fd.get())) return SysError{errno};
#endif
  return fd;
}

// A new socket, handed with `path`'s address to `use` (which connects or
// binds it); the socket when `use` returns true, else errno as `use` left it.
template <class Use>
Result<UniqueFd, SysError> socket_at(const std::string& path, Use use) {
  auto addr = address_of(path);
  if (!addr.ok()) return addr.error();
  auto fd = unix_stream_socket();
  if (!fd.ok()) return fd.error();
  if (!use(fd.value().get(), reinterpret_cast<const sockaddr*>(&addr.value()))) {
    return SysError{errno};
  }
  return std::move(fd).value();
}

}  // namespace

Result<UniqueFd, SysError> connect_unix(const std::string& path) {
  return socket_at(path, [](int fd, const sockaddr* addr) {
    while (::connect(fd, addr, sizeof(sockaddr_un)) != 0) {
      if (errno != EINTR) return false;
    }
    return true;
  });
}

Result<UniqueFd, SysError> listen_unix(const std::string& path) {
  // -1 asks for the system's maximum: Linux and the BSDs cap any larger or
  // negative backlog at somaxconn.
  return socket_at(path, [](int fd, const sockaddr* addr) {
    return ::bind(fd, addr, sizeof(sockaddr_un)) == 0 && ::listen(fd, -1) == 0;
  });
}

UniqueFd accept_connection(int listener) {
#if defined(__linux__)
  return UniqueFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
#else
  // Here the stream inherits the listener's O_NONBLOCK (accept4 above leaves
  // it out): connection threads read with a receive time-out, which needs a
  // blocking stream.
  UniqueFd fd(::accept(listener, nullptr, nullptr));
  if (fd.valid() && (!set_cloexec(fd.get()) || !set_nonblocking(fd.get(), false).ok())) fd.reset();
  return fd;
#endif
}

Result<PeerCredentials, SysError> peer_credentials(int fd) {
#if defined(SO_PEERCRED)
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return SysError{errno};
  return PeerCredentials{cred.uid, cred.pid};
#else
  PeerCredentials peer{0, 0};
  gid_t gid = 0;
  if (::getpeereid(fd, &peer.uid, &gid) != 0) return SysError{errno};
#if defined(LOCAL_PEERPID)
  socklen_t len = sizeof peer.pid;
  if (::getsockopt(fd, SOL_LOCAL, LOCAL_PEERPID, &peer.pid, &len) != 0) peer.pid = 0;
#endif
  return peer;
#endif
}

Result<Ok, SysError> set_nonblocking(int fd, bool nonblocking) {
  int on = nonblocking ? 1 : 0;
  if (::ioctl(fd, FIONBIO, &on) != 0) return SysError{errno};
  return Ok{};
}

}  // namespace tarnwel
