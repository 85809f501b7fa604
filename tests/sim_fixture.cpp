#include "tests/sim_fixture.h"

#include <cstdio>

#include "common/event_log.h"
#include "service/service_main.h"
#include "service/service_state.h"

SimTest::SimTest() {
  machine.InstallService("testserviceQ5M2K9", [] {
    ResetServiceState();  // a new process starts with its state zeroed
    return RunServiceProcess();
  });
  // Registered as install.cmd and the package register it.
  machine.RegisterEventLogSource(kEventSourceName, kInstalledServicePath);
}

SimTest::~SimTest() {
  if (machine.ServiceProcessRunning() && machine.SendControl(SERVICE_CONTROL_STOP) == 0) machine.RunUntilIdle();
  // Release what the last process left while its machine is still there.
  CloseServiceEventLog();
  ResetServiceState();
}

void SimTest::AddPrinterSetup(BYTE status) {
  machine.AddQueue(kQueue, L"USB001");
  machine.AddPort(L"USB001", kPrinterInstanceId);
  machine.AddDevice(kPrinterPath, "KX310MQ47H", status);
}

void SimTest::AddMovedPrinterSetup(BYTE status) {
  machine.AddQueue(kQueue, L"USB001");
  machine.AddPort(L"USB001", "USB\\VID_04B8&PID_0202\\OTHER");
  machine.AddPort(L"USB002", kPrinterInstanceId);
  machine.AddDevice(kPrinterPath, "KX310MQ47H", status);
}

void SimTest::StartService() {
  ASSERT_EQ(machine.StartService(), 0u);
  machine.RunUntilIdle();
}

void SimTest::StopService() {
  ASSERT_EQ(machine.SendControl(SERVICE_CONTROL_STOP), 0u);
  machine.RunUntilIdle();
}

std::vector<sim::SpoolerCommand> SimTest::CommandsFrom(std::size_t from) const {
  const auto& journal = machine.SpoolerJournal();
  return {journal.begin() + static_cast<std::ptrdiff_t>(from), journal.end()};
}

int SimTest::CountDebugLinesContaining(const std::string& text) const {
  int count = 0;
  for (const auto& line : machine.DebugLines()) {
    if (line.find(text) != std::string::npos) ++count;
  }
  return count;
}

std::string Describe(const sim::SpoolerCommand& command) {
  char status[32];
  switch (command.kind) {
    case sim::SpoolerCommand::Kind::Pause:
      return "pause";
    case sim::SpoolerCommand::Kind::Resume:
      return "resume";
    case sim::SpoolerCommand::Kind::SetStatus:
      std::snprintf(status, sizeof status, "status 0x%X", static_cast<unsigned>(command.value));
      return status;
    case sim::SpoolerCommand::Kind::SetPort:
      return "port " + std::string(command.port.begin(), command.port.end());
    case sim::SpoolerCommand::Kind::Other:
      break;
  }
  return "other";
}

std::vector<std::string> Describe(const std::vector<sim::SpoolerCommand>& commands) {
  std::vector<std::string> names;
  for (const auto& command : commands) names.push_back(Describe(command) + (command.succeeded ? "" : " (failed)"));
  return names;
}

void sim::PrintTo(const HandleCounts& counts, std::ostream* out) {
  *out << "{";
  for (const auto& [kind, count] : counts.byKind) *out << " " << kind << ":" << count;
  *out << " }";
}
