#include "sim_runner/runner.h"

#include "platform/sim/machine.h"
#include "service/service_main.h"
#include "service/service_state.h"
#include "sim_runner/checks.h"
#include "sim_runner/timeline.h"
#include "sim_runner/widen.h"

namespace simrunner {

namespace {

// The name the service is installed under, as its process expects.
constexpr char kServiceName[] = "testserviceQ5M2K9";

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

void ReportRefusal(Printer& printer, std::uint32_t error) {
  if (error != 0) printer.Line("result", "refused: " + DescribeError(error));
}

// Carries out one setup step or event and lets the service react.
void Perform(sim::Machine& machine, const Step& step, Printer& printer) {
  using Kind = Step::Kind;
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
        machine.AddDevice(Widen(step.name), step.description, static_cast<BYTE>(step.status.value_or(0x20)),
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
      ReportRefusal(printer, machine.StartService());
      break;
    case Kind::ServiceStop:
      ReportRefusal(printer, machine.SendControl(SERVICE_CONTROL_STOP));
      break;
    case Kind::ServiceControl:
      ReportRefusal(printer, machine.SendControl(static_cast<DWORD>(step.number)));
      break;
    case Kind::SpoolerStop:
      machine.StopSpooler();
      break;
    case Kind::SpoolerStart:
      machine.StartSpooler();
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
      return;
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
      machine.SetServiceManagerUnreachable(step.faults.scmError.value_or(0));
      break;
    default:
      return;
  }
  machine.RunUntilIdle();
}

}  // namespace

int RunScenario(const Scenario& scenario, const RunOptions& options, std::ostream& out) {
  int failures = 0;
  int checks = 0;
  std::vector<std::string> failureLines;
  {
    sim::Machine machine;
    machine.InstallService(kServiceName, [] {
      ResetServiceState();  // a new process starts with its state zeroed
      return RunServiceProcess();
    });
    Printer printer{machine, options, out};

    for (const Step& step : scenario.steps) {
      if (!step.IsCheck()) {
        printer.Line("step", step.text);
        Perform(machine, step, printer);
        printer.NewTrace();
        continue;
      }
      ++checks;
      const auto found = EvaluateCheck(step, machine);
      if (!found) {
        printer.Line("check", step.text + "  -> ok");
        continue;
      }
      ++failures;
      const std::string failure =
          options.fileName + ":" + std::to_string(step.line) + ": " + step.text + ": found " + *found;
      printer.Line("check", step.text + "  -> FAILED, found " + *found);
      if (options.quiet) {
        out << failure << '\n';
      } else {
        failureLines.push_back(failure);
      }
    }

    // Let a running service stop the way the control manager would stop it,
    // off the timeline, and release what its last process left while the
    // machine is still there.
    if (machine.ServiceProcessRunning() && machine.SendControl(SERVICE_CONTROL_STOP) == 0) machine.RunUntilIdle();
    ResetServiceState();
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
