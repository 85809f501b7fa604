#include "sim_runner/swarm_oracle.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "sim_runner/timeline.h"
#include "sim_runner/widen.h"

namespace simrunner::oracle {

namespace {

using sim::TraceEntry;

constexpr std::wstring_view kQueueName = L"KX310MQ47H";
constexpr char kQueuePortAtSetup[] = "USB001";

std::string Seconds(std::int64_t ms) {
  const std::string text = FormatTime(ms);
  return text.substr(text.find_first_not_of(' ')) + " s";
}

// The four status rules, each replacing what the one before did: whether
// they leave the queue paused for status byte `s`.
bool RulesPause(std::uint8_t s) {
  // The rules run in order and the last that fires decides: paper present
  // with the cover closed resumes the queue, needs-attention or not (0x30
  // sends its pause, then the resume).
  const bool coverOpen = (s & 0x04) != 0;
  const bool paper = (s & 0x20) != 0;
  return coverOpen || !paper;
}

// What the machine and the record say about one moment or stretch of the
// history.
class View {
 public:
  View(const sim::Machine& machine, const Record& record) : machine_(machine), record_(record) {
    // When each run of the service had registered for device notifications:
    // from then on Windows tells it of every arrival and removal.
    for (const ServiceRun& run : record.runs) {
      std::int64_t registered = kOpenEnd;
      for (const TraceEntry& entry : machine.Trace()) {
        if (entry.time < run.startedAt || entry.time > run.stopAt) continue;
        if (entry.channel == TraceEntry::Channel::Scm && entry.text == "device notifications registered") {
          registered = entry.time;
          break;
        }
      }
      registeredAt_.push_back(registered);
    }
  }

  // The run of the service that is told of a device event at `at`, if one
  // is: registered for notifications and no stop asked for yet.
  [[nodiscard]] std::optional<std::size_t> RunSeeing(std::int64_t at) const {
    for (std::size_t i = 0; i < record_.runs.size(); ++i) {
      if (registeredAt_[i] < at && at < record_.runs[i].stopAt) return i;
    }
    return std::nullopt;
  }
  // Whether the service was running (started, no stop asked for) at `at`.
  [[nodiscard]] bool RunAt(std::int64_t at) const {
    return std::any_of(record_.runs.begin(), record_.runs.end(),
                       [&](const ServiceRun& run) { return run.startedAt <= at && at <= run.stopAt; });
  }
  [[nodiscard]] bool RunningThrough(std::int64_t from, std::int64_t to) const {
    return std::any_of(record_.runs.begin(), record_.runs.end(),
                       [&](const ServiceRun& run) { return run.startedAt <= from && to < run.stopAt; });
  }

  [[nodiscard]] bool Attached(int device, std::int64_t at) const {
    bool attached = false;
    for (const Plugging& plugging : record_.pluggings) {
      if (plugging.at > at) break;
      if (plugging.device == device) attached = plugging.arrival;
    }
    return attached;
  }
  // Whether the device stayed plugged in from `from` to `to`.
  [[nodiscard]] bool AttachedThrough(int device, std::int64_t from, std::int64_t to) const {
    if (!Attached(device, from)) return false;
    return std::none_of(record_.pluggings.begin(), record_.pluggings.end(), [&](const Plugging& p) {
      return p.device == device && !p.arrival && p.at > from && p.at <= to;
    });
  }
  [[nodiscard]] int ModelPrintersAttached(std::int64_t at) const {
    int count = 0;
    for (std::size_t i = 0; i < record_.devices.size(); ++i) {
      if (record_.devices[i].model && Attached(static_cast<int>(i), at)) ++count;
    }
    return count;
  }
  [[nodiscard]] std::optional<int> DeviceOf(const std::wstring& path) const {
    const std::string narrow = Narrow(path);
    for (std::size_t i = 0; i < record_.devices.size(); ++i) {
      if (EqualIgnoringCase(record_.devices[i].path, narrow)) return static_cast<int>(i);
    }
    return std::nullopt;
  }
  [[nodiscard]] std::uint8_t StatusAt(std::int64_t at) const {
    std::uint8_t status = 0x20;
    for (const auto& [from, byte] : record_.statusBytes) {
      if (from > at) break;
      status = byte;
    }
    return status;
  }
  // Since when the status byte has asked for a paused queue, as of `at`
  // (kOpenEnd when it does not).
  [[nodiscard]] std::int64_t PausedSince(std::int64_t at) const {
    std::int64_t since = kOpenEnd;
    for (const auto& [from, byte] : record_.statusBytes) {
      if (from > at) break;
      if (!RulesPause(byte)) {
        since = kOpenEnd;
      } else if (since == kOpenEnd) {
        since = from;
      }
    }
    return since;
  }
  [[nodiscard]] std::string QueuePortAt(std::int64_t at) const {
    std::string port = kQueuePortAtSetup;
    for (const sim::SpoolerCommand& command : machine_.SpoolerJournal()) {
      if (command.time > at) break;
      if (command.kind == sim::SpoolerCommand::Kind::SetPort && command.succeeded && command.queue == kQueueName) {
        port = Narrow(command.port);
      }
    }
    return port;
  }

