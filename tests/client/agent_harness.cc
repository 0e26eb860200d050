#include "client/agent_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "client/client.h"
#include "paths/runtime_dir.h"

namespace tarnwel::client_testing {
namespace {

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::trunc) << text;
}

std::string read_line_from(const std::string& fifo) {
  std::ifstream in(fifo);  // blocks until the writer opens
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

Sandbox::Sandbox() {
  std::string pattern = "/tmp/tarnwel-client-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  dir_ = pattern;
  std::filesystem::create_directory(base_dir());
  // The script reads its answer each time, so a test can change it between
  // requests; with "hold" present it announces itself and waits for release.
  write_file(askpass(),
             "#!/bin/sh\n"
             "d='" + dir_ + "'\n"
             "if [ -e \"$d/hold\" ]; then\n"
             "  echo started > \"$d/started\"\n"
             "  read go < \"$d/release\"\n"
             "fi\n"
             "read answer < \"$d/answer\"\n"
             "if [ \"$answer\" = grant ]; then exit 0; fi\n"
             "echo 'denied by the test' >&2\n"
             "exit 1\n");
  ::chmod(askpass().c_str(), 0700);
  answer(AskpassAnswer::Grant);
}

Sandbox::~Sandbox() {
  stop_agent_at(socket_path());
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string Sandbox::socket_path() const {
  return runtime_dir_for(base_dir(), ::getuid()) + "/agent.sock";
}

void Sandbox::answer(AskpassAnswer answer) {
  write_file(dir_ + "/answer", answer == AskpassAnswer::Grant ? "grant\n" : "deny\n");
}

void Sandbox::hold() {
  ASSERT_EQ(::mkfifo((dir_ + "/started").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((dir_ + "/release").c_str(), 0600), 0);
  write_file(dir_ + "/hold", "");
}

void Sandbox::wait_for_prompt() { EXPECT_EQ(read_line_from(dir_ + "/started"), "started"); }

void Sandbox::release() {
  std::filesystem::remove(dir_ + "/hold");
  std::ofstream(dir_ + "/release") << "go\n";  // blocks until the script reads
}

std::vector<std::string> Sandbox::environment(bool with_askpass) const {
  std::vector<std::string> env = {"TARNWEL_AGENT_RUNTIME_DIR=" + base_dir(), "PATH=/usr/bin:/bin"};
  if (with_askpass) env.push_back("TARNWEL_AGENT_ASKPASS=" + askpass());
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) env.push_back(std::string(name) + "=" + value);
  }
  return env;
}

pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& environment, int in, int out, int err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int targets[3] = {in, out, err};
  for (int fd = 0; fd < 3; ++fd) {
    if (targets[fd] < 0) {
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
    } else {
      posix_spawn_file_actions_adddup2(&actions, targets[fd], fd);
    }
  }
  std::vector<std::string> arg_storage = {program};
  arg_storage.insert(arg_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : arg_storage) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_storage = environment;
  std::vector<char*> envp;
  for (std::string& e : env_storage) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(rc, 0) << "posix_spawn " << program;
  return rc == 0 ? pid : -1;
}

AgentChild::AgentChild(const std::vector<std::string>& environment,
                       const std::string& socket_path)
    : socket_path_(socket_path) {
  pid_ = spawn(TARNWEL_AGENT_PATH_FOR_CLIENT_TESTS, {}, environment, -1, -1, STDERR_FILENO);
  const Client client(socket_path_);
  const bool serving = wait_until([&] {
    if (client.ping().ok()) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      reaped_ = true;
      return true;  // it will never serve; the check below reports it
    }
    return false;
  });
  EXPECT_TRUE(serving && !reaped_) << "the agent did not start serving";
}

bool AgentChild::wait_for_exit() {
  if (reaped_) return true;
  reaped_ = wait_until([&] {
    int status = 0;
    return ::waitpid(pid_, &status, WNOHANG) == pid_;
  });
  return reaped_;
}

AgentChild::~AgentChild() {
  if (reaped_ || pid_ < 0) return;
  (void)Client(socket_path_).shutdown();
  if (wait_for_exit()) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  ::waitpid(pid_, &status, 0);
}

CtlResult run_ctl(const std::vector<std::string>& args, const std::string& input,
                  const std::vector<std::string>& environment) {
  int in[2], out[2], err[2];
  EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
  const pid_t pid = spawn(TARNWELCTL_PATH_FOR_CLIENT_TESTS, args, environment, in[0], out[1], err[1]);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  // Inputs are far below a pipe's buffer, so writing first cannot deadlock.
  UniqueFd in_w(in[1]);
  EXPECT_EQ(::write(in_w.get(), input.data(), input.size()), static_cast<ssize_t>(input.size()));
  in_w.reset();

  CtlResult result;
  UniqueFd out_r(out[0]), err_r(err[0]);
  pollfd fds[2] = {{out_r.get(), POLLIN, 0}, {err_r.get(), POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_fds = 2;
  while (open_fds > 0) {
    if (::poll(fds, 2, -1) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        fds[i].fd = -1;
        --open_fds;
      } else {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

void stop_agent_at(const std::string& socket_path) {
  const Client client(socket_path);
  if (!client.ping().ok()) return;
  (void)client.shutdown();
  EXPECT_TRUE(wait_until([&] { return !client.ping().ok(); })) << "the agent did not stop";
}

}  // namespace tarnwel::client_testing
