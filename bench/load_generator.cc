// tarnwel-loadgen: starts the agent (by default, and with
// TARNWEL_AGENT_WAKE_ON_CONNECT=1 when asked), the reference servers and the
// peers (ssh-agent, git's credential cache); drives them with the load scenarios, reads
// their /proc figures and writes the run's record as JSON.
//
//   tarnwel-loadgen --agent build/bench/src/main/tarnwel-agent
//                   --reference build/bench/bench/tarnwel-bench-reference
//                   --micro-json micro.json --work-dir /tmp/x --wake
//                   --info commit=abc123 --info nproc=2 > run.json
//
// Progress goes to standard error. Only ratios between figures of the same
// run are meant to be compared across runs.
#include <chrono>
#include <iostream>
#include <string>
#include <utility>

#include "load_scenarios.h"

namespace {

// The options that take a path as their value, and where each goes.
constexpr std::pair<const char*, std::string tarnwel::bench::Options::*> PATH_OPTIONS[] = {
    {"--agent", &tarnwel::bench::Options::agent},
    {"--reference", &tarnwel::bench::Options::reference},
    {"--micro-json", &tarnwel::bench::Options::micro_json},
    {"--work-dir", &tarnwel::bench::Options::work_dir},
    {"--ssh-agent", &tarnwel::bench::Options::ssh_agent},
    {"--git", &tarnwel::bench::Options::git},
};

// Takes `key`'s `value` into `options`; false when the two make no option.
bool take(tarnwel::bench::Options& options, const std::string& key, const std::string& value) {
  for (const auto& [name, field] : PATH_OPTIONS) {
    if (key != name) continue;
    options.*field = value;
    return true;
  }
  if (key == "--duration-ms") {
    options.duration = std::chrono::milliseconds(std::stol(value));
    return true;
  }
  const std::size_t equals = value.find('=');
  if (key != "--info" || equals == std::string::npos) return false;
  options.info.emplace_back(value.substr(0, equals), value.substr(equals + 1));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  tarnwel::bench::Options options;
  bool usage = false;
  for (int i = 1; i < argc && !usage; ++i) {
    const std::string key = argv[i];
    if (key == "--wake") {
      options.wake = true;
      continue;
    }
    usage = i + 1 == argc || !take(options, key, argv[i + 1]);
    ++i;
  }
  if (usage || options.agent.empty() || options.reference.empty() || options.work_dir.empty()) {
    std::cerr << "usage: tarnwel-loadgen --agent PATH --reference PATH --work-dir DIR [--wake] "
                 "[--micro-json FILE] [--ssh-agent PATH] [--git PATH] [--duration-ms N] [--info "
                 "KEY=VALUE]...\n";
    return 2;
  }
  std::optional<tarnwel::Json> run = tarnwel::bench::measure(options);
  if (!run) return 1;
  for (const auto& [key, value] : options.info) (*run)["info"][key] = value;
  std::cout << run->dump(2) << '\n';
  return 0;
}
