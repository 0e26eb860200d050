// Harness for end-to-end tests: the real agent binary in a child process, on a
// private runtime directory, spoken to with raw bytes over its socket.
//
// Thread-safety: none; each test drives its own objects from one thread.
//
//   TempDir root;
//   AgentProcess agent(agent_environment(root.path(), askpass.program()));
//   ASSERT_TRUE(wait_until_serving(agent, socket_path_in(root.path())));
//   EXPECT_EQ(round_trip(path, "{\"cmd\":\"status\",\"protocol_version\":2}\n"), "...");
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "support/event_limit.h"

namespace tarnwel::testing {

using namespace std::chrono_literals;

// Polls `done` until it holds or `limit` passes; returns whether it held. For
// events a test can observe but is not notified of (a file appears, a process
// ends), never as a guess at how long something takes.
bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds limit = EVENT_LIMIT);

// A fresh directory under /tmp, removed with everything in it at scope exit.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// What lstat() says of `path`: a failure, and all zeros, if it names nothing.
struct stat lstat_of(const std::string& path);
// Everything the file at `path` holds; "" if it cannot be read.
std::string read_file(const std::string& path);
// The permission bits of what `path` names.
inline mode_t mode_of(const std::string& path) { return lstat_of(path).st_mode & 07777; }

// Where the agent puts its socket for the base directory `base`.
std::string runtime_dir_in(const std::string& base);
std::string socket_path_in(const std::string& base);

// A complete environment for the agent: the base directory, the askpass
// program (left out when empty), PATH=/usr/bin:/bin, and any sanitizer options
// of ours.
std::vector<std::string> agent_environment(const std::string& base, const std::string& askpass);

// Spawns `program` with `args` and exactly `environment`, fds 0-2 as given
// (-1: /dev/null); -1 (and a failure) if it cannot.
pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const std::vector<std::string>& environment, int in, int out, int err);

// The agent binary running as a child with exactly `environment`. Its stdout and
// stderr both go to one stream, so anything written to stdout shows up as
// output too. The guard kills and reaps the child if it still runs at scope exit.
class AgentProcess {
 public:
  explicit AgentProcess(const std::vector<std::string>& environment);
  // A child that `start` spawns with its stdout and stderr on the descriptor
  // it is given, and whose pid it returns (-1 if none).
  explicit AgentProcess(const std::function<pid_t(int output)>& start);
  // Takes charge of the child `pid`, started otherwise; its output is not kept.
  explicit AgentProcess(pid_t pid) : pid_(pid) {}
  ~AgentProcess();
  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // The exit code once the agent has ended (128 + signal if a signal ended
  // it), or nothing if it still runs after `limit`.
  std::optional<int> wait_for_exit(std::chrono::milliseconds limit = EVENT_LIMIT);
  void kill_and_reap();
  // Everything written so far; after the agent has ended, everything it wrote.
  std::string output();

 private:
  pid_t pid_ = -1;
  std::optional<int> exit_code_;
  UniqueFd output_;
  std::string output_text_;
};

// The exit status of the child `pid` once it ends, or -1 if it did not exit
// normally.
int exit_status_of(pid_t pid);

// Waits until `agent` has started up: while it runs, until a ping at
// `socket_path` gets its exact reply (with the agent's pid), which only the
// serving loop gives, once the socket is in place with its mode. False, with
// a failure, if it answered wrong, or ended first or never answered: the
// failure then gives its exit status and everything it wrote.
bool wait_until_serving(AgentProcess& agent, const std::string& socket_path);

// Bounds every read from `fd` by `limit`: a stalled peer fails the test
// instead of hanging it.
void limit_reads(int fd, std::chrono::milliseconds limit = EVENT_LIMIT);

// A connected client stream, closed on exec and raising no SIGPIPE where the
// system lets a socket say so (macOS; on Linux sends pass MSG_NOSIGNAL), or an
// invalid one if nothing accepts at the path.
UniqueFd connect_to(const std::string& socket_path);
// Sends `bytes` on a new connection and returns the stream, unread.
UniqueFd send_request(const std::string& socket_path, std::string_view bytes);
// Reads until the agent closes the stream (each read bounded by `limit`: a
// stalled agent fails the test instead of hanging it).
std::string read_reply(int stream, std::chrono::milliseconds limit = EVENT_LIMIT);
// One request, one reply: the reply's bytes, or "" if nothing answered.
std::string round_trip(const std::string& socket_path, std::string_view bytes);

constexpr std::string_view PING = "{\"cmd\":\"ping\",\"protocol_version\":2}\n";
// The exact reply to PING from the agent with process id `pid`.
std::string ping_reply(pid_t pid);

}  // namespace tarnwel::testing
