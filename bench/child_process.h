// A program the load generator starts and stops: the agent, the reference
// server, ssh-agent. Started with posix_spawn and extra environment variables;
// stopped (SIGTERM, then SIGKILL after a second) and reaped when the object
// goes away.
//
//   ChildProcess agent({"/path/tarnwel-agent"}, {"TARNWEL_AGENT_RUNTIME_DIR=/tmp/x"}, "/tmp/x/err");
//   snapshot(agent.pid());
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarnwel::bench {

class ChildProcess {
 public:
  // Standard output and error go to `output_path` (appended); standard input
  // is /dev/null. pid() is -1 when the program could not be started.
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
               const std::string& output_path);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// Waits up to `seconds` until a "ping" on `socket_path` is answered with "ok".
bool wait_until_serving(const std::string& socket_path, double seconds);

}  // namespace tarnwel::bench
