// Evaluating a scenario's checks against the simulated machine.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/sim/machine.h"
#include "sim_runner/scenario.h"

namespace simrunner {

// Returns nothing when the check holds, otherwise what was found instead.
// The new-log checks look at the machine's trace from entry `newSince` on:
// what was logged since the previous checks.
std::optional<std::string> EvaluateCheck(const Step& check, const sim::Machine& machine, std::size_t newSince = 0);

// "running", "stopped", "start-pending", ... for a service state.
std::string ServiceStateName(std::uint32_t state);

}  // namespace simrunner
