#include "load_report.h"

#include <cstdio>
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
      .ok = result.ok,
      .busy = result.busy,
      .failed = result.failed,
      .failure_sample = result.failure_sample,
  };
}

std::string fixed(double value, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, value);
  return text;
}

std::string table_row(const std::vector<std::string>& cells) {
  std::string row = "|";
  for (const std::string& cell : cells) row += " " + cell + " |";
  return row + "\n";
}

std::string table_header(const std::vector<std::string>& cells) {
  std::string rule = "|";
  for (std::size_t i = 0; i < cells.size(); ++i) rule += "---|";
  return table_row(cells) + rule + "\n";
}

const ScenarioFigures* find_clients(const std::vector<ScenarioFigures>& rows, int clients) {
  for (const ScenarioFigures& row : rows) {
    if (row.clients == clients) return &row;
  }
  return nullptr;
}

std::string load_table(const std::vector<ScenarioFigures>& rows,
                       const std::vector<ScenarioFigures>& reference,
                       const std::vector<ScenarioFigures>& same_loop) {
  std::string out = table_header({"server", "scenario", "clients", "req/s", "x ref req/s",
                                  "x poll req/s", "min ms", "p50 ms", "p90 ms", "p99 ms",
                                  "max ms", "x ref p99", "x poll p99", "minor faults/req",
                                  "CPU µs/req", "ok", "busy", "failed"});
  const auto ratio = [](double a, double b) { return b > 0 ? fixed(a / b, 3) : "-"; };
  const auto cost = [](double value, int digits) { return value >= 0 ? fixed(value, digits) : "-"; };
  for (const ScenarioFigures& r : rows) {
    const ScenarioFigures* ref = find_clients(reference, r.clients);
    const ScenarioFigures* poll = find_clients(same_loop, r.clients);
    out += table_row({r.server, r.scenario, std::to_string(r.clients), fixed(r.per_second, 0),
                      ref ? ratio(r.per_second, ref->per_second) : "-",
                      poll ? ratio(r.per_second, poll->per_second) : "-",
                      fixed(r.latency.min_ms, 3), fixed(r.latency.p50_ms, 3),
                      fixed(r.latency.p90_ms, 3), fixed(r.latency.p99_ms, 3),
                      fixed(r.latency.max_ms, 3),
                      ref ? ratio(r.latency.p99_ms, ref->latency.p99_ms) : "-",
                      poll ? ratio(r.latency.p99_ms, poll->latency.p99_ms) : "-",
                      cost(r.minor_faults_per_request, 2), cost(r.cpu_us_per_request, 1),
                      std::to_string(r.ok), std::to_string(r.busy), std::to_string(r.failed)});
  }
  for (const ScenarioFigures& r : rows) {
    if (r.failed == 0) continue;
    out += "\nFirst failure of " + r.server + " " + r.scenario + " with " +
           std::to_string(r.clients) + " client(s): `" + r.failure_sample + "`\n";
  }
  return out;
}

}  // namespace tarnwel::bench
