#include "server/socket_ownership.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/os_error.h"
#include "base/result.h"
#include "base/unique_fd.h"
#include "base/unix_socket.h"

namespace tarnwel {
namespace {

// What one look at a path finds: the file there, or that nothing is there,
// or neither when the look itself failed.
struct PathLook {
  std::optional<FileIdentity> identity;
  bool gone = false;
};

PathLook look_at(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return PathLook{std::nullopt, errno == ENOENT || errno == ENOTDIR};
  }
  return PathLook{FileIdentity{st.st_dev, st.st_ino}, false};
}

}  // namespace

bool names_socket(const std::string& path, const FileIdentity& bound) {
  const PathLook now = look_at(path);
  if (!now.identity) return !now.gone;
  return now.identity->device == bound.device && now.identity->inode == bound.inode;
}

BoundSocket bound_socket(const std::string& path) {
  const PathLook before = look_at(path);
  Result<UniqueFd, SysError> probe = connect_unix(path);
  if (!probe.ok()) {
    const int err = probe.error().number;
    return BoundSocket{std::nullopt, err == ENOENT || err == ECONNREFUSED};
  }
  const Result<PeerCredentials, SysError> listener = peer_credentials(probe.value().get());
  if (!listener.ok() || listener.value().pid == 0) return BoundSocket{};
  // Once this process has bound the path, another listener behind it, or the
  // file gone from the path at either look, or another file there, mean that
  // another agent has taken the path over: it unlinks this one's file before
  // it binds its own, and an unlinked file never comes back.
  if (listener.value().pid != ::getpid() || before.gone) return BoundSocket{std::nullopt, true};
  if (!before.identity) return BoundSocket{};
  if (!names_socket(path, *before.identity)) return BoundSocket{std::nullopt, true};
  return BoundSocket{before.identity, false};
}

}  // namespace tarnwel
