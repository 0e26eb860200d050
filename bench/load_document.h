// The measured part of docs/performance.md, as markdown, from one run's
// measurements: the tables, each target beside the figure it is judged by,
// and a reading whose every number comes from the same run.
//
//   std::cout << performance_document(options, measure(options).value());
#pragma once

#include <string>

#include "load_driver.h"
#include "load_scenarios.h"

namespace tarnwel::bench {

std::string performance_document(const Options& options, const Measurements& m);

}  // namespace tarnwel::bench
