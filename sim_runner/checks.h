// Evaluating a scenario's checks against the simulated machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/sim/machine.h"
#include "sim_runner/scenario.h"

namespace simrunner {

// The debugger lines of a stretch of a run as the log checks need them: how
// many there were, and each distinct text with the time it first appeared,
// in that order. A status pass logs the same line each time, so a week of
// them is a handful of texts, not a million lines.
class LogDigest {
 public:
  void Add(std::int64_t time, const std::string& text);
  void Clear();
  [[nodiscard]] std::size_t Lines() const { return lines_; }
  // The first line containing `text`: its time and its text.
  [[nodiscard]] std::optional<std::pair<std::int64_t, std::string>> Find(const std::string& text) const;

 private:
  std::size_t lines_ = 0;
  std::vector<std::pair<std::int64_t, std::string>> firstSeen_;
  std::unordered_map<std::string, std::size_t> index_;
};

// What the checks need of the run so far, taken from the machine's records
// as they grow, so that a long run may drop those records.
struct CheckHistory {
  LogDigest allLines;
  LogDigest newLines;  // since the previous checks
  // Each port written into a queue (SetPort, whether or not it took), first
  // write first.
  std::vector<std::pair<std::string, std::int64_t>> portsWritten;
  // Event log entries by the id the event viewer shows, and in all.
  std::map<std::uint32_t, std::int64_t> eventsById;
  std::int64_t events = 0;

  void Traced(const sim::TraceEntry& entry);
  void Commanded(const sim::SpoolerCommand& command);
  void Logged(const sim::EventLogEntry& entry);
};

// Evaluates a check against the machine's present state and the history.
std::optional<std::string> EvaluateCheck(const Step& check, const sim::Machine& machine, const CheckHistory& history);

// Returns nothing when the check holds, otherwise what was found instead.
// The new-log checks look at the machine's trace from entry `newSince` on:
// what was logged since the previous checks.
std::optional<std::string> EvaluateCheck(const Step& check, const sim::Machine& machine, std::size_t newSince = 0);

// "running", "stopped", "start-pending", ... for a service state.
std::string ServiceStateName(std::uint32_t state);

}  // namespace simrunner