 private:
  const sim::Machine& machine_;
  const Record& record_;
  std::vector<std::int64_t> registeredAt_;
};

// Whether the service's last look for the printer before `at` found it but
// could not open it.
bool LastOpenFailed(const sim::Machine& machine, std::int64_t at) {
  bool failed = false;
  for (const TraceEntry& entry : machine.Trace()) {
    if (entry.time > at) break;
    if (entry.channel != TraceEntry::Channel::Debug) continue;
    if (entry.text.find(" DevicePath:") != std::string::npos) failed = false;
    if (entry.text.find(" Printer device open failed:") != std::string::npos) failed = true;
  }
  return failed;
}

// Whether the removal of the device at `path` that held back its arrival
// completed between `from` and `to`.
bool RemovalCompleted(const sim::Machine& machine, const std::string& path, std::int64_t from, std::int64_t to) {
  for (const TraceEntry& entry : machine.Trace()) {
    if (entry.time < from || entry.channel != TraceEntry::Channel::Device) continue;
    if (entry.time > to) break;
    if (ContainsIgnoringCase(entry.text, "removal of " + path) &&
        entry.text.find(" complete: its last handle closed") != std::string::npos) {
      return true;
    }
  }
  return false;
}

// Whether the device at `path`, plugged in at `at`, was held back: a handle
// to it was still open, so it arrives only once that handle closes.
bool PluggedBack(const sim::Machine& machine, const std::string& path, std::int64_t at) {
  for (const TraceEntry& entry : machine.Trace()) {
    if (entry.time < at || entry.channel != TraceEntry::Channel::Device) continue;
    if (entry.time > at) break;
    if (ContainsIgnoringCase(entry.text, "plugged back " + path)) return true;
  }
  return false;
}

// Whether another program held the device at `path` at `at`.
bool HeldAt(const Record& record, const std::string& path, std::int64_t at) {
  for (std::size_t i = 0; i < record.deviceHeld.size() && i < record.deviceHeldPaths.size(); ++i) {
    // Held from a step after an entry of the same millisecond is not held
    // when it was written.
    const Span& held = record.deviceHeld[i];
    if (held.from < at && at <= held.to && EqualIgnoringCase(record.deviceHeldPaths[i], path)) return true;
  }
  return false;
}

std::string InsertOf(const sim::EventLogEntry& entry, std::size_t index) {
  return index < entry.inserts.size() ? Narrow(entry.inserts[index]) : std::string();
}

std::string CountExpect(int id, int count) {
  return "expect event " + std::to_string(id) + " count " + std::to_string(count);
}

int CountOf(const sim::Machine& machine, DWORD id) {
  return static_cast<int>(std::count_if(machine.EventLog().begin(), machine.EventLog().end(),
                                        [id](const sim::EventLogEntry& e) { return e.ShownId() == id; }));
}

// The longest a re-binding waits for the Spooler (6 s for it to stop, 6 s
// to start, the 1 s pause after): an event queued behind one is looked at
// after it.
constexpr std::int64_t kRebindingWaitsMs = 13000;

// ---- The Spooler's downtime.

// Each stretch the Spooler was not running, from its stop to its next
// RUNNING, and whether an administrator's stop began it.
struct Downtime {
  std::int64_t from = 0;
  std::int64_t to = kOpenEnd;
  bool byAdministrator = false;
};

std::vector<Downtime> Downtimes(const sim::Machine& machine, const Record& record) {
  std::vector<Downtime> downtimes;
  bool up = true;
  const auto& trace = machine.Trace();
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const TraceEntry& entry = trace[i];
    if (entry.channel != TraceEntry::Channel::Scm) continue;
    if (up && (entry.text.starts_with("Spooler stopping") || entry.text == "Spooler stopped")) {
      up = false;
      const bool admin = std::any_of(record.adminSpoolerStops.begin(), record.adminSpoolerStops.end(),
                                     [i](const auto& range) { return range.first <= i && i < range.second; });
      downtimes.push_back({entry.time, kOpenEnd, admin});
    } else if (!up && entry.text == "Spooler started") {
      up = true;
      downtimes.back().to = entry.time;
    }
  }
  return downtimes;
}

std::optional<Finding> CheckDowntime(const sim::Machine& machine, const Record& record, std::int64_t now) {
  const std::int64_t allowed = record.spoolerStopMs + record.spoolerStartMs + SlackMs(record);
  for (const Downtime& down : Downtimes(machine, record)) {
    // Excused: a Spooler an administrator stopped is theirs to start; one
    // down across a shutdown went down with the machine.
    if (down.byAdministrator) continue;
    const std::int64_t to = std::min(down.to, now);
    // (A stop request under way when the shutdown came takes effect a call
    // later.)
    if (std::any_of(record.shutdowns.begin(), record.shutdowns.end(),
                    [&](std::int64_t at) { return down.from - ControlBoundMs(record) <= at && at <= to; })) {
      continue;
    }
    // While the control manager cannot be reached nobody can start it: the
    // bound counts from when it can be reached again.
    std::int64_t from = down.from;
    bool unreachableStill = false;
    for (const Span& span : record.scmUnreachable) {
      if (!span.Meets(down.from, to)) continue;
      if (span.to >= to) unreachableStill = true;
      from = std::max(from, span.to);
    }
    if (unreachableStill) continue;
    if (to - from > allowed) {
      return Finding{"the Spooler, stopped by the service at " + Seconds(down.from) + ", is down no longer than its " +
                         "stop and start times plus " + std::to_string(SlackMs(record)) + " ms (" +
                         std::to_string(allowed) + " ms); it was down " + std::to_string(to - from) + " ms",
                     from + allowed, ""};
    }
  }
  return std::nullopt;
}

// ---- Controls.

std::optional<Finding> CheckLongestControl(const sim::Machine& machine, const Record& record, std::int64_t now) {
  const std::int64_t bound = ControlBoundMs(record);
  if (machine.LongestControl() >= bound) {
    return Finding{"every control is answered within " + std::to_string(bound) + " ms (longest " +
                       std::to_string(machine.LongestControl()) + " ms)",
                   now, "expect longest-control below " + std::to_string(bound) + "ms"};
  }
  return std::nullopt;
}

std::optional<Finding> CheckStopShown(const sim::Machine& machine, const Record& record, std::int64_t now) {
  const std::int64_t bound = ControlBoundMs(record);
  // A stop is shown as STOP_PENDING at once; one control may be ahead of it
  // in the dispatcher's queue.
  const auto& trace = machine.Trace();
  for (std::size_t i = 0; i < trace.size(); ++i) {
    const TraceEntry& entry = trace[i];
    if (entry.channel != TraceEntry::Channel::Scm) continue;
    if (entry.text != "control 1 sent to the service" && entry.text != "control 5 sent to the service") continue;
    std::int64_t shown = kOpenEnd;
    for (std::size_t j = i + 1; j < trace.size(); ++j) {
      if (trace[j].channel == TraceEntry::Channel::Service &&
          (trace[j].text.starts_with("status STOP_PENDING") || trace[j].text.starts_with("status STOPPED"))) {
        shown = trace[j].time;
        break;
      }
    }
    const std::int64_t deadline = entry.time + 2 * bound;
    if (std::min(shown, now) > deadline) {
      return Finding{"a stop sent at " + Seconds(entry.time) + " is shown STOP_PENDING within " +
                         std::to_string(2 * bound) + " ms" +
                         (shown == kOpenEnd ? std::string(" (not yet)")
                                            : " (after " + std::to_string(shown - entry.time) + " ms)"),
                     deadline, ""};
    }
  }
  return std::nullopt;
}

std::optional<Finding> CheckWritesAfterStop(const sim::Machine& machine, const Record& record, std::int64_t now) {
  // A stop ends the port-write retries: at most the write under way goes
  // out after the handler has it, which may be a control's bound after it
  // was sent (controls reach the handler one at a time).
  const std::int64_t bound = ControlBoundMs(record);
  for (const ServiceRun& run : record.runs) {
    if (run.stopAt == kOpenEnd) continue;
    int writes = 0;
    for (const sim::SpoolerCommand& command : machine.SpoolerJournal()) {
      if (command.kind == sim::SpoolerCommand::Kind::SetPort && command.time > run.stopAt + bound &&
          std::none_of(record.runs.begin(), record.runs.end(), [&](const ServiceRun& later) {
            return later.startedAt > run.stopAt && later.startedAt <= command.time;
          })) {
        ++writes;
      }
    }
    if (writes > 1) {
      return Finding{"a stop at " + Seconds(run.stopAt) + " ends the port-write retries (" + std::to_string(writes) +
                         " port writes after it)",
                     now, ""};
    }
  }
  return std::nullopt;
}

// ---- The event log.

std::optional<Finding> CheckMoves(const sim::Machine& machine) {
  // Every move of the queue, as the Spooler took it.
  std::vector<std::pair<std::string, std::string>> moves;
  std::string port = kQueuePortAtSetup;
  for (const sim::SpoolerCommand& command : machine.SpoolerJournal()) {
    if (command.kind != sim::SpoolerCommand::Kind::SetPort || !command.succeeded || command.queue != kQueueName)
      continue;
    const std::string to = Narrow(command.port);
    if (EqualIgnoringCase(to, port)) continue;
    moves.emplace_back(port, to);
    port = to;
  }
  // Each move's entry: the first unused 120 after it that names its two
  // ports (the entry may come after the Spooler's restart).
  const auto& log = machine.EventLog();
  std::vector<bool> used(log.size(), false);
  const auto count = static_cast<int>(moves.size());
  for (const auto& move : moves) {
    bool found = false;
    for (std::size_t i = 0; i < log.size() && !found; ++i) {
      if (used[i] || log[i].ShownId() != 120) continue;
      if (EqualIgnoringCase(InsertOf(log[i], 0), move.first) && EqualIgnoringCase(InsertOf(log[i], 1), move.second)) {
        used[i] = found = true;
      }
    }
    if (!found) {
      return Finding{
          "every move of the queue has its entry 120: the move from " + move.first + " to " + move.second + " has none",
          0, CountExpect(120, count)};
    }
  }
  for (std::size_t i = 0; i < log.size(); ++i) {
    if (used[i] || log[i].ShownId() != 120) continue;
    return Finding{"an entry 120 says the queue moved from " + InsertOf(log[i], 0) + " to " + InsertOf(log[i], 1) +
                       " at " + Seconds(log[i].time) + ", a move it never made",
                   log[i].time, CountExpect(120, count)};
  }
  return std::nullopt;
}

// The entries of id `only` about the devices (0: those about a device that
// is not the model's printer).
std::optional<Finding> CheckPrinterEntries(const sim::Machine& machine, const Record& record, const View& view,
                                           std::int64_t now, DWORD only) {
  const auto& log = machine.EventLog();
  const std::vector<Downtime> downtimes = Downtimes(machine, record);
  for (std::size_t d = 0; d < record.devices.size(); ++d) {
    const Device& device = record.devices[d];
    const int index = static_cast<int>(d);
    const auto entriesFor = [&](DWORD id, std::int64_t from, std::int64_t to) {
      int found = 0;
      for (const sim::EventLogEntry& entry : log) {
        if (entry.ShownId() == id && entry.time >= from && entry.time < to &&
            EqualIgnoringCase(InsertOf(entry, 0), device.path)) {
          ++found;
        }
      }
      return found;
    };
    // No entry names a device that is not the model's printer.
    if (!device.model) {
      if (only != 0) continue;
      for (const DWORD id : {110u, 111u, 203u}) {
        if (entriesFor(id, 0, kOpenEnd) > 0) {
          return Finding{
              "no entry " + std::to_string(id) + " for " + device.path + ", which is not the model's printer", now,
              CountExpect(static_cast<int>(id), CountOf(machine, id) - entriesFor(id, 0, kOpenEnd))};
        }
      }
      continue;
    }
    std::vector<const Plugging*> pluggings;
    for (const Plugging& p : record.pluggings) {
      if (p.device == index) pluggings.push_back(&p);
    }
    // Counted over the whole history rather than per plugging: the monitor
    // thread may write an entry after the next plugging has happened.
    int unplugsOwed = 0;
    int unplugsAllowed = 0;
    int arrivalsAllowed = 0;
    for (const ServiceRun& run : record.runs) {
      if (view.Attached(index, run.startedAt)) ++arrivalsAllowed;
    }
    for (std::size_t k = 0; k < pluggings.size(); ++k) {
      const Plugging& p = *pluggings[k];
      // An entry about this plugging comes before the next one of the same
      // kind (the monitor thread may write an unplug's entry after the
      // printer is back).
      std::int64_t next = kOpenEnd;
      for (std::size_t later = k + 1; later < pluggings.size(); ++later) {
        if (pluggings[later]->arrival == p.arrival) {
          next = pluggings[later]->at;
          break;
        }
      }
      const std::optional<std::size_t> run = view.RunSeeing(p.at);
      if (!p.arrival) {
        // A printer plugged back while a handle to it was still open arrives
        // only once that handle closes; unplugged before then, it never
        // arrived, and nobody is told of its going.
        const bool neverArrived = k > 0 && pluggings[k - 1]->arrival &&
                                  PluggedBack(machine, device.path, pluggings[k - 1]->at) &&
                                  !RemovalCompleted(machine, device.path, pluggings[k - 1]->at, p.at);
        // The unplug of the printer: one 110, when the service was told of
        // it and the printer was recognised (the removal reads its print
        // interface's entries). With two printers of the model plugged in,
        // whether the one the queue does not follow gets one is open.
        const bool recognised = device.describedAt >= 0 && device.describedAt <= p.at;
        // At a shutdown the service sends nothing more (the machine is going
        // down): an unplug it had not taken yet has no entry.
        const bool shutdownBeforeTaken =
            run && record.runs[*run].shutdown && record.runs[*run].stopAt - p.at <= kRebindingWaitsMs + SlackMs(record);
        if (run && recognised && !neverArrived && !shutdownBeforeTaken && view.ModelPrintersAttached(p.at) == 0 &&
            now - p.at > kRebindingWaitsMs + SlackMs(record)) {
          ++unplugsOwed;
        }
        if (view.RunAt(p.at)) ++unplugsAllowed;
        continue;
      }
      if (view.RunAt(p.at)) ++arrivalsAllowed;
      // 111 says the printer is recognised and shows its state: never
      // before its print interface and port record are there, nor while
      // another program holds it.
      for (const sim::EventLogEntry& entry : log) {
        if (only != 111) break;
        if (entry.ShownId() != 111 || entry.time < p.at || entry.time >= next ||
            !EqualIgnoringCase(InsertOf(entry, 0), device.path)) {
          continue;
        }
        std::string why;
        if (device.describedAt < 0 || device.describedAt > entry.time) {
          why = "its print interface was not registered";
        } else if (device.port.empty() || device.recordedAt < 0 || device.recordedAt > entry.time) {
          why = "no port recorded it";
        } else if (HeldAt(record, device.path, entry.time)) {
          why = "another program held it, so it could not be opened";
        }
        if (!why.empty()) {
          return Finding{"entry 111 (the printer is back and its queue set) is true when written: at " +
                             Seconds(entry.time) + " for " + device.path + " " + why,
                         entry.time, ""};
        }
      }
      if (!run) continue;
      // A printer plugged back while a handle to it was still open arrives
      // later, once that handle closes: its window is not the plug's.
      if (PluggedBack(machine, device.path, p.at)) continue;
      const std::int64_t describedBy = std::max(device.describedAt, p.at);
      const std::int64_t recordedBy = std::max(device.recordedAt, p.at);
      const bool describedInTime = device.describedAt >= 0 && describedBy - p.at <= kRecordsInTimeMs;
      const bool recordedInTime =
          !device.port.empty() && device.recordedAt >= 0 && recordedBy - p.at <= kRecordsInTimeMs;
      // 203: records that did not come. Never when both came in time (a
      // port listing refused meanwhile is entry 300's to report), once when
      // they never came and the service waited the whole window for them.
      const int late = entriesFor(203, p.at, next);
      if (only == 203 && late > 0 && describedInTime && recordedInTime) {
        const bool refused = record.Any(record.portListingRefused, p.at, p.at + kRecheckWindowMs) ||
                             std::any_of(downtimes.begin(), downtimes.end(), [&](const Downtime& down) {
                               return down.from <= p.at + kRecheckWindowMs && p.at <= down.to;
                             });
        return Finding{"no entry 203 for the arrival of " + device.path + " at " + Seconds(p.at) +
                           ": its records appeared within " + std::to_string(std::max(describedBy, recordedBy) - p.at) +
                           " ms" +
                           (refused ? " (the port list could not be had meanwhile: entry 300's to report)" : ""),
                       p.at, ""};
      }
      // A status read that hangs holds the monitor thread's re-check until
      // it ends (only device events and the stop cut it short), so the
      // window's verdict may come that much later.
      const std::int64_t windowEnd = p.at + kRecheckWindowMs + 5000 + record.readLatencyMs;
      const bool waitedTheWindow =
          windowEnd < now && view.AttachedThrough(index, p.at, windowEnd) && view.RunningThrough(p.at, windowEnd) &&
          !record.Any(record.portListingRefused, p.at, windowEnd) &&
          !record.Any(record.scmUnreachable, p.at, windowEnd) && view.ModelPrintersAttached(p.at) == 1 &&
          // A Spooler down lists no ports either: the service waits for it.
          std::none_of(downtimes.begin(), downtimes.end(),
                       [&](const Downtime& down) { return down.from <= windowEnd && p.at <= down.to; });
      // The queue follows the printer that arrived last: another printer of
      // the model arriving within the window settles this one's wait.
      const bool supersededByALaterArrival =
          std::any_of(record.pluggings.begin(), record.pluggings.end(), [&](const Plugging& other) {
            return other.arrival && other.device != index && other.at > p.at && other.at <= windowEnd &&
                   record.devices[static_cast<std::size_t>(other.device)].model;
          });
      if (only == 203 && waitedTheWindow && !supersededByALaterArrival && !(describedInTime && recordedInTime) &&
          device.describedAt < windowEnd && (device.recordedAt < 0 || device.recordedAt > windowEnd) && late != 1) {
        return Finding{"the arrival of " + device.path + " at " + Seconds(p.at) +
                           ", whose port never recorded it, has one entry 203 (found " + std::to_string(late) + ")",
                       windowEnd, ""};
      }
      // 300: the port list could not be had for the whole window, while
      // the queue was on another port than the printer's.
      if (only == 300 && describedInTime && device.recordedAt >= 0 && device.recordedAt <= p.at && windowEnd < now &&
          record.Any(record.portListingRefused, p.at, p.at) &&
          std::any_of(record.portListingRefused.begin(), record.portListingRefused.end(),
                      [&](const Span& s) { return s.Covers(p.at, windowEnd); }) &&
          view.AttachedThrough(index, p.at, windowEnd) && view.RunningThrough(p.at, windowEnd) &&
          // A control manager that cannot be reached cannot say whether the
          // Spooler runs, and a Spooler down lists no ports: the service
          // waits for it, its window starting again once it runs.
          !record.Any(record.scmUnreachable, p.at, windowEnd) &&
          std::none_of(downtimes.begin(), downtimes.end(),
                       [&](const Downtime& down) { return down.from <= windowEnd && p.at <= down.to; }) &&
          !EqualIgnoringCase(view.QueuePortAt(p.at), device.port)) {
        int failed = 0;
        for (const sim::EventLogEntry& entry : log) {
          if (entry.ShownId() == 300 && entry.time >= p.at && entry.time <= windowEnd && !entry.inserts.empty() &&
              ContainsIgnoringCase(InsertOf(entry, 0), device.path)) {
            ++failed;
          }
        }
        if (failed != 1) {
          return Finding{"the arrival of " + device.path + " at " + Seconds(p.at) +
                             ", with the port list refused for the whole re-check window, has one entry 300 (found " +
                             std::to_string(failed) + ")",
                         windowEnd, ""};
        }
      }
    }
    const int unplugged = entriesFor(110, 0, kOpenEnd);
    if (only == 110 && (unplugged < unplugsOwed || unplugged > unplugsAllowed)) {
      return Finding{"the unplugs of " + device.path + " have one entry 110 each: at least " +
                         std::to_string(unplugsOwed) + ", at most " + std::to_string(unplugsAllowed) + " (found " +
                         std::to_string(unplugged) + ")",
                     now, ""};
    }
    for (const DWORD id : {111u, 203u}) {
      const int found = entriesFor(id, 0, kOpenEnd);
      if (only == id && found > arrivalsAllowed) {
        return Finding{"the arrivals of " + device.path + " have at most one entry " + std::to_string(id) +
                           " each: at most " + std::to_string(arrivalsAllowed) + " (found " + std::to_string(found) +
                           ")",
                       now, ""};
      }
    }
  }
  return std::nullopt;
}

std::optional<Finding> CheckLastingConditions(const sim::Machine& machine, const Record& record) {
  const std::vector<Downtime> downtimes = Downtimes(machine, record);
  const auto downtimeAt = [&](std::int64_t at) -> const Downtime* {
    for (const Downtime& down : downtimes) {
      if (down.from <= at && at <= down.to) return &down;
    }
    return nullptr;
  };
  // 202: the Spooler still stopping when the service was to start it; once
  // per stop, and only when it was.
  std::vector<const Downtime*> owed;
  for (const sim::EventLogEntry& entry : machine.EventLog()) {
    if (entry.ShownId() != 202) continue;
    const Downtime* down = downtimeAt(entry.time);
    if (down == nullptr) {
      return Finding{
          "entry 202 (the Spooler still stopping) at " + Seconds(entry.time) + " is true when written: the Spooler ran",
          entry.time, ""};
    }
    if (std::find(owed.begin(), owed.end(), down) != owed.end()) {
      return Finding{"entry 202 is written once per Spooler stop: again at " + Seconds(entry.time), entry.time, ""};
    }
    owed.push_back(down);
  }
  // The debugger line of an owed start, once until it changes.
  std::vector<const Downtime*> said;
  for (const TraceEntry& entry : machine.Trace()) {
    if (entry.channel != TraceEntry::Channel::Debug ||
        entry.text.find(" Spooler still stopping: it is started once stopped") == std::string::npos) {
      continue;
    }
    const Downtime* down = downtimeAt(entry.time);
    if (down != nullptr && std::find(said.begin(), said.end(), down) != said.end()) {
      return Finding{"the debugger line of an owed Spooler start is written once until it changes: again at " +
                         Seconds(entry.time),
                     entry.time, ""};
    }
    said.push_back(down);
  }
  return std::nullopt;
}

// ---- The queue against its printer.

std::optional<Finding> CheckResumes(const sim::Machine& machine, const Record& record, const View& view,
                                    std::int64_t now) {
  // The status rules run on a fresh read before the monitor thread waits
  // again: a queue resumed while its printer had asked for a pause for a
  // while, and left running for more than the moments its fresh read and
  // commands take, takes jobs it cannot print. A byte that changed just
  // before the resume is excused (the read before it saw the old one).
  // A pass that sends two pairs makes twelve Spooler calls after its read.
  const std::int64_t before = 14 * record.spoolerLatencyMs + 100;
  const std::int64_t leftRunning = 300 + 4 * record.spoolerLatencyMs;
  const auto& journal = machine.SpoolerJournal();
  for (std::size_t i = 0; i < journal.size(); ++i) {
    const sim::SpoolerCommand& command = journal[i];
    if (command.kind != sim::SpoolerCommand::Kind::Resume || !command.succeeded || command.queue != kQueueName)
      continue;
    const std::int64_t at = command.time;
    std::int64_t paused = now;
    for (std::size_t j = i + 1; j < journal.size(); ++j) {
      if (journal[j].kind == sim::SpoolerCommand::Kind::Pause && journal[j].queue == kQueueName) {
        paused = journal[j].time;
        break;
      }
    }
    if (paused - at <= leftRunning) continue;
    if (!view.RunSeeing(at) || !view.RunSeeing(paused)) continue;
    bool recognisedAttached = false;
    for (std::size_t d = 0; d < record.devices.size(); ++d) {
      const Device& device = record.devices[d];
      if (device.model && device.describedAt >= 0 && device.describedAt <= at &&
          view.AttachedThrough(static_cast<int>(d), at, paused)) {
        recognisedAttached = true;
      }
    }
    if (!recognisedAttached) continue;
    // A printer another program held when the service last looked for it
    // was not opened, and the service looks again only at the next arrival:
    // it mirrors nothing meanwhile, and a re-binding's resume stands.
    if (LastOpenFailed(machine, at)) continue;
    // A read that fails or comes short leaves the last complete record in
    // force, which may say otherwise; a slow read answers late.
    if (record.Any(record.deviceFaults, at - before, paused)) continue;
    const std::int64_t since = view.PausedSince(paused);
    if (since == kOpenEnd || since > at - before) continue;
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02X", view.StatusAt(at));
    return Finding{"the queue is not left running while its printer asks for a pause: resumed at " + Seconds(at) +
                       " with status byte " + byte + " since " + Seconds(since) + ", paused again " +
                       std::to_string(paused - at) + " ms later",
                   at, ""};
  }
  return std::nullopt;
}

}  // namespace

