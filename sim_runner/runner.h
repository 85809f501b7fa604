// Playing a parsed scenario against the service on a simulated machine.
#pragma once

#include <ostream>
#include <string>

#include "sim_runner/scenario.h"

namespace simrunner {

struct RunOptions {
  std::string fileName;  // names failures as "file:line"
  bool quiet = false;    // print failures only
};

// Runs every step in order on a fresh machine with the service installed,
// printing the timeline to `out`. Returns the number of checks that failed.
int RunScenario(const Scenario& scenario, const RunOptions& options, std::ostream& out);

}  // namespace simrunner
