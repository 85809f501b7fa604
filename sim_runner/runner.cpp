#include "sim_runner/runner.h"

#include <algorithm>
#include <filesystem>
#include <functional>

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

// How much virtual time a wait lets pass before the runner takes in what
// happened: what a long wait leaves behind stays small.
constexpr sim::Millis kWaitSlice = 60000;

struct Printer {
  const sim::Machine& machine;
  const RunOptions& options;
  std::ostream& out;

  void Line(std::string_view tag, std::string_view text) {
    if (!options.quiet) out << TimelineLine(machine.Now(), tag, text) << '\n';
  }
};

std::uint32_t ReportRefusal(Printer& printer, std::uint32_t error) {
  if (error != 0) printer.Line("result", "refused: " + DescribeError(error));
  return error;
}

// Carries out one setup step or event and lets the service react. Returns
// the error of a refused start or control (0 otherwise).
// The data a registry line writes, as RegSetValueExW would be given it: text
// as UTF-16 with its NUL (a multi-sz's strings, split at ";", each with its
// NUL and one more at the end), numbers little-endian, bytes from their
// hexadecimal; then cut or filled with zeros to the size the line gives.
void WriteRegistry(sim::Machine& machine, const Step& step) {
  const bool text = step.valueType == REG_SZ || step.valueType == REG_EXPAND_SZ || step.valueType == REG_MULTI_SZ;
  if (text) {
    std::wstring data = Widen(step.value);
    if (step.valueType == REG_MULTI_SZ) {
      std::replace(data.begin(), data.end(), L';', L'\0');
      data.push_back(L'\0');
    }
    data.push_back(L'\0');
    if (step.size) data.resize(*step.size / 2, L'\0');
    machine.SetRegistryText(step.name, step.valueName, step.valueType, std::move(data));
    return;
  }
  std::string bytes;
  if (step.valueType == REG_BINARY) {
    for (std::size_t i = 0; i + 1 < step.value.size(); i += 2) {
      bytes.push_back(static_cast<char>(std::stoul(step.value.substr(i, 2), nullptr, 16)));
    }
  } else {
    const bool hex = step.value.starts_with("0x") || step.value.starts_with("0X");
    std::uint64_t number = std::stoull(hex ? step.value.substr(2) : step.value, nullptr, hex ? 16 : 10);
    for (int i = 0; i < (step.valueType == REG_DWORD ? 4 : 8); ++i, number >>= 8) {
      bytes.push_back(static_cast<char>(number & 0xFF));
    }
  }
  if (step.size) bytes.resize(*step.size, '\0');
  machine.SetRegistryValue(step.name, step.valueName, step.valueType, std::move(bytes));
}

