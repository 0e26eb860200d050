// A connected pair of Unix stream sockets for tests that speak the wire
// format without an agent: one end for the code under test, one for the peer.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>

#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "base/unique_fd.h"

namespace tarnwel::testing {

struct SocketPair {
  UniqueFd ours;
  UniqueFd peer;
};

// Both ends close on exec, and on macOS raise no SIGPIPE (Linux's sends
// pass MSG_NOSIGNAL instead).
inline SocketPair make_socket_pair() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  for (const int fd : fds) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#if defined(SO_NOSIGPIPE)
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  }
  return SocketPair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

#if defined(MSG_NOSIGNAL)
inline constexpr int SEND_FLAGS = MSG_NOSIGNAL;
#else
inline constexpr int SEND_FLAGS = 0;
#endif

// Writes all of `bytes`, failing the test on error.
inline void send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), SEND_FLAGS);
    ASSERT_GT(n, 0);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Reads until end of stream.
inline std::string read_all(int fd) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  return out;
}

}  // namespace tarnwel::testing
