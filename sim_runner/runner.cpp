#include "sim_runner/runner.h"

#include <filesystem>

#include "common/event_log.h"
#include "platform/sim/machine.h"
#include "service/service_main.h"
#include "service/service_state.h"
#include "sim_runner/checks.h"
#include "sim_runner/picture.h"
#include "sim_runner/status_bits.h"
#include "sim_runner/svg.h"
#include "sim_runner/timeline.h"
#include "sim_runner/widen.h"

namespace simrunner {

namespace {

// The name the service is installed under, as its process expects, and the
// file its event source names, as install.cmd registers them.
constexpr char kServiceName[] = "testserviceQ5M2K9";
constexpr char kInstalledServicePath[] = "C:\\Program Files\\spoolsync\\spoolsync.exe";

struct Printer {
  const sim::Machine& machine;
  const RunOptions& options;
  std::ostream& out;
  std::size_t printedTrace = 0;

  void Line(std::string_view tag, std::string_view text) {
    if (!options.quiet) out << TimelineLine(machine.Now(), tag, text) << '\n';
  }
  // Prints the trace entries added since the last call.
  void NewTrace() {
    const auto& trace = machine.Trace();
    for (; printedTrace < trace.size(); ++printedTrace) {
      if (!options.quiet) out << TimelineLine(trace[printedTrace]) << '\n';
    }
  }
};

std::uint32_t ReportRefusal(Printer& printer, std::uint32_t error) {
  if (error != 0) printer.Line("result", "refused: " + DescribeError(error));
  return error;
}

// Carries out one setup step or event and lets the service react. Returns
// the error of a refused start or control (0 otherwise).
std::uint32_t Perform(sim::Machine& machine, const Step& step, Printer& printer) {
  using Kind = Step::Kind;
  std::uint32_t refused = 0;
  switch (step.kind) {
    case Kind::Queue:
      machine.AddQueue(Widen(step.name), Widen(*step.port));
      break;
    case Kind::Port:
      machine.AddPort(Widen(step.name), step.deviceId);
      break;
    case Kind::Device:
      // A known device gets new print-interface records, as a printer class
      // driver that registers them late does.
      if (machine.HasDevice(Widen(step.name))) {
        machine.SetDeviceDescription(Widen(step.name), step.description);
        if (step.status) machine.SetDeviceStatus(Widen(step.name), static_cast<BYTE>(*step.status));
      } else {
        machine.AddDevice(Widen(step.name), step.description, static_cast<BYTE>(step.status.value_or(kNewDeviceStatus)),
                          step.notifyCase == "upper"   ? sim::PathCase::Upper
                          : step.notifyCase == "lower" ? sim::PathCase::Lower
                                                       : sim::PathCase::AsIs);
      }
      break;
    case Kind::Plug:
      machine.Plug(Widen(step.name));
      break;
    case Kind::Unplug:
      machine.Unplug(Widen(step.name));
      break;
    case Kind::Status:
      machine.SetDeviceStatus(Widen(step.name), static_cast<BYTE>(*step.status));
      break;
    case Kind::ServiceStart:
      refused = ReportRefusal(printer, machine.StartService());
      break;
    case Kind::ServiceStop:
      refused = ReportRefusal(printer, machine.SendControl(SERVICE_CONTROL_STOP));
      break;
    case Kind::ServiceControl:
      refused = ReportRefusal(printer, machine.SendControl(static_cast<DWORD>(step.number)));
      break;
    case Kind::SpoolerStop:
      refused = ReportRefusal(printer, machine.StopSpooler());
      break;
    case Kind::SpoolerStart:
      refused = ReportRefusal(printer, machine.StartSpooler());
      break;
    case Kind::SpoolerStopTime:
      machine.SetSpoolerStopTime(step.number);
      break;
    case Kind::SpoolerStartTime:
      machine.SetSpoolerStartTime(step.number);
      break;
    case Kind::SpoolerDependent:
      machine.SetSpoolerDependent(step.name, step.running);
      break;
    case Kind::Wait:
      machine.Advance(step.number);
      return 0;
    case Kind::ClockTicks:
      machine.SetTickCount(static_cast<DWORD>(step.number));
      return 0;
    case Kind::CodePage: {
      const auto codePage = static_cast<UINT>(step.number);
      machine.SetCodePages(step.name == "system" ? codePage : machine.SystemCodePage(),
                           step.name == "thread" ? codePage : machine.ThreadCodePage());
      break;
    }
    case Kind::FaultDevice: {
      sim::DeviceFaults faults;
      faults.readError = step.faults.readError;
      faults.shortRead = step.faults.shortRead;
      faults.readLatency = step.faults.readLatency;
      faults.openLatency = step.faults.openLatency;
      faults.heldByOtherProgram = step.faults.held;
      if (faults.readError == 0u) faults.readError.reset();
      machine.SetDeviceFaults(Widen(step.name), faults);
      break;
    }
    case Kind::FaultSpooler:
      if (step.faults.portWriteError) machine.RejectPortWrites(*step.faults.portWriteError);
      if (step.faults.enumPortsError) machine.FailPortEnumeration(*step.faults.enumPortsError);
      if (step.faults.spoolerLatency) machine.SetSpoolerLatency(*step.faults.spoolerLatency);
      break;
    case Kind::FaultRegistry:
      machine.SetRegistryLatency(step.faults.registryLatency.value_or(0));
      break;
    case Kind::FaultScm:
      if (step.faults.scmError) machine.SetServiceManagerUnreachable(*step.faults.scmError);
      if (step.faults.scmLatency) machine.SetServiceManagerLatency(*step.faults.scmLatency);
      break;
    default:
      return 0;
  }
  machine.RunUntilIdle();
  return refused;
}

}  // namespace

struct Session::Impl {
  // A copy: the session may outlive the options it was made with.
  RunOptions options;
  sim::Machine machine;
  Printer printer;
  // Where the lines a new-log check looks at begin in the trace, and whether
  // the last step was a check (the next event starts new lines).
  std::size_t newLinesFrom = 0;
  bool checked = false;
  Impl(const RunOptions& runOptions, std::ostream& out) : options(runOptions), printer{machine, options, out} {}
};

Session::Session(const RunOptions& options, std::ostream& out, std::optional<std::uint64_t> seed)
    : impl_(std::make_unique<Impl>(options, out)) {
  impl_->machine.InstallService(kServiceName, [] {
    ResetServiceState();  // a new process starts with its state zeroed
    return RunServiceProcess();
  });
  impl_->machine.RegisterEventLogSource(kEventSourceName, kInstalledServicePath);
  if (seed) impl_->machine.SetScheduleSeed(*seed);
}

Session::~Session() {
  // Let a running service stop the way the control manager would stop it,
  // off the timeline; what its last process left is forgotten with it.
  sim::Machine& machine = impl_->machine;
  if (machine.ServiceProcessRunning() && machine.SendControl(SERVICE_CONTROL_STOP) == 0) machine.Advance(60000);
  CloseServiceEventLog();
  impl_.reset();
  ResetServiceState();
}

std::uint32_t Session::Perform(const Step& step) {
  if (impl_->checked) impl_->newLinesFrom = impl_->machine.Trace().size();
  impl_->checked = false;
  impl_->printer.Line("step", step.text);
  const std::uint32_t refused = simrunner::Perform(impl_->machine, step, impl_->printer);
  impl_->printer.NewTrace();
  return refused;
}

std::optional<std::string> Session::Check(const Step& step) {
  const auto found = EvaluateCheck(step, impl_->machine, impl_->newLinesFrom);
  impl_->checked = true;
  impl_->printer.Line("check", CheckText(step.text, found));
  return found;
}

sim::Machine& Session::Machine() { return impl_->machine; }

int RunScenario(const Scenario& scenario, const RunOptions& options, std::ostream& out) {
  int failures = 0;
  int checks = 0;
  std::vector<std::string> failureLines;
  {
    Session session(options, out, options.seed);
    RunRecord record;
    record.spoolerAtStart = session.Machine().SpoolerState();
    for (const Step& step : scenario.steps) {
      const std::int64_t at = session.Machine().Now();
      if (!step.IsCheck()) {
        session.Perform(step);
        if (options.picture != nullptr) record.steps.push_back({at, &step, std::nullopt});
        continue;
      }
      ++checks;
      const auto found = session.Check(step);
      if (options.picture != nullptr) record.steps.push_back({at, &step, found});
      if (!found) continue;
      ++failures;
      const std::string failure =
          options.fileName + ":" + std::to_string(step.line) + ": " + step.text + ": found " + *found;
      if (options.quiet) {
        out << failure << '\n';
      } else {
        failureLines.push_back(failure);
      }
    }
    // What the machine caught the programs doing fails the run like a check.
    for (const sim::TraceEntry& entry : session.Machine().Trace()) {
      if (entry.channel != sim::TraceEntry::Channel::Fault) continue;
      ++failures;
      const std::string failure = options.fileName + ": fault at " +
                                  FormatTime(entry.time).substr(FormatTime(entry.time).find_first_not_of(' ')) + ": " +
                                  entry.text;
      if (options.quiet) {
        out << failure << '\n';
      } else {
        failureLines.push_back(failure);
      }
    }
    if (options.picture != nullptr) {
      record.fileName = std::filesystem::path(options.fileName).filename().string();
      record.seed = options.seed;
      record.trace = session.Machine().Trace();
      record.journal = session.Machine().SpoolerJournal();
      record.endMs = session.Machine().Now();
      *options.picture = RenderSvg(BuildPicture(record));
    }
  }

  if (!options.quiet) {
    out << '\n';
    if (failures == 0) {
      out << options.fileName << ": " << checks << (checks == 1 ? " check" : " checks") << ", all held\n";
    } else {
      out << options.fileName << ": " << failures << " of " << checks << " checks failed\n";
      for (const std::string& line : failureLines) out << line << '\n';
    }
  }
  return failures;
}

}  // namespace simrunner
