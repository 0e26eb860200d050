#include "load_report.h"

#include <utility>

namespace tarnwel::bench {

ScenarioFigures figures_of(std::string server, std::string scenario, int clients,
                           const LoadResult& result) {
  return ScenarioFigures{
      .server = std::move(server),
      .scenario = std::move(scenario),
      .clients = clients,
      .latency = summarise(result.latencies),
      .per_second = result.seconds > 0 ? static_cast<double>(result.ok) / result.seconds : 0,
      .per_second_by_round = {},
      .ok = result.ok,
      .busy = result.busy,
      .failed = result.failed,
      .failure_sample = result.failure_sample,
  };
}

Json to_json(const ScenarioFigures& row) {
  const LatencySummary& l = row.latency;
  Json out = {
      {"server", row.server},
      {"scenario", row.scenario},
      {"clients", row.clients},
      {"requests_per_second", row.per_second},
      {"latency_ms",
       {{"min", l.min_ms},
        {"p50", l.p50_ms},
        {"p90", l.p90_ms},
        {"p99", l.p99_ms},
        {"max", l.max_ms},
        {"mean", l.mean_ms}}},
      {"ok", row.ok},
      {"busy", row.busy},
      {"failed", row.failed},
  };
  if (!row.per_second_by_round.empty())
    out["requests_per_second_by_round"] = row.per_second_by_round;
  if (row.failed > 0) out["first_failure"] = row.failure_sample;
  if (row.minor_faults_per_request >= 0) {
    out["minor_faults_per_request"] = row.minor_faults_per_request;
  }
  if (row.cpu_us_per_request >= 0) out["cpu_us_per_request"] = row.cpu_us_per_request;
  return out;
}

}  // namespace tarnwel::bench
