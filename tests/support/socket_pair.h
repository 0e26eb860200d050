// A connected pair of Unix stream sockets for tests that speak the wire
// format without an agent: one end for the code under test, one for the peer.
#pragma once

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

inline SocketPair make_socket_pair() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  return SocketPair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Writes all of `bytes`, failing the test on error.
inline void send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
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
