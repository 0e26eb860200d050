#include "client/agent_launcher.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/executable_search.h"
#include "base/os_error.h"
#include "base/process_executable.h"
#include "base/spawn.h"
#include "base/utf8.h"
#include "client/agent_log.h"
#include "paths/runtime_dir.h"

extern char** environ;  // NOLINT: POSIX declares it nowhere

namespace tarnwel {
namespace {

constexpr std::string_view AGENT_PROGRAM = "tarnwel-agent";
// Set to 1, clients never start an agent: a service manager does.
constexpr const char* SERVICE_ONLY = "TARNWEL_AGENT_SERVICE_ONLY";
// How often a starting agent is asked whether it is ready.
constexpr std::chrono::milliseconds PING_INTERVAL{20};

// The caller's environment, and where `socket_path` is relative, the
// absolute base directory that yields it: the agent runs in "/", not in the
// caller's working directory, and must still find the same socket. An agent
// started for a client answers at once (wake-on-connect) unless the caller's
// environment says otherwise; a bare agent keeps the polled default.
std::vector<std::string> agent_environment(const std::string& socket_path) {
  constexpr std::string_view BASE_VARIABLE = "TARNWEL_AGENT_RUNTIME_DIR=";
  constexpr std::string_view WAKE_VARIABLE = "TARNWEL_AGENT_WAKE_ON_CONNECT=";
  std::optional<std::string> absolute_base;
  if (!socket_path.starts_with('/')) {
    std::error_code failed;
    const std::filesystem::path here = std::filesystem::current_path(failed);
    if (!failed) absolute_base = (here / directory_of(directory_of(socket_path))).string();
  }
  std::vector<std::string> environment;
  bool wake_given = false;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view variable = *entry;
    if (absolute_base && variable.starts_with(BASE_VARIABLE)) continue;
    wake_given = wake_given || variable.starts_with(WAKE_VARIABLE);
    environment.emplace_back(variable);
  }
  if (absolute_base) environment.push_back(std::string(BASE_VARIABLE) + *absolute_base);
  if (!wake_given) environment.push_back(std::string(WAKE_VARIABLE) + "1");
  return environment;
}

// Starts `program` with `log` (-1: none) as its standard error.
Result<pid_t, std::string> spawn_detached(const std::string& program,
                                          const std::string& socket_path, int log) {
  SpawnSetup setup;
  // Descriptor 0 first, then 1 and 2 as copies of it or of the log: the agent
  // opens nothing of its own on them, and no pipe of the caller's stays open
  // in it.
  int err = posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDWR, 0);
  if (err == 0) err = posix_spawn_file_actions_adddup2(&setup.actions, 0, 1);
  if (err == 0) err = posix_spawn_file_actions_adddup2(&setup.actions, log >= 0 ? log : 0, 2);
  // Nor any other descriptor the caller left open without close-on-exec: a
  // shell's "3>&1" into a pipe would otherwise stay open for the agent's life.
  if (err == 0) err = close_descriptors_from(setup, 3);
  // A long-lived process keeps no directory of the caller's busy.
  if (err == 0) err = posix_spawn_file_actions_addchdir_np(&setup.actions, "/");
  // Whatever the caller ignores or blocks (a shell's SIGINT under "&", say)
  // must not stick to a long-lived agent.
  if (err == 0) err = reset_signals(setup);
  if (err == 0) err = add_flags(setup, POSIX_SPAWN_SETSID);
  if (err != 0) return "posix_spawn setup: " + os_error_text(err);

  const std::vector<std::string> arguments = {program};
  const std::vector<std::string> environment = agent_environment(socket_path);
  const std::vector<char*> argv = c_strings(arguments);
  const std::vector<char*> envp = c_strings(environment);
  pid_t pid = -1;
  err = ::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(), envp.data());
  if (err != 0) return "posix_spawn " + display_path(program) + ": " + os_error_text(err);
  return pid;
}

std::string how_it_ended(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
  return "ended";
}

