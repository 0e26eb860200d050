// Running code and the agent under a user id other than the test's (root):
// for what only another user may not do (read the agent's memory, talk to
// it), and for per-user limits from which root is exempt.
//
// Each test that switches uses an id of its own that no account on the
// machine has, so that tests running at once never count against one
// another's per-user limits.
//
//   EXPECT_EQ(run_as_user(ISOLATION_USER, [&] { return can_connect() ? 0 : 1; }), 0);
//   const std::string agent_binary = copy_for_others(TARNWEL_AGENT_BINARY, base);
//   AgentProcess agent(spawn_as_user(ISOLATION_USER, {agent_binary}, environment,
//                                    ChildLimit{RLIMIT_NPROC, 4}));
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/spawn.h"
#include "support/agent_process.h"

namespace tarnwel::testing {

inline constexpr uid_t ISOLATION_USER = 47'311;
inline constexpr uid_t PEER_CHECK_USER = 47'312;

// A resource limit, soft and hard, for a child to take before it switches
// user: RLIMIT_NPROC counts every thread of the user, and RLIMIT_MEMLOCK binds
// any user but root.
struct ChildLimit {
  int resource;
  rlim_t value;
};

// Forks a child that takes `limit`, if given, then drops to `user` (uid, gid
// and no supplementary groups) if it runs as root (an ordinary user stays who
// it is), and exits with what `body` returns. Returns its pid, -1 if none
// could be forked.
inline pid_t fork_as_user(uid_t user, const std::function<int()>& body,
                          std::optional<ChildLimit> limit = std::nullopt) {
  const pid_t child = ::fork();
  if (child == 0) {
    const rlimit value{limit ? limit->value : 0, limit ? limit->value : 0};
    if (limit && ::setrlimit(limit->resource, &value) != 0) ::_exit(126);
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0)) {
      ::_exit(125);
    }
    ::_exit(body());
  }
  EXPECT_GE(child, 0) << "fork: " << std::strerror(errno);
  return child;
}

// Runs `body` as `user` and returns the child's exit status (-1 if it did not
// exit normally). Only async-signal-safe work belongs in `body`.
inline int run_as_user(uid_t user, const std::function<int()>& body) {
  const pid_t child = fork_as_user(user, body);
  return child < 0 ? -1 : exit_status_of(child);
}

// Copies `program` into `dir` as a file anyone may run, and returns the
// copy's path: what another user is to run must lie where that user can
// reach it, and a build tree inside a private directory (a home, /root) does
// not. `dir` is one of the test's own, made passable for others.
inline std::string copy_for_others(const std::string& program, const std::string& dir) {
  const std::string copy = dir + "/" + std::filesystem::path(program).filename().string();
  std::error_code failed;
  std::filesystem::copy_file(program, copy, failed);
  EXPECT_FALSE(failed) << "copy " << program << " to " << copy << ": " << failed.message();
  EXPECT_EQ(::chmod(copy.c_str(), 0755), 0) << copy;
  return copy;
}

// Whether `user` may run the file at `path` (every directory above it passable).
inline bool user_may_run(uid_t user, const std::string& path) {
  return run_as_user(user, [&] { return ::access(path.c_str(), X_OK) == 0 ? 0 : 1; }) == 0;
}

// Starts `arguments` as `user` with exactly `environment`, stdin on `in`
// (-1: /dev/null), stdout on `out` and stderr on `err` (-1: this process's), for an
// AgentProcess to take charge of or exit_status_of to reap; see fork_as_user.
inline pid_t spawn_as_user(uid_t user, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment,
                           std::optional<ChildLimit> limit = std::nullopt, int in = -1,
                           int out = -1, int err = -1) {
  const std::vector<char*> argv = c_strings(arguments), envp = c_strings(environment);
  return fork_as_user(
      user,
      [&] {
        const int input = in >= 0 ? in : ::open("/dev/null", O_RDONLY);
        if (input >= 0) ::dup2(input, STDIN_FILENO);
        if (out >= 0) ::dup2(out, STDOUT_FILENO);
        if (err >= 0) ::dup2(err, STDERR_FILENO);
        ::execve(argv[0], argv.data(), envp.data());
        return 127;
      },
      limit);
}

}  // namespace tarnwel::testing
