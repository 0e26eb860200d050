// tarnwel-loadgen: starts the agent, the reference servers and (for scale)
// ssh-agent, drives them with the load scenarios, reads their /proc figures
// and writes the measured part of docs/performance.md as markdown.
//
//   tarnwel-loadgen --agent build/bench/src/main/tarnwel-agent
//                   --reference build/bench/bench/tarnwel-bench-reference
//                   --micro-json micro.json --work-dir /tmp/x > body.md
//
// Progress goes to standard error. Every figure of one table comes from the
// same run; only ratios between them are meant to be compared across runs.
#include <iostream>
#include <string>

#include "load_document.h"
#include "load_driver.h"
#include "load_scenarios.h"

int main(int argc, char** argv) {
  tarnwel::bench::Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--agent") options.agent = value;
    else if (key == "--reference") options.reference = value;
    else if (key == "--micro-json") options.micro_json = value;
    else if (key == "--work-dir") options.work_dir = value;
    else if (key == "--ssh-agent") options.ssh_agent = value;
    else if (key == "--variant" && value.find('=') != std::string::npos) {
      options.variants.emplace_back(value.substr(0, value.find('=')), value.substr(value.find('=') + 1));
    }
    else if (key == "--duration-ms") options.duration = std::chrono::milliseconds(std::stol(value));
  }
  if (options.agent.empty() || options.reference.empty() || options.work_dir.empty()) {
    std::cerr << "usage: tarnwel-loadgen --agent PATH --reference PATH --work-dir DIR "
                 "[--micro-json FILE] [--ssh-agent PATH] [--duration-ms N] [--variant NAME=PATH]...\n";
    return 2;
  }
  const std::optional<tarnwel::bench::Measurements> measured = tarnwel::bench::measure(options);
  if (!measured) return 1;
  std::cout << tarnwel::bench::performance_document(options, *measured);
  return 0;
}
