// Playing a parsed scenario against the service on a simulated machine.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/machine.h"

#include "sim_runner/scenario.h"

namespace simrunner {

struct RunOptions {
  std::string fileName;  // names failures as "file:line"
  bool quiet = false;    // print failures only
  // Draws the schedule from this seed (today's fixed order without one).
  std::optional<std::uint64_t> seed;
  // When set, receives the picture of the run as an SVG document.
  std::string* picture = nullptr;
  // Draws only this stretch of virtual time (FROM..TO in milliseconds).
  std::optional<std::pair<std::int64_t, std::int64_t>> window = std::nullopt;
  // Drops the machine's records (timeline, spooler journal, event log) once
  // they are printed and taken into the checks' and the picture's own
  // digests, so that a run of any length holds only those. Off for callers
  // that read the machine's records themselves.
  bool forgetHistory = false;
};

// A simulated machine with the service installed, on which steps are played
// one at a time, printing the timeline as they go.
class Session {
 public:
  Session(const RunOptions& options, std::ostream& out, std::optional<std::uint64_t> seed);
  // Stops a service still running, off the timeline.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Carries out a setup step or an event and lets the service react. Returns
  // the Win32 error of a refused service start or control, else 0.
  std::uint32_t Perform(const Step& step);
  // Evaluates a check: nothing when it held, else what was found. A new-log
  // check looks at what was logged since the checks before the last steps.
  std::optional<std::string> Check(const Step& step);
  sim::Machine& Machine();
  // What the machine caught the programs doing so far (tag fault).
  [[nodiscard]] std::vector<sim::TraceEntry> Faults() const;
  // The picture of the run so far, when the options asked for one.
  [[nodiscard]] std::string Picture(const std::string& fileName) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Runs every step in order on a fresh machine with the service installed,
// printing the timeline to `out` (and drawing its picture when asked).
// Returns the number of checks that failed.
int RunScenario(const Scenario& scenario, const RunOptions& options, std::ostream& out);

}  // namespace simrunner