bool Record::Any(const std::vector<Span>& spans, std::int64_t a, std::int64_t b) const {
  return std::any_of(spans.begin(), spans.end(), [&](const Span& s) { return s.Meets(a, b); });
}

void Record::Open(std::vector<Span>& spans, std::int64_t at) {
  if (spans.empty() || spans.back().to != kOpenEnd) spans.push_back({at, kOpenEnd});
}

void Record::Close(std::vector<Span>& spans, std::int64_t at) {
  if (!spans.empty() && spans.back().to == kOpenEnd) spans.back().to = at;
}

std::int64_t ControlBoundMs(const Record& record) {
  // A stall lasts up to 1500 ms: a call begun at its end waits the stall's
  // latency after it, so the removal's registry look may take both.
  const std::int64_t stall = record.registryStallMs > 0 ? record.registryStallMs + 1500 : 0;
  return 250 + 4 * record.scmLatencyMs + std::max(6 * record.registryLatencyMs, stall);
}

std::int64_t SlackMs(const Record& record) {
  return 3000 + 12 * std::max({record.scmLatencyMs, record.spoolerLatencyMs, record.registryLatencyMs}) +
         record.registryStallMs;
}

std::int64_t StopBoundMs(const Record& record) {
  return record.spoolerStopMs + record.spoolerStartMs + SlackMs(record) + ControlBoundMs(record);
}

std::vector<Finding> CheckHistory(const sim::Machine& machine, const Record& record, std::int64_t now) {
  const View view(machine, record);
  const std::optional<Finding> found[] = {
      CheckLongestControl(machine, record, now),
      CheckStopShown(machine, record, now),
      CheckWritesAfterStop(machine, record, now),
      CheckDowntime(machine, record, now),
      CheckMoves(machine),
      CheckPrinterEntries(machine, record, view, now, 0),
      CheckPrinterEntries(machine, record, view, now, 110),
      CheckPrinterEntries(machine, record, view, now, 111),
      CheckPrinterEntries(machine, record, view, now, 203),
      CheckPrinterEntries(machine, record, view, now, 300),
      CheckLastingConditions(machine, record),
      CheckResumes(machine, record, view, now),
  };
  std::vector<Finding> findings;
  for (const auto& finding : found) {
    if (finding) findings.push_back(*finding);
  }
  return findings;
}

}  // namespace simrunner::oracle
