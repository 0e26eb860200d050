// A connected pair of Unix stream sockets for tests that speak the wire
// format without an agent: one end for the code under test, one for the peer.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "base/os_error.h"
#include "base/unique_fd.h"
#include "base/write_all.h"

namespace tarnwel::testing {

struct SocketPair {
  UniqueFd ours;
  UniqueFd peer;
};

// Both ends close on exec and raise no SIGPIPE.
inline SocketPair make_socket_pair() {
  int fds[2] = {-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  for (const int fd : fds) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    suppress_sigpipe(fd);
  }
  return SocketPair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Writes all of `bytes`, failing the test on error.
inline void send_all(int fd, std::string_view bytes) {
  ASSERT_TRUE(write_all(fd, bytes)) << os_error_text(errno);
}

// Reads a byte at a time until what it read ends with `end`, or the stream
// does: nothing beyond `end` is taken from the stream.
inline std::string read_until(int fd, std::string_view end) {
  std::string text;
  char c = 0;
  while (!text.ends_with(end) && ::read(fd, &c, 1) == 1) text += c;
  return text;
}

// Reads until end of stream, or until a read fails, which `failed` (if
// given) tells.
inline std::string read_all(int fd, bool* failed = nullptr) {
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  if (failed != nullptr) *failed = n < 0;
  return out;
}

}  // namespace tarnwel::testing
