// One row of the load figures (a server driven with one request at one
// number of clients) and its form in the run's JSON record.
//
//   ScenarioFigures row = figures_of("agent", "ping", 8, result);
//   run["closed_loop"].push_back(to_json(row));
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "latency_summary.h"
#include "load_run.h"
#include "protocol/json.h"

namespace tarnwel::bench {

struct ScenarioFigures {
  std::string server;
  std::string scenario;
  int clients = 0;
  LatencySummary latency;
  double per_second = 0;  // Ok replies per second of wall time
  std::vector<double> per_second_by_round;
  std::size_t ok = 0;
  std::size_t busy = 0;
  std::size_t failed = 0;
  std::string failure_sample;
  // The server's own cost, over every request of the row; negative when not
  // measured.
  double minor_faults_per_request = -1;
  double cpu_us_per_request = -1;
};

ScenarioFigures figures_of(std::string server, std::string scenario, int clients,
                           const LoadResult& result);

// Costs that were not measured are left out rather than written as -1.
Json to_json(const ScenarioFigures& row);

}  // namespace tarnwel::bench
