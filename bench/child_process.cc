#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "base/clock.h"
#include "base/spawn.h"
#include "wire_client.h"

extern char** environ;

namespace tarnwel::bench {

namespace {

pid_t start_program(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                    const std::string& output_path) {
  std::vector<std::string> env(extra_env);
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  const std::vector<char*> argv_c = c_strings(argv);
  const std::vector<char*> env_c = c_strings(env);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output_path.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv_c[0], &actions, nullptr, argv_c.data(), env_c.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& extra_env,
                           const std::string& output_path)
    : pid_(start_program(argv, extra_env, output_path)) {}

int run_to_end(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
               const std::string& output_path) {
  const pid_t pid = start_program(argv, extra_env, output_path);
  int status = 0;
  if (pid <= 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

bool wait_until_serving(const std::string& socket_path, double seconds, std::string_view request,
                        std::string_view ok_mark, Framing framing) {
  const Instant deadline =
      MonotonicClock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::duration<double>(seconds));
  while (MonotonicClock::now() < deadline) {
    if (request_once(socket_path, request, ok_mark, framing).kind == ReplyKind::Ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace tarnwel::bench
