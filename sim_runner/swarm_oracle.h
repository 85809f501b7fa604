// The swarm's checks over a whole history: what a till's owner would look at
// afterwards (the event log, how long the Spooler was down, how fast each
// control was answered, whether the queue ever took jobs its printer could
// not print). The generator records what it made happen; these checks read
// what the machine shows (its timeline, spooler journal and event log) and
// say what should have been there instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/sim/machine.h"

namespace simrunner::oracle {

inline constexpr std::int64_t kOpenEnd = std::numeric_limits<std::int64_t>::max() / 4;

// The service looks for a recognised printer's records this long after its
// arrival (the administrator's guide, entry 203).
inline constexpr std::int64_t kRecheckWindowMs = 30000;
// Records the history makes appear later than this after an arrival are not
// counted as "in time": the monitor thread looks once per pass, and the
// last pass of the window may come up to a pass before its end.
inline constexpr std::int64_t kRecordsInTimeMs = kRecheckWindowMs - 2000;

// From `from` to `to` (kOpenEnd while it lasts).
struct Span {
  std::int64_t from = 0;
  std::int64_t to = kOpenEnd;
  [[nodiscard]] bool Covers(std::int64_t a, std::int64_t b) const { return from <= a && b <= to; }
  [[nodiscard]] bool Meets(std::int64_t a, std::int64_t b) const { return from <= b && a <= to; }
};

// A device on the model's USB chip (the model's printers and its siblings)
// or another USB device.
struct Device {
  std::string path;
  std::string port;               // the port that records it; empty: none ever does
  bool model = false;             // its print interface says the model, once registered
  bool modelChip = false;         // the model's USB numbers (VID_0483&PID_5741)
  std::int64_t describedAt = -1;  // when its print interface was registered (-1: not yet)
  std::int64_t recordedAt = -1;   // when its port recorded it (-1: not yet)
};

struct Plugging {
  std::int64_t at = 0;
  int device = 0;
  bool arrival = true;
};

// One run of the service, from its start to its stop request.
struct ServiceRun {
  std::int64_t startedAt = 0;
  std::int64_t stopAt = kOpenEnd;  // the stop or shutdown control sent
  bool shutdown = false;
};

// What the history did, as the generator made it happen.
struct Record {
  std::vector<Device> devices;
  std::vector<Plugging> pluggings;
  std::vector<ServiceRun> runs;
  // Trace entries [first, second) made by an administrator's Spooler stop.
  std::vector<std::pair<std::size_t, std::size_t>> adminSpoolerStops;
  std::vector<Span> scmUnreachable;
  std::vector<Span> portListingRefused;
  std::vector<Span> portWritesRejected;
  // A device fault in force (failed or short reads, held, slow reads or
  // opens): the queue's state follows the last complete record read.
  std::vector<Span> deviceFaults;
  std::vector<Span> deviceHeld;
  // The device each of `deviceHeld` was held for.
  std::vector<std::string> deviceHeldPaths;
  std::vector<std::int64_t> shutdowns;
  // The printers' status byte from each time on (every printer of the model
  // reports the same).
  std::vector<std::pair<std::int64_t, std::uint8_t>> statusBytes;
  // The largest of each seen so far: the bounds grow with them.
  std::int64_t spoolerStopMs = 0;
  std::int64_t spoolerStartMs = 0;
  std::int64_t scmLatencyMs = 0;
  std::int64_t spoolerLatencyMs = 0;
  std::int64_t registryLatencyMs = 0;  // a steady latency
  std::int64_t registryStallMs = 0;    // a stall that clears within 1.5 s
  std::int64_t readLatencyMs = 0;

  [[nodiscard]] bool Any(const std::vector<Span>& spans, std::int64_t a, std::int64_t b) const;
  static void Open(std::vector<Span>& spans, std::int64_t at);
  static void Close(std::vector<Span>& spans, std::int64_t at);
};

// The bounds the oracle holds the service to, from the latencies the history
// gave the machine.
// A control's handler returns within this: it records, reports and signals,
// and reads the registry only for a removal's identity check.
std::int64_t ControlBoundMs(const Record& record);
// What the service may add to the Spooler's own stop and start times, and to
// a stop's end: a poll step, the pauses around the restart and a handful of
// calls at the latencies in force.
std::int64_t SlackMs(const Record& record);
// A stop ends (STOPPED reported) within this of its control.
std::int64_t StopBoundMs(const Record& record);

struct Finding {
  std::string invariant;
  std::int64_t at = 0;
  // A check in the scenario language that fails on a replay of the history,
  // when the language has one for it; empty otherwise.
  std::string expect;
};

// Every check, at virtual time `now`, over what happened so far: the first
// finding of each that fails.
std::vector<Finding> CheckHistory(const sim::Machine& machine, const Record& record, std::int64_t now);

}  // namespace simrunner::oracle
