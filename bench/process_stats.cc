#include "process_stats.h"

#include <dirent.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tarnwel::bench {
namespace {

std::string proc_path(pid_t pid, const std::string& rest) {
  return "/proc/" + std::to_string(pid) + "/" + rest;
}

// The number after `key` on its line of a "Key:   123 kB" file.
long field(const std::string& path, const std::string& key) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) == 0) return std::stol(line.substr(key.size()));
  }
  return 0;
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  return names;
}

}  // namespace

ProcessSnapshot snapshot(pid_t pid) {
  const std::string status = proc_path(pid, "status");
  return ProcessSnapshot{
      .rss_kib = field(status, "VmRSS:"),
      .pss_kib = field(proc_path(pid, "smaps_rollup"), "Pss:"),
      .locked_kib = field(status, "VmLck:"),
      .smaps_locked_kib = field(proc_path(pid, "smaps_rollup"), "Locked:"),
      .threads = static_cast<long>(entries(proc_path(pid, "task")).size()),
      .descriptors = static_cast<long>(entries(proc_path(pid, "fd")).size()),
  };
}

CpuUse cpu_use(pid_t pid) {
  CpuUse use;
  {
    // Fields 10 (minor faults), 14 and 15 (user and system time) of stat,
    // counted after the ")" that ends the command name, which may itself hold
    // blanks. All three include the threads that have ended.
    std::ifstream in(proc_path(pid, "stat"));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close != std::string::npos) {
      std::istringstream rest(text.substr(close + 2));
      std::string skip;
      for (int i = 3; i <= 9; ++i) rest >> skip;
      rest >> use.minor_faults;
      for (int i = 11; i <= 13; ++i) rest >> skip;
      std::uint64_t utime = 0;
      std::uint64_t stime = 0;
      rest >> utime >> stime;
      use.ticks = utime + stime;
    }
  }
  for (const std::string& tid : entries(proc_path(pid, "task"))) {
    std::ifstream sched(proc_path(pid, "task/" + tid + "/schedstat"));
    std::int64_t run_ns = 0;
    if (sched >> run_ns) use.on_cpu += std::chrono::nanoseconds(run_ns);
    const auto switches = static_cast<std::uint64_t>(
        field(proc_path(pid, "task/" + tid + "/status"), "voluntary_ctxt_switches:"));
    use.voluntary_switches += switches;
    if (tid == std::to_string(pid)) use.main_voluntary_switches = switches;
  }
  return use;
}

}  // namespace tarnwel::bench
