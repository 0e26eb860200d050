#include "support/agent_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "client/client.h"

namespace tarnwel::client_testing {
namespace {

// Stops the agent at `socket_path` if one answers, and waits until none does.
void stop_agent_at(const std::string& socket_path) {
  const Client client(socket_path);
  if (!client.ping().ok()) return;
  (void)client.shutdown();
  EXPECT_TRUE(testing::wait_until([&] { return !client.ping().ok(); })) << "the agent did not stop";
}

}  // namespace

Sandbox::Sandbox() { answer(AskpassAnswer::Grant); }

Sandbox::~Sandbox() { stop_agent_at(socket_path()); }

void Sandbox::answer(AskpassAnswer answer) {
  const bool grant = answer == AskpassAnswer::Grant;
  askpass_.answer(grant ? 0 : 1, grant ? "" : "denied by the test\n");
}

void Sandbox::hold() {
  runs_at_hold_ = askpass_.runs().size();
  askpass_.hold();
}

void Sandbox::wait_for_prompt() {
  EXPECT_TRUE(askpass_.wait_for_runs(runs_at_hold_ + 1)) << "the askpass program did not start";
}

std::vector<std::string> Sandbox::environment(bool with_askpass) const {
  return testing::agent_environment(dir(), with_askpass ? askpass_.program() : "");
}

AgentChild::AgentChild(const std::vector<std::string>& environment,
                       const std::string& socket_path)
    : process_(environment), socket_path_(socket_path) {
  EXPECT_TRUE(testing::wait_until_serving(process_, socket_path_))
      << "the agent did not start serving: " << process_.output();
}

AgentChild::~AgentChild() {
  if (!process_.running()) return;
  (void)Client(socket_path_).shutdown();
  process_.wait_for_exit();  // if it still runs, the process guard kills it
}

CtlResult run_ctl(const std::vector<std::string>& args, const std::string& input,
                  const std::vector<std::string>& environment) {
  return run_program(TARNWELCTL_PATH_FOR_CLIENT_TESTS, args, input, environment);
}

CtlResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, const std::vector<std::string>& environment) {
  int in[2], out[2], err[2];
  EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
  const pid_t pid = testing::spawn(program, args, environment, in[0], out[1], err[1]);
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

}  // namespace tarnwel::client_testing