// Why an agent that ended at start did: its last line in the log and where
// that is, or where its lines would have been.
// `place` is null when it had no log; the agent's lines follow its first
// `offset` bytes.
std::string what_it_said(const AgentLogPlace* place, off_t offset) {
  if (place == nullptr) {
    return "; it had no log to say why in (its place is under XDG_STATE_HOME or HOME)";
  }
  const std::string path = display_path(log_path(*place));
  const std::vector<std::string> lines = agent_lines_after(*place, offset);
  if (lines.empty()) return " and wrote nothing to " + path;
  return ": " + single_line_lossy(lines.back()) + " (from " + path + ")";
}

}  // namespace

std::optional<std::string> find_agent_program() {
  if (const std::optional<std::string> self = process_executable(::getpid())) {
    if (std::optional<std::string> beside = executable_beside(*self, AGENT_PROGRAM)) return beside;
  }
  return find_on_path(AGENT_PROGRAM);
}

std::optional<std::string> client_setting_problem() {
  const std::optional<std::string> only = process_env(SERVICE_ONLY);
  if (!only || *only == "1" || *only == "0") return std::nullopt;
  return std::string(SERVICE_ONLY) + " must be 1 or 0, not \"" + single_line_lossy(*only) + "\"";
}

bool may_be_replaced(const ClientError& why) {
  return why.kind == ClientError::Kind::NoAgent ||
         (why.kind == ClientError::Kind::Agent && why.code == ErrorCode::ProtocolMismatch);
}

Result<StartedAgent, std::string> ensure_agent_running(const Client& client,
                                                       const std::string& program,
                                                       Result<AgentIdentity, ClientError> probe,
                                                       std::chrono::nanoseconds wait) {
  if (probe.ok()) return StartedAgent{true, std::move(probe).value()};
  // A mismatching agent has just been told to stop by that ping, and the new
  // one takes over its socket once it is gone.
  if (!may_be_replaced(probe.error())) return describe(probe.error());
  // For users who leave the agent to the service manager alone (a systemd
  // socket or a LaunchAgent): no second way for an agent to come up.
  if (const std::optional<std::string> problem = client_setting_problem()) return *problem;
  if (process_env(SERVICE_ONLY) == "1") {
    return "nothing answers at " + display_path(client.socket_path()) + ", and " + SERVICE_ONLY +
           "=1 leaves starting an agent to the service manager";
  }

  const std::optional<AgentLogPlace> log_place = agent_log_place(process_env);
  const UniqueFd log = log_place ? open_agent_log(*log_place) : UniqueFd();
  // Where its own lines will begin, should it end at start.
  struct stat log_stat {};
  const off_t log_size = log.valid() && ::fstat(log.get(), &log_stat) == 0 ? log_stat.st_size : 0;
  Result<pid_t, std::string> spawned = spawn_detached(program, client.socket_path(), log.get());
  if (!spawned.ok()) return std::move(spawned).error();
  const pid_t pid = spawned.value();
  // At once: a serving agent writes nothing before it serves a request (one
  // that refuses to start may, which is why its lines are read by offset).
  if (log.valid()) mark_agent_start(log.get(), pid);

  const Instant deadline = MonotonicClock::now() + wait;
  while (true) {
    Result<AgentIdentity, ClientError> pong = client.ping();
    if (pong.ok()) return StartedAgent{false, std::move(pong).value()};
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      // It ended by itself: it found another agent serving (which a last ping
      // reaches), or it refused to start and said why on its stderr, the log
      // or /dev/null.
      Result<AgentIdentity, ClientError> last = client.ping();
      if (last.ok()) return StartedAgent{false, std::move(last).value()};
      return display_path(program) + " " + how_it_ended(status) + " before answering" +
             what_it_said(log.valid() ? &*log_place : nullptr, log_size);
    }
    if (MonotonicClock::now() >= deadline) {
      return display_path(program) + " was started but did not answer within " +
             std::to_string(std::chrono::ceil<std::chrono::seconds>(wait).count()) +
             " s: " + describe(pong.error());
    }
    std::this_thread::sleep_for(PING_INTERVAL);
  }
}

}  // namespace tarnwel
