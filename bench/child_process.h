// A program the load generator starts and stops: the agent, the reference
// server, the peers. Started with posix_spawn and extra environment variables;
// stopped (SIGTERM, then SIGKILL after a second) and reaped when the object
// goes away.
//
//   ChildProcess agent({"/path/tarnwel-agent"}, {"TARNWEL_AGENT_RUNTIME_DIR=/tmp/x"}, "err");
//   snapshot(agent.pid());
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "wire_client.h"

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

// Runs a program to its end as ChildProcess starts it: its exit status, or -1
// when it could not be started or did not exit normally.
int run_to_end(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
               const std::string& output_path);

// Waits up to `seconds` until a "ping" on `socket_path` is answered with "ok",
// or the `request` given with a reply that contains `ok_mark`.
bool wait_until_serving(const std::string& socket_path, double seconds,
                        std::string_view request = PING_REQUEST, std::string_view ok_mark = OK_MARK,
                        Framing framing = Framing::Line);

}  // namespace tarnwel::bench
