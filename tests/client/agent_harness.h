// Harness for the client tests: a private directory with an askpass program
// whose answer the test chooses, the real agent binary started on it, and
// tarnwelctl run with chosen arguments, input and environment.
//
// Thread-safety: none, except that Askpass::release() may be called from
// another thread than the one blocked in an unlock.
//
//   Sandbox box;                       // a temporary base dir and askpass script
//   AgentChild agent(box.environment());
//   Client client(box.socket_path());
//   CtlResult r = run_ctl({"get", "x"}, "", box.environment());
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tarnwel::client_testing {

using namespace std::chrono_literals;

// Bound on waits for something that should happen promptly; it only ever ends
// a test that has already failed.
inline constexpr std::chrono::milliseconds EVENT_LIMIT = 15s;

// Polls `done` until it holds or `limit` passes, for events the test is not
// notified of (a process has ended, a socket answers).
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit = EVENT_LIMIT);

enum class AskpassAnswer { Grant, Deny };

// A temporary directory holding the base of the runtime directory and an
// askpass script. The script answers as set by `answer()`; after `hold()` it
// first announces itself on a FIFO and then waits to be released, so that a
// test can act while a presence check is known to be running.
class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::string& dir() const { return dir_; }
  std::string base_dir() const { return dir_ + "/base"; }
  std::string socket_path() const;
  std::string askpass() const { return dir_ + "/askpass"; }

  void answer(AskpassAnswer answer);
  void hold();
  // Blocks until the held script has started (it opens the FIFO to announce).
  void wait_for_prompt();
  // Lets the held script go on to its answer.
  void release();

  // The environment for the agent and tarnwelctl: the base directory, PATH,
  // sanitizer options, and the askpass program unless `with_askpass` is false.
  std::vector<std::string> environment(bool with_askpass = true) const;

 private:
  std::string dir_;
};

// The agent binary running as a child with `environment`, serving once the
// constructor returns. The destructor stops it (shutdown, else SIGKILL) and
// reaps it.
class AgentChild {
 public:
  AgentChild(const std::vector<std::string>& environment, const std::string& socket_path);
  ~AgentChild();
  AgentChild(const AgentChild&) = delete;
  AgentChild& operator=(const AgentChild&) = delete;

  pid_t pid() const { return pid_; }
  // Waits for the agent to end by itself; false when it is still running at the limit.
  bool wait_for_exit();

 private:
  pid_t pid_ = -1;
  std::string socket_path_;
  bool reaped_ = false;
};

struct CtlResult {
  int status = -1;  // the exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs tarnwelctl with `args`, `input` on its stdin and exactly `environment`.
CtlResult run_ctl(const std::vector<std::string>& args, const std::string& input,
                  const std::vector<std::string>& environment);

// Spawns `program` with `args` and `environment`, fds 0-2 as given (-1: /dev/null).
pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& environment, int in, int out, int err);

// Stops the agent at `socket_path` if one answers, and waits until none does.
void stop_agent_at(const std::string& socket_path);

}  // namespace tarnwel::client_testing
