// Harness for the client tests, on top of the end-to-end one: a private
// directory with a FakeAskpass whose answer the test chooses, the real agent
// binary started on it, and tarnwelctl run with chosen arguments, input and
// environment.
//
// Thread-safety: none; each test drives its own objects from one thread.
//
//   Sandbox box;                       // a temporary base dir and askpass program
//   AgentChild agent(box.environment(), box.socket_path());
//   Client client(box.socket_path());
//   CtlResult r = run_ctl({"get", "x"}, "", box.environment());
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/agent_process.h"
#include "support/fake_askpass.h"

namespace tarnwel::client_testing {

enum class AskpassAnswer { Grant, Deny };

// A temporary directory that is the base of the runtime directory and holds
// the askpass program, which grants until told otherwise. The destructor
// stops any agent that serves there, own child or not.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();

  const std::string& dir() const { return root_.path(); }
  std::string socket_path() const { return testing::socket_path_in(dir()); }

  void answer(AskpassAnswer answer);

  // The environment for the agent and tarnwelctl, without the askpass program
  // when `with_askpass` is false.
  std::vector<std::string> environment(bool with_askpass = true) const;

 private:
  testing::TempDir root_;
  testing::FakeAskpass askpass_{root_.path()};
};

// The agent binary running as a child with `environment`, serving once the
// constructor returns. The destructor asks it to shut down and reaps it
// (SIGKILL when it does not end).
class AgentChild {
 public:
  AgentChild(const std::vector<std::string>& environment, const std::string& socket_path);
  ~AgentChild();

  pid_t pid() const { return process_.pid(); }

 private:
  testing::AgentProcess process_;
  std::string socket_path_;
};

struct CtlResult {
  int status = -1;  // the exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs tarnwelctl with `args`, `input` on its stdin and exactly `environment`.
CtlResult run_ctl(const std::vector<std::string>& args, const std::string& input,
                  const std::vector<std::string>& environment);
// The same for any program.
CtlResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, const std::vector<std::string>& environment);

}  // namespace tarnwel::client_testing
