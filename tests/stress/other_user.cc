#include "stress/other_user.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "base/spawn.h"

namespace tarnwel::testing {

pid_t fork_as_user(uid_t user, const std::function<int()>& body, std::optional<ChildLimit> limit) {
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

int run_as_user(uid_t user, const std::function<int()>& body) {
  const pid_t child = fork_as_user(user, body);
  return child < 0 ? -1 : exit_status_of(child);
}

std::string copy_for_others(const std::string& program, const std::string& dir) {
  const std::string copy = dir + "/" + std::filesystem::path(program).filename().string();
  std::error_code failed;
  std::filesystem::copy_file(program, copy, failed);
  EXPECT_FALSE(failed) << "copy " << program << " to " << copy << ": " << failed.message();
  EXPECT_EQ(::chmod(copy.c_str(), 0755), 0) << copy;
  return copy;
}

bool user_may_run(uid_t user, const std::string& path) {
  return run_as_user(user, [&] { return ::access(path.c_str(), X_OK) == 0 ? 0 : 1; }) == 0;
}

pid_t spawn_as_user(uid_t user, const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment, std::optional<ChildLimit> limit,
                    int in, int out, int err) {
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