std::uint32_t Perform(sim::Machine& machine, const Step& step, Printer& printer, const std::function<void()>& takeIn) {
  using Kind = Step::Kind;
  std::uint32_t refused = 0;
  switch (step.kind) {
    case Kind::Queue:
      // A second line for a queue is an administrator changing its port in
      // the printer's properties while the service runs.
      if (machine.Queue(Widen(step.name))) {
        machine.SetQueuePort(Widen(step.name), Widen(*step.port));
      } else {
        machine.AddQueue(Widen(step.name), Widen(*step.port));
      }
      break;
    case Kind::QueueCreate:
      machine.AddQueue(Widen(step.name), Widen(*step.port));
      break;
    case Kind::QueueDelete:
      machine.DeleteQueue(Widen(step.name));
      break;
    case Kind::Registry:
      WriteRegistry(machine, step);
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
    case Kind::UsbRemoval:
      machine.SetRemovalWaitsForHandles(step.running);
      break;
    case Kind::SpoolerRestart:
      machine.SetSpoolerForgetsStatus(step.running);
      break;
    case Kind::Wait:
      for (sim::Millis left = step.number; left > 0; left -= std::min(left, kWaitSlice)) {
        machine.Advance(std::min(left, kWaitSlice));
        takeIn();
      }
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
  CheckHistory history;
  // Whether the last step was a check (the next event starts new lines).
  bool checked = false;
  // How much of the machine's records has been taken in.
  std::size_t tracedUpTo = 0;
  std::size_t commandedUpTo = 0;
  std::size_t loggedUpTo = 0;
  // What the machine caught the programs doing, as failures.
  std::vector<sim::TraceEntry> faults;
  std::unique_ptr<PictureBuilder> picture;

  Impl(const RunOptions& runOptions, std::ostream& out) : options(runOptions), printer{machine, options, out} {}

  // Prints what the machine recorded since the last call and takes it into
  // the checks' history and the picture; on a long run, then forgets it.
  void TakeIn() {
    const auto& trace = machine.Trace();
    for (; tracedUpTo < trace.size(); ++tracedUpTo) {
      const sim::TraceEntry& entry = trace[tracedUpTo];
      if (!options.quiet) printer.out << TimelineLine(entry) << '\n';
      history.Traced(entry);
      if (picture) picture->Traced(entry);
      if (entry.channel == sim::TraceEntry::Channel::Fault) faults.push_back(entry);
    }
    const auto& journal = machine.SpoolerJournal();
    for (; commandedUpTo < journal.size(); ++commandedUpTo) {
      history.Commanded(journal[commandedUpTo]);
      if (picture) picture->Commanded(journal[commandedUpTo]);
    }
    const auto& events = machine.EventLog();
    for (; loggedUpTo < events.size(); ++loggedUpTo) {
      history.Logged(events[loggedUpTo]);
      if (picture) picture->Logged(events[loggedUpTo]);
    }
    if (options.forgetHistory) {
      machine.ForgetHistory();
      tracedUpTo = commandedUpTo = loggedUpTo = 0;
    }
  }
};

Session::Session(const RunOptions& options, std::ostream& out, std::optional<std::uint64_t> seed)
    : impl_(std::make_unique<Impl>(options, out)) {
  impl_->machine.InstallService(kServiceName, [] {
    ResetServiceState();  // a new process starts with its state zeroed
    return RunServiceProcess();
  });
  impl_->machine.RegisterEventLogSource(kEventSourceName, kInstalledServicePath);
  if (seed) impl_->machine.SetScheduleSeed(*seed);
  if (options.picture != nullptr) impl_->picture = std::make_unique<PictureBuilder>(impl_->machine.SpoolerState());
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
  Impl& impl = *impl_;
  impl.TakeIn();
  if (impl.checked) impl.history.newLines.Clear();
  impl.checked = false;
  impl.printer.Line("step", step.text);
  if (impl.picture) impl.picture->Played({impl.machine.Now(), &step, std::nullopt});
  const std::uint32_t refused = simrunner::Perform(impl.machine, step, impl.printer, [&impl] { impl.TakeIn(); });
  impl.TakeIn();
  return refused;
}

std::optional<std::string> Session::Check(const Step& step) {
  Impl& impl = *impl_;
  impl.TakeIn();
  const auto found = EvaluateCheck(step, impl.machine, impl.history);
  impl.checked = true;
  impl.printer.Line("check", CheckText(step.text, found));
  if (impl.picture) impl.picture->Played({impl.machine.Now(), &step, found});
  return found;
}

std::vector<sim::TraceEntry> Session::Faults() const {
  impl_->TakeIn();
  return impl_->faults;
}

std::string Session::Picture(const std::string& fileName) const {
  if (!impl_->picture) return "";
  simrunner::Picture picture = impl_->picture->Finish(fileName, impl_->options.seed, impl_->machine.Now());
  if (impl_->options.window) {
    picture.fromMs = impl_->options.window->first;
    picture.toMs = impl_->options.window->second;
    picture.title += ", drawn from " +
                     FormatTime(picture.fromMs).substr(FormatTime(picture.fromMs).find_first_not_of(' ')) + " s to " +
                     FormatTime(*picture.toMs).substr(FormatTime(*picture.toMs).find_first_not_of(' ')) + " s";
  }
  return RenderSvg(picture);
}

sim::Machine& Session::Machine() { return impl_->machine; }

int RunScenario(const Scenario& scenario, const RunOptions& options, std::ostream& out) {
  int failures = 0;
  int checks = 0;
  std::vector<std::string> failureLines;
  const auto fail = [&](const std::string& failure) {
    ++failures;
    if (options.quiet) {
      out << failure << '\n';
    } else {
      failureLines.push_back(failure);
    }
  };
  {
    RunOptions sessionOptions = options;
    sessionOptions.forgetHistory = true;
    Session session(sessionOptions, out, options.seed);
    for (const Step& step : scenario.steps) {
      if (!step.IsCheck()) {
        session.Perform(step);
        continue;
      }
      ++checks;
      if (const auto found = session.Check(step)) {
        fail(options.fileName + ":" + std::to_string(step.line) + ": " + step.text + ": found " + *found);
      }
    }
    // What the machine caught the programs doing fails the run like a check.
    for (const sim::TraceEntry& entry : session.Faults()) {
      fail(options.fileName + ": fault at " +
           FormatTime(entry.time).substr(FormatTime(entry.time).find_first_not_of(' ')) + ": " + entry.text);
    }
    if (options.picture != nullptr) {
      *options.picture = session.Picture(std::filesystem::path(options.fileName).filename().string());
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
