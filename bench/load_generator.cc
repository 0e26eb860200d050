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
#include <iostream>
#include <string>

#include "load_scenarios.h"

int main(int argc, char** argv) {
  tarnwel::bench::Options options;
  bool usage = false;
  for (int i = 1; i < argc; ++i) {
    const std::string key = argv[i];
    if (key == "--wake") {
      options.wake = true;
      continue;
    }
    if (i + 1 == argc) {
      usage = true;
      break;
    }
    const std::string value = argv[++i];
    if (key == "--agent")
      options.agent = value;
    else if (key == "--reference")
      options.reference = value;
    else if (key == "--micro-json")
      options.micro_json = value;
    else if (key == "--work-dir")
      options.work_dir = value;
    else if (key == "--ssh-agent")
      options.ssh_agent = value;
    else if (key == "--git")
      options.git = value;
    else if (key == "--duration-ms")
      options.duration = std::chrono::milliseconds(std::stol(value));
    else if (key == "--info" && value.find('=') != std::string::npos) {
      options.info.emplace_back(value.substr(0, value.find('=')),
                                value.substr(value.find('=') + 1));
    } else
      usage = true;
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
