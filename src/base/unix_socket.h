// Unix-domain stream sockets: the plumbing shared by the agent and its probe.
// Every descriptor is close-on-exec, so a program the agent starts inherits none.
#pragma once

#include <sys/types.h>

#include <string>

#include "base/os_error.h"
#include "base/result.h"
#include "base/unique_fd.h"

namespace tarnwel {

// Connects to `path`. A path longer than a socket address holds fails with
// ENAMETOOLONG rather than being cut short.
Result<UniqueFd, SysError> connect_unix(const std::string& path);

// Binds a new socket to `path` and listens with the largest backlog the
// system allows.
Result<UniqueFd, SysError> listen_unix(const std::string& path);

// Accepts one pending connection as a blocking, close-on-exec stream; an
// invalid fd when none.
UniqueFd accept_connection(int listener);

// Who is at the other end of a connected socket, as it connected.
struct PeerCredentials {
  uid_t uid;  // effective user id
  pid_t pid;  // 0 where the system cannot tell
};

// One question on Linux (SO_PEERCRED); getpeereid and LOCAL_PEERPID elsewhere.
// Fails only when the user id cannot be read.
Result<PeerCredentials, SysError> peer_credentials(int fd);

// Switches `fd` between blocking and non-blocking mode (FIONBIO).
Result<Ok, SysError> set_nonblocking(int fd, bool nonblocking);

}  // namespace tarnwel
