// The load driver's pieces: the agent under test started on a runtime
// directory of its own (as the ordinary user when asked), load plans, and the
// per-request costs read from /proc around a load.
//
//   Agent agent(options, "agent-load", write_askpass(options.work_dir));
//   LoadResult r = run_closed_loop(load_plan(agent.socket, PING_REQUEST, OK_MARK, 8));
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "child_process.h"
#include "load_report.h"
#include "load_run.h"
#include "process_stats.h"
#include "wire_client.h"

namespace tarnwel::bench {

struct Options {
  std::string agent;
  std::string reference;
  std::string micro_json;
  std::string work_dir;
  // The peers measured beside the agent; ssh-keygen and ssh-add are taken
  // from ssh-agent's directory.
  std::string ssh_agent = "/usr/bin/ssh-agent";
  std::string git = "/usr/bin/git";
  std::chrono::milliseconds duration{2000};
  // Whether the agent is also measured with TARNWEL_AGENT_WAKE_ON_CONNECT=1.
  bool wake = false;
  // Facts about the run (machine, commit) copied into its record as given.
  std::vector<std::pair<std::string, std::string>> info;
};

inline constexpr const char* WAKE_SETTING = "TARNWEL_AGENT_WAKE_ON_CONNECT=1";

inline constexpr std::string_view SECRET = "correct-horse-battery-staple-0042";
// The 32-byte secrets that fill the cache for the memory figures.
inline constexpr std::string_view SMALL_SECRET = SECRET.substr(0, 32);
inline constexpr uid_t ORDINARY_UID = 65534;  // nobody
inline constexpr long ORDINARY_MEMLOCK = 8L << 20;

void progress(const std::string& text);
// "profile-00042": names that sort as their numbers do.
std::string profile_name(int i);
std::string agent_socket(const std::string& runtime_dir, uid_t uid = ::getuid());
// Whether an agent can be started as an ordinary user (nobody) under the
// common 8 MiB locked-memory limit: this program runs as root and has
// prlimit and setpriv (util-linux).
bool can_run_as_ordinary_user();

// A running agent with a runtime directory of its own and the askpass program
// that grants at once; as the ordinary user when asked and possible.
struct Agent {
  Agent(const Options& options, const std::string& name, const std::string& askpass,
        bool ordinary = false, const std::string& extra_env = "")
      : as_ordinary_user(ordinary && can_run_as_ordinary_user()),
        runtime_dir(make_dir(as_ordinary_user ? own_dir(name) : options.work_dir + "/" + name)),
        removed_at_end{as_ordinary_user ? runtime_dir : std::string()},
        socket(agent_socket(runtime_dir, as_ordinary_user ? ORDINARY_UID : ::getuid())),
        process(
            command(as_ordinary_user ? hand_over(options.agent, "tarnwel-agent") : options.agent,
                    as_ordinary_user),
            environment(runtime_dir, as_ordinary_user ? hand_over(askpass, "askpass-grant") : askpass,
                        extra_env),
            options.work_dir + "/" + name + ".log") {}
  // Removes a directory outside the work directory, after the agent has gone.
  struct RemovedAtEnd {
    std::string path;
    ~RemovedAtEnd() {
      std::error_code ignored;
      if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
  };

  static std::string make_dir(const std::string& path) {
    ::mkdir(path.c_str(), 0700);
    return path;
  }
  // The work directory is root's alone: the ordinary user gets a directory of
  // its own beside it.
  static std::string own_dir(const std::string& name) {
    std::string path = "/tmp/tarnwel-bench-" + name + "-XXXXXX";
    if (::mkdtemp(path.data()) == nullptr) return path;
    if (::chown(path.c_str(), ORDINARY_UID, ORDINARY_UID) != 0)
      progress("cannot hand " + path + " to nobody");
    return path;
  }
  // A copy of the program at `program` in the ordinary user's own directory:
  // that user may not reach the original (a checkout under a 0700 home).
  std::string hand_over(const std::string& program, const std::string& name) const {
    const std::string path = runtime_dir + "/" + name;
    std::filesystem::copy_file(program, path, std::filesystem::copy_options::overwrite_existing);
    if (::chown(path.c_str(), ORDINARY_UID, ORDINARY_UID) != 0)
      progress("cannot hand " + path + " to nobody");
    return path;
  }
  static std::vector<std::string> environment(const std::string& runtime_dir,
                                              const std::string& askpass,
                                              const std::string& extra) {
    std::vector<std::string> env = {"TARNWEL_AGENT_RUNTIME_DIR=" + runtime_dir,
                                    "TARNWEL_AGENT_ASKPASS=" + askpass};
    if (!extra.empty()) env.push_back(extra);
    return env;
  }
  static std::vector<std::string> command(const std::string& agent, bool ordinary);

  bool as_ordinary_user;
  std::string runtime_dir;
  RemovedAtEnd removed_at_end;
  std::string socket;
  ChildProcess process;
};

LoadPlan load_plan(std::string_view socket, std::string_view request, std::string_view ok_mark,
                   int clients = 1,
                   std::chrono::milliseconds duration = std::chrono::milliseconds(2000));

// Lines of the file at `path` that contain `text`.
std::size_t count_lines(const std::string& path, std::string_view text);

// `figures` with the minor faults and CPU time the server spent between two
// readings, per request.
ScenarioFigures with_costs(ScenarioFigures figures, const CpuUse& before, const CpuUse& after);

// An askpass program in `work_dir` that grants at once.
std::string write_askpass(const std::string& work_dir);

// Fills the agent's cache from `from` up to `target` profiles with unlocks one
// after the other. Each goes over a connection opened in a batch beforehand,
// so the accept loop's poll is paid once per batch, not once per profile;
// unlocks of different profiles at once would be refused as presence_busy.
// A batch is small enough that its last connection is served within the
// agent's request time-out even when each unlock's presence program takes
// tens of milliseconds on a busy machine.
LoadResult populate(const std::string& socket, int from, int target);

}  // namespace tarnwel::bench
