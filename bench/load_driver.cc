#include "load_driver.h"

#include <fstream>
#include <iostream>

#include "wire_client.h"

namespace tarnwel::bench {
namespace {

constexpr const char* PRLIMIT = "/usr/bin/prlimit";
constexpr const char* SETPRIV = "/usr/bin/setpriv";

}  // namespace

void progress(const std::string& text) { std::cerr << "tarnwel-loadgen: " << text << std::endl; }

std::string profile_name(int i) {
  std::string digits = std::to_string(i);
  return "profile-" + std::string(5 - std::min<std::size_t>(5, digits.size()), '0') + digits;
}

std::string agent_socket(const std::string& runtime_dir, uid_t uid) {
  return runtime_dir + "/tarnwel-agent-" + std::to_string(uid) + "/agent.sock";
}

bool can_run_as_ordinary_user() {
  return ::geteuid() == 0 && ::access(PRLIMIT, X_OK) == 0 && ::access(SETPRIV, X_OK) == 0;
}

std::vector<std::string> Agent::command(const std::string& agent, bool ordinary) {
  if (!ordinary) return {agent};
  const std::string limit = std::to_string(ORDINARY_MEMLOCK);
  return {PRLIMIT,
          "--memlock=" + limit + ":" + limit,
          SETPRIV,
          "--reuid=" + std::to_string(ORDINARY_UID),
          "--regid=" + std::to_string(ORDINARY_UID),
          "--clear-groups",
          agent};
}

LoadPlan load_plan(std::string_view socket, std::string_view request, std::string_view ok_mark,
                   int clients, std::chrono::milliseconds duration) {
  LoadPlan plan;
  plan.socket_path = socket;
  plan.request = request;
  plan.ok_mark = ok_mark;
  plan.clients = clients;
  plan.duration = duration;
  return plan;
}

std::size_t count_lines(const std::string& path, std::string_view text) {
  std::ifstream in(path);
  std::size_t count = 0;
  for (std::string line; std::getline(in, line);) count += line.find(text) != std::string::npos;
  return count;
}

ScenarioFigures with_costs(ScenarioFigures figures, const CpuUse& before, const CpuUse& after) {
  const auto requests = static_cast<double>(figures.ok + figures.busy + figures.failed);
  if (requests <= 0) return figures;
  figures.minor_faults_per_request =
      static_cast<double>(after.minor_faults - before.minor_faults) / requests;
  const double tick_us = 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  figures.cpu_us_per_request = static_cast<double>(after.ticks - before.ticks) * tick_us / requests;
  return figures;
}

std::string write_askpass(const std::string& work_dir) {
  const std::string path = work_dir + "/askpass-grant";
  std::ofstream(path) << "#!/bin/sh\nexit 0\n";
  ::chmod(path.c_str(), 0700);
  return path;
}

LoadResult populate(const std::string& socket, int from, int target) {
  const LoadPlan plan = load_plan(socket, "", OK_MARK);
  return run_preconnected(plan, target - from, 50, std::chrono::milliseconds(150), [from](int i) {
    return unlock_request(profile_name(from + i), SMALL_SECRET);
  });
}

}  // namespace tarnwel::bench
