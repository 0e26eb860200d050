#include "support/agent_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include <gtest/gtest.h>

#include "agent_commit.h"
#include "agent_version.h"
#include "base/spawn.h"
#include "base/unix_socket.h"
#include "base/write_all.h"
#include "support/socket_pair.h"

namespace tarnwel::testing {

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

TempDir::TempDir() : path_("/tmp/tarnwel-e2e-XXXXXX") {
  if (::mkdtemp(path_.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    path_.clear();
  }
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

struct stat lstat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path << ": " << std::strerror(errno);
  return st;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

std::string runtime_dir_in(const std::string& base) {
  return base + "/tarnwel-agent-" + std::to_string(::getuid());
}

std::string socket_path_in(const std::string& base) { return runtime_dir_in(base) + "/agent.sock"; }

std::vector<std::string> agent_environment(const std::string& base, const std::string& askpass) {
  std::vector<std::string> env = {"TARNWEL_AGENT_RUNTIME_DIR=" + base, "PATH=/usr/bin:/bin"};
  if (!askpass.empty()) env.push_back("TARNWEL_AGENT_ASKPASS=" + askpass);
  // A sanitizer build of the agent should honour the options the tests run with.
  for (const std::string name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = ::getenv(name.c_str())) env.push_back(name + "=" + value);
  }
  return env;
}

void limit_reads(int fd, std::chrono::milliseconds limit) {
  const timeval bound{std::chrono::duration_cast<std::chrono::seconds>(limit).count(), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
}

AgentProcess::AgentProcess(const std::vector<std::string>& environment)
    : AgentProcess([&](int output) {
        return spawn(TARNWEL_AGENT_BINARY, {}, environment, -1, output, output);
      }) {}

AgentProcess::AgentProcess(const std::function<pid_t(int output)>& start) {
  // The child writes into one end; the other is read without blocking.
  SocketPair ends = make_socket_pair();
  output_ = std::move(ends.ours);
  ::fcntl(output_.get(), F_SETFL, O_NONBLOCK);
  pid_ = start(ends.peer.get());
}

pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& environment, int in, int out, int err) {
  SpawnSetup setup;
  const int targets[3] = {in, out, err};
  for (int fd = 0; fd < 3; ++fd) {
    if (targets[fd] < 0) {
      ::posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null", O_RDWR, 0);
    } else {
      ::posix_spawn_file_actions_adddup2(&setup.actions, targets[fd], fd);
    }
  }
  std::vector<std::string> arguments = {program};
  arguments.insert(arguments.end(), args.begin(), args.end());
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &setup.actions, nullptr,
                               c_strings(arguments).data(), c_strings(environment).data());
  EXPECT_EQ(rc, 0) << "posix_spawn " << program << ": " << std::strerror(rc);
  return rc == 0 ? pid : -1;
}

AgentProcess::~AgentProcess() { kill_and_reap(); }

bool AgentProcess::running() {
  if (pid_ <= 0 || exit_code_.has_value()) return false;
  int status = 0;
  const pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done == 0) return true;
  if (done < 0) {
    ADD_FAILURE() << "waitpid " << pid_ << ": " << std::strerror(errno);
    exit_code_ = -1;
    return false;
  }
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return false;
}

std::optional<int> AgentProcess::wait_for_exit(std::chrono::milliseconds limit) {
  wait_until([&] { return !running(); }, limit);
  return exit_code_;
}

void AgentProcess::kill_and_reap() {
  if (!running()) return;
  ::kill(pid_, SIGKILL);
  exit_status_of(pid_);
  exit_code_ = 128 + SIGKILL;
}

std::string AgentProcess::output() {
  // Non-blocking: the read ends with what the agent has written so far.
  if (output_.valid()) output_text_ += read_all(output_.get());
  return output_text_;
}

int exit_status_of(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool wait_until_serving(AgentProcess& agent, const std::string& socket_path) {
  // A connection succeeds as soon as the agent listens, before it has
  // finished starting; its reply comes from the loop that serves clients.
  std::optional<std::string> reply;
  wait_until([&] {
    const UniqueFd stream = connect_to(socket_path);
    if (stream.valid() && write_all(stream.get(), PING)) {
      limit_reads(stream.get());
      reply = read_all(stream.get());
    }
    return reply.has_value() || !agent.running();
  });
  if (!reply) {
    // Why it gave up, for the test's log: how the agent ended and what it said.
    const std::optional<int> status = agent.wait_for_exit(0ms);
    ADD_FAILURE() << "no agent serves at " << socket_path << ": "
                  << (status ? "it exited with status " + std::to_string(*status)
                             : "it still runs, unanswering, after " +
                                   std::to_string(EVENT_LIMIT.count()) + " ms")
                  << "; its output: '" << agent.output() << "'";
    return false;
  }
  const std::string expected = ping_reply(agent.pid());
  EXPECT_EQ(*reply, expected) << "the reply to a ping at " << socket_path;
  return *reply == expected;
}

UniqueFd connect_to(const std::string& socket_path) {
  Result<UniqueFd, SysError> stream = connect_unix(socket_path);
  if (!stream.ok()) return UniqueFd();
  suppress_sigpipe(stream.value().get());  // where the system lets a socket say so
  return std::move(stream).value();
}

UniqueFd send_request(const std::string& socket_path, std::string_view bytes) {
  UniqueFd stream = connect_to(socket_path);
  EXPECT_TRUE(stream.valid()) << "connect " << socket_path << ": " << std::strerror(errno);
  if (stream.valid() && !write_all(stream.get(), bytes)) {
    ADD_FAILURE() << "send: " << std::strerror(errno);
  }
  return stream;
}

std::string read_reply(int stream, std::chrono::milliseconds limit) {
  limit_reads(stream, limit);
  bool failed = false;
  std::string reply = read_all(stream, &failed);
  // The agent closes every stream after its one reply.
  EXPECT_FALSE(failed) << "no end of stream after '" << reply << "': " << std::strerror(errno);
  return reply;
}

std::string round_trip(const std::string& socket_path, std::string_view bytes) {
  UniqueFd stream = send_request(socket_path, bytes);
  return stream.valid() ? read_reply(stream.get()) : std::string();
}

std::string ping_reply(pid_t pid) {
  return std::string("{\"agent_commit\":\"") + TARNWEL_AGENT_COMMIT +
         "\",\"agent_pid\":" + std::to_string(pid) +
         ",\"agent_version\":\"" TARNWEL_VERSION "\",\"ok\":true,\"protocol_version\":2}\n";
}

}  // namespace tarnwel::testing
