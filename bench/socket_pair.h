// A connected pair of Unix stream sockets for the micro-benchmarks: `ours`
// for the code measured, `theirs` for the peer. Both ends are invalid when
// socketpair fails, which the first write then reports.
#pragma once

#include <sys/socket.h>

#include "base/unique_fd.h"

namespace tarnwel::bench {

struct SocketPair {
  SocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
      ours = UniqueFd(fds[0]);
      theirs = UniqueFd(fds[1]);
    }
  }
  UniqueFd ours;
  UniqueFd theirs;
};

}  // namespace tarnwel::bench
