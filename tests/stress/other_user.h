// Running code and the agent under a user id other than the test's (root):
// for what only another user may not do (read the agent's memory, talk to
// it), and for per-user limits from which root is exempt.
//
// Each test that switches uses an id of its own that no account on the
// machine has, so that tests running at once never count against one
// another's per-user limits.
//
//   EXPECT_EQ(run_as_user(ISOLATION_USER, [&] { return can_connect() ? 0 : 1; }), 0);
//   const std::string socket = prepare_runtime_dir_for_user(base, THREAD_LIMIT_USER);
//   ProcessAsUser agent(THREAD_LIMIT_USER, {TARNWEL_AGENT_BINARY}, environment, 4);
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarnwel::testing {

inline constexpr uid_t ISOLATION_USER = 47'311;
inline constexpr uid_t PEER_CHECK_USER = 47'312;
inline constexpr uid_t THREAD_LIMIT_USER = 47'313;

// Runs `body` in a forked child that has dropped to `user` (uid, gid and no
// supplementary groups) and returns the child's exit status, or -1 if it did
// not exit normally. Only async-signal-safe work belongs in `body`.
int run_as_user(uid_t user, const std::function<int()>& body);

// Makes `base` passable for `user` and creates the runtime directory that an
// agent running as `user` uses under it; returns that agent's socket path.
std::string prepare_runtime_dir_for_user(const std::string& base, uid_t user);

// A program in a child that has dropped to `user`, with exactly
// `environment`. `max_threads`, if given, becomes its RLIMIT_NPROC, which
// counts every thread of the user. The guard kills and reaps the child at
// scope exit.
class ProcessAsUser {
 public:
  ProcessAsUser(uid_t user, const std::vector<std::string>& arguments,
                const std::vector<std::string>& environment,
                std::optional<rlim_t> max_threads = std::nullopt);
  ~ProcessAsUser();
  ProcessAsUser(const ProcessAsUser&) = delete;
  ProcessAsUser& operator=(const ProcessAsUser&) = delete;

  pid_t pid() const { return pid_; }
  bool running();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

}  // namespace tarnwel::testing
