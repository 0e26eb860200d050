#include "stress/other_user.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include <gtest/gtest.h>

#include "support/agent_process.h"

namespace tarnwel::testing {
namespace {

bool drop_to(uid_t user) {
  return ::setgroups(0, nullptr) == 0 && ::setgid(user) == 0 && ::setuid(user) == 0;
}

}  // namespace

int run_as_user(uid_t user, const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (!drop_to(user)) ::_exit(125);
    ::_exit(body());
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string prepare_runtime_dir_for_user(const std::string& base, uid_t user) {
  const std::string runtime_dir = base + "/tarnwel-agent-" + std::to_string(user);
  EXPECT_EQ(::chmod(base.c_str(), 0711), 0) << base;
  EXPECT_EQ(::mkdir(runtime_dir.c_str(), 0700), 0) << runtime_dir;
  EXPECT_EQ(::chown(runtime_dir.c_str(), user, user), 0) << runtime_dir;
  return runtime_dir + "/agent.sock";
}

ProcessAsUser::ProcessAsUser(uid_t user, const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environment,
                             std::optional<rlim_t> max_threads) {
  std::vector<char*> argv = c_strings(arguments);
  std::vector<char*> envp = c_strings(environment);
  pid_ = ::fork();
  if (pid_ < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return;
  }
  if (pid_ == 0) {
    const int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, STDIN_FILENO);
    if (max_threads) {
      const rlimit limit{*max_threads, *max_threads};
      if (::setrlimit(RLIMIT_NPROC, &limit) != 0) ::_exit(126);
    }
    if (!drop_to(user)) ::_exit(125);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
}

ProcessAsUser::~ProcessAsUser() {
  if (pid_ <= 0 || reaped_) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool ProcessAsUser::running() {
  if (pid_ <= 0 || reaped_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
  reaped_ = true;
  return false;
}

}  // namespace tarnwel::testing
