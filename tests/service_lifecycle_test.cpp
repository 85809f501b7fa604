#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "service/service_main.h"
#include "service/service_state.h"
#include "tests/sim_fixture.h"

namespace {

class ServiceLifecycle : public SimTest {};

bool SameExceptState(const SERVICE_STATUS& a, const SERVICE_STATUS& b) {
  return a.dwServiceType == b.dwServiceType && a.dwControlsAccepted == b.dwControlsAccepted &&
         a.dwWin32ExitCode == b.dwWin32ExitCode && a.dwServiceSpecificExitCode == b.dwServiceSpecificExitCode &&
         a.dwCheckPoint == b.dwCheckPoint && a.dwWaitHint == b.dwWaitHint;
}

TEST_F(ServiceLifecycle, ConsoleStartWritesOneLineAndExitsWithZero) {
  const int exitCode = machine.RunConsoleProcess(RunServiceProcess);
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(machine.DebugLines(), std::vector<std::string>{" MainError:1063\n"});
  EXPECT_TRUE(machine.SpoolerJournal().empty());
}

TEST_F(ServiceLifecycle, FirstReportIsRunningWithTheServiceFields) {
  AddPrinterSetup();
  StartService();
  const auto reports = machine.StatusReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
  EXPECT_EQ(reports[0].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(reports[0].dwControlsAccepted, 5u);
  EXPECT_EQ(reports[0].dwWin32ExitCode, 0u);
  EXPECT_EQ(reports[0].dwServiceSpecificExitCode, 0u);
  EXPECT_EQ(reports[0].dwCheckPoint, 0u);
  EXPECT_EQ(reports[0].dwWaitHint, 60000u);
  // The start says where the queue is.
  ASSERT_FALSE(machine.EventLog().empty());
  EXPECT_EQ(machine.EventLog().front().inserts, (std::vector<std::wstring>{L"USB001"}));
  // The start-up probe and the port read each log their marker or open the queue once.
  EXPECT_EQ(machine.DebugLines().front(), "GetPrinterHandle");
}

class StopControls : public SimTest, public ::testing::WithParamInterface<DWORD> {};

TEST_P(StopControls, ReportStoppedOnceAndEndTheProcessCleanly) {
  AddPrinterSetup();
  machine.Plug(kPrinterPath);
  StartService();
  machine.Advance(2000);
  const SERVICE_STATUS running = machine.StatusReports().back();
  ASSERT_EQ(machine.SendControl(GetParam()), 0u);
  machine.RunUntilIdle();
  const auto reports = machine.StatusReports();
  // STOP_PENDING with a wait hint while the monitor thread ends, then STOPPED
  // once, with the fields the service ran with.
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[1].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_EQ(reports[1].dwWaitHint, kStopWaitHintMs);
  EXPECT_EQ(reports[1].dwCheckPoint, 1u);
  EXPECT_EQ(reports[2].dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(SameExceptState(reports[2], running));
  EXPECT_FALSE(machine.ServiceProcessRunning());
  EXPECT_EQ(machine.ServiceExitCode(), 0);
  EXPECT_EQ(CountDebugLinesContaining(" MainError:"), 1);
  // The monitor thread ended, closing the printer, and the notification is gone.
  EXPECT_EQ(machine.OpenHandles(), sim::HandleCounts{});
  // Nothing more happens afterwards.
  const std::size_t journal = JournalSize();
  machine.Advance(5000);
  EXPECT_EQ(JournalSize(), journal);
}

INSTANTIATE_TEST_SUITE_P(StopAndShutdown, StopControls,
                         ::testing::Values(DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_SHUTDOWN}));

TEST_F(ServiceLifecycle, OtherControlsReportTheCurrentStatusOnce) {
  AddPrinterSetup();
  StartService();
  ASSERT_EQ(machine.SendControl(SERVICE_CONTROL_INTERROGATE), 0u);
  machine.RunUntilIdle();
  ASSERT_EQ(machine.SendControl(200), 0u);  // a user-defined control
  machine.RunUntilIdle();
  const auto reports = machine.StatusReports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[1].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_EQ(reports[2].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(machine.ServiceProcessRunning());
  // Handled controls answer NO_ERROR, as the control manager expects.
  ASSERT_EQ(machine.SendControl(SERVICE_CONTROL_STOP), 0u);
  machine.RunUntilIdle();
  EXPECT_EQ(machine.HandlerResults(), (std::vector<DWORD>{NO_ERROR, NO_ERROR, NO_ERROR}));
}

TEST_F(ServiceLifecycle, MissingQueueStillRuns) {
  machine.AddDevice(kPrinterPath, "KX310MQ47H");
  machine.Plug(kPrinterPath);
  StartService();
  EXPECT_EQ(machine.ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  // The probe, the port read, the port check of the printer found and the
  // first status pass each fail to open the queue...
  const char kOpenError[] = " Open Printer Error :GetLastError() returns: 0x709\n";
  EXPECT_EQ(CountDebugLinesContaining(kOpenError), 4);
  // A service has no standard output: the console text goes nowhere.
  EXPECT_TRUE(machine.StdoutLines().empty());
  // ...and so does every later pass, which sends nothing.
  machine.Advance(800);
  EXPECT_EQ(CountDebugLinesContaining(kOpenError), 5);
  EXPECT_TRUE(machine.SpoolerJournal().empty());
  EXPECT_EQ(CountDebugLinesContaining("QZ5 STATUS:32"), 2);
}

TEST_F(ServiceLifecycle, RunningServiceHoldsOnlyWhatItNeeds) {
  AddPrinterSetup();
  machine.Plug(kPrinterPath);
  StartService();
  machine.Advance(10000);
  // The printer, the stop and wake events, the monitor thread, the
  // notification and the event source.
  const sim::HandleCounts expected{
      {{"device", 1}, {"event", 2}, {"event-source", 1}, {"notification", 1}, {"thread", 1}}};
  EXPECT_EQ(machine.OpenHandles(), expected);
}

TEST_F(ServiceLifecycle, AnHourOfServiceLifeRunsInWellUnderASecond) {
  AddPrinterSetup(0x20);
  machine.Plug(kPrinterPath);
  StartService();
  const auto start = std::chrono::steady_clock::now();
  machine.Advance(3600 * 1000);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(CountDebugLinesContaining("QZ5 STATUS:32"), 3600 * 1000 / 800 + 1);
  std::printf("one simulated hour took %.3f s of real time (%.0f simulated hours per second)\n", seconds,
              1.0 / seconds);
  RecordProperty("simulated_hours_per_second", static_cast<int>(1.0 / seconds));
  EXPECT_LT(seconds, 5.0);  // a guard against a scheduler that falls back to real time
}

}  // namespace
