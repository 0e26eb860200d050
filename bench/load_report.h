// Markdown for the performance document: load tables with every figure also
// as a ratio to the reference server of the same run, and small helpers for
// the other tables.
//
//   std::vector<ScenarioFigures> rows = {figures_of("agent", "ping", 8, result)};
//   out << load_table(rows, reference_rows);
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "latency_summary.h"
#include "load_run.h"

namespace tarnwel::bench {

struct ScenarioFigures {
  std::string server;
  std::string scenario;
  int clients = 0;
  LatencySummary latency;
  double per_second = 0;  // Ok replies per second of wall time
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

// One row per figure; "x ref" columns divide by the reference row with the
// same number of clients, "x poll" columns by the `same_loop` row with the
// same number of clients ("-" when there is no such row).
std::string load_table(const std::vector<ScenarioFigures>& rows,
                       const std::vector<ScenarioFigures>& reference,
                       const std::vector<ScenarioFigures>& same_loop = {});

// The reference row for `clients`, or none.
const ScenarioFigures* find_clients(const std::vector<ScenarioFigures>& rows, int clients);

// Fixed-point text: fixed(3.14159, 2) == "3.14".
std::string fixed(double value, int digits);

// "| a | b |\n|---|---|\n" for the header cells.
std::string table_header(const std::vector<std::string>& cells);
std::string table_row(const std::vector<std::string>& cells);

}  // namespace tarnwel::bench
