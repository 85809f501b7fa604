#include "sim_runner/checks.h"

#include <algorithm>
#include <cstdio>

#include "sim_runner/timeline.h"
#include "sim_runner/widen.h"

namespace simrunner {

namespace {

std::string HexText(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

std::optional<std::string> CheckQueue(const Step& check, const sim::Machine& machine) {
  const auto queue = machine.Queue(Widen(check.name));
  if (!queue) return "no queue named " + check.name;
  const bool holds = (!check.paused || *check.paused == queue->paused) &&
                     (!check.status || *check.status == queue->status) &&
                     (!check.port || EqualIgnoringCase(*check.port, Narrow(queue->port)));
  if (holds) return std::nullopt;
  return std::string("paused=") + (queue->paused ? "yes" : "no") + " status=" + HexText(queue->status) +
         " port=" + Narrow(queue->port);
}

// Looks at the debugger lines from trace entry `from` on.
std::optional<std::string> CheckLog(const Step& check, const sim::Machine& machine, bool wanted, std::size_t from) {
  const auto& trace = machine.Trace();
  int lines = 0;
  for (std::size_t i = std::min(from, trace.size()); i < trace.size(); ++i) {
    const sim::TraceEntry& entry = trace[i];
    if (entry.channel != sim::TraceEntry::Channel::Debug) continue;
    ++lines;
    if (entry.text.find(check.name) == std::string::npos) continue;
    if (wanted) return std::nullopt;
    return "at " + FormatTime(entry.time).substr(FormatTime(entry.time).find_first_not_of(' ')) + ": \"" +
           PrintableText(entry.text) + "\"";
  }
  if (!wanted) return std::nullopt;
  return "no debugger line contains it (" + std::to_string(lines) + (lines == 1 ? " line " : " lines ") +
         (from == 0 ? "so far" : "since the previous checks") + ")";
}

// Entries with the id the event viewer shows, so far.
std::optional<std::string> CheckEvent(const Step& check, const sim::Machine& machine) {
  std::int64_t found = 0;
  for (const sim::EventLogEntry& entry : machine.EventLog()) {
    if (entry.ShownId() == check.number) ++found;
  }
  if (check.count ? found == *check.count : found > 0) return std::nullopt;
  return "event " + std::to_string(check.number) + " count " + std::to_string(found) + " (" +
         std::to_string(machine.EventLog().size()) + " entries so far)";
}

std::string At(std::int64_t time) { return FormatTime(time).substr(FormatTime(time).find_first_not_of(' ')); }

std::optional<std::string> CheckDigest(const Step& check, const LogDigest& digest, bool wanted, bool sinceChecks) {
  const auto found = digest.Find(check.name);
  if (found) {
    if (wanted) return std::nullopt;
    return "at " + At(found->first) + ": \"" + PrintableText(found->second) + "\"";
  }
  if (!wanted) return std::nullopt;
  const std::size_t lines = digest.Lines();
  return "no debugger line contains it (" + std::to_string(lines) + (lines == 1 ? " line " : " lines ") +
         (sinceChecks ? "since the previous checks" : "so far") + ")";
}

}  // namespace

void LogDigest::Add(std::int64_t time, const std::string& text) {
  ++lines_;
  if (index_.try_emplace(text, firstSeen_.size()).second) firstSeen_.emplace_back(time, text);
}

void LogDigest::Clear() {
  lines_ = 0;
  firstSeen_.clear();
  index_.clear();
}

std::optional<std::pair<std::int64_t, std::string>> LogDigest::Find(const std::string& text) const {
  for (const auto& seen : firstSeen_) {
    if (seen.second.find(text) != std::string::npos) return seen;
  }
  return std::nullopt;
}

void CheckHistory::Traced(const sim::TraceEntry& entry) {
  if (entry.channel != sim::TraceEntry::Channel::Debug) return;
  allLines.Add(entry.time, entry.text);
  newLines.Add(entry.time, entry.text);
}

void CheckHistory::Commanded(const sim::SpoolerCommand& command) {
  if (command.kind != sim::SpoolerCommand::Kind::SetPort) return;
  const std::string port = Narrow(command.port);
  const bool known =
      std::any_of(portsWritten.begin(), portsWritten.end(), [&](const auto& written) { return written.first == port; });
  if (!known) portsWritten.emplace_back(port, command.time);
}

void CheckHistory::Logged(const sim::EventLogEntry& entry) {
  ++eventsById[entry.ShownId()];
  ++events;
}

std::optional<std::string> EvaluateCheck(const Step& check, const sim::Machine& machine, const CheckHistory& history) {
  using Kind = Step::Kind;
  switch (check.kind) {
    case Kind::ExpectLog:
      return CheckDigest(check, history.allLines, true, false);
    case Kind::ExpectNoLog:
      return CheckDigest(check, history.allLines, false, false);
    case Kind::ExpectNewLog:
      return CheckDigest(check, history.newLines, true, true);
    case Kind::ExpectNoNewLog:
      return CheckDigest(check, history.newLines, false, true);
    case Kind::ExpectEvent: {
      const auto it = history.eventsById.find(static_cast<std::uint32_t>(check.number));
      const std::int64_t found = it == history.eventsById.end() ? 0 : it->second;
      if (check.count ? found == *check.count : found > 0) return std::nullopt;
      return "event " + std::to_string(check.number) + " count " + std::to_string(found) + " (" +
             std::to_string(history.events) + " entries so far)";
    }
    case Kind::ExpectPortWritesOnly:
      for (const auto& [port, time] : history.portsWritten) {
        bool allowed = false;
        for (const std::string& wanted : check.ports) allowed = allowed || EqualIgnoringCase(wanted, port);
        if (!allowed) return "a port write of \"" + port + "\" at " + At(time);
      }
      return std::nullopt;
    default:
      // The others look at the machine as it is now.
      return EvaluateCheck(check, machine, 0);
  }
}

std::string ServiceStateName(std::uint32_t state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "start-pending";
    case SERVICE_STOP_PENDING:
      return "stop-pending";
    case SERVICE_RUNNING:
      return "running";
    default:
      return "state " + std::to_string(state);
  }
}

std::optional<std::string> EvaluateCheck(const Step& check, const sim::Machine& machine, std::size_t newSince) {
  using Kind = Step::Kind;
  const std::uint32_t wantedState = check.running ? SERVICE_RUNNING : SERVICE_STOPPED;
  switch (check.kind) {
    case Kind::ExpectQueue:
      return CheckQueue(check, machine);
    case Kind::ExpectLog:
      return CheckLog(check, machine, true, 0);
    case Kind::ExpectNoLog:
      return CheckLog(check, machine, false, 0);
    case Kind::ExpectNewLog:
      return CheckLog(check, machine, true, newSince);
    case Kind::ExpectNoNewLog:
      return CheckLog(check, machine, false, newSince);
    case Kind::ExpectSpooler:
      if (machine.SpoolerState() == wantedState) return std::nullopt;
      return "the spooler is " + ServiceStateName(machine.SpoolerState());
    case Kind::ExpectSpoolerRestarts:
      if (machine.SpoolerRestarts() == check.number) return std::nullopt;
      return "spooler-restarts " + std::to_string(machine.SpoolerRestarts());
    case Kind::ExpectService:
      if (machine.ServiceState() == wantedState) return std::nullopt;
      return "the service last reported " + ServiceStateName(machine.ServiceState());
    case Kind::ExpectOpenHandles: {
      const int open = machine.OpenHandles().Total();
      if (open == check.number) return std::nullopt;
      std::string found = "open-handles " + std::to_string(open) + " (";
      for (const auto& [kind, count] : machine.OpenHandles().byKind) found += " " + kind + ":" + std::to_string(count);
      return found + " )";
    }
    case Kind::ExpectEvent:
      return CheckEvent(check, machine);
    case Kind::ExpectPortWritesOnly:
      for (const sim::SpoolerCommand& command : machine.SpoolerJournal()) {
        if (command.kind != sim::SpoolerCommand::Kind::SetPort) continue;
        const std::string port = Narrow(command.port);
        bool allowed = false;
        for (const std::string& wanted : check.ports) allowed = allowed || EqualIgnoringCase(wanted, port);
        if (!allowed) {
          return "a port write of \"" + port + "\" at " +
                 FormatTime(command.time).substr(FormatTime(command.time).find_first_not_of(' '));
        }
      }
      return std::nullopt;
    case Kind::ExpectLongestControl:
      if (machine.LongestControl() < check.number) return std::nullopt;
      return "longest-control " +
             FormatTime(machine.LongestControl()).substr(FormatTime(machine.LongestControl()).find_first_not_of(' ')) +
             " s";
    default:
      return "not a check";
  }
}

}  // namespace simrunner
