// The re-binding and the controls under the Spooler's and the control
// manager's real timing: slow stops and starts, refused stops, records that
// appear after the arrival, and a stop while a read blocks.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "monitor/status_monitor.h"
#include "service/device_events.h"
#include "service/service_main.h"
#include "spooler/port_binding.h"
#include "tests/sim_fixture.h"

namespace {

class WindowsTiming : public SimTest {
 protected:
  // Plugs the moved printer in and returns how long the re-binding took,
  // from the port write to the resume that follows it, in virtual time.
  sim::Millis PlugMovedPrinter() {
    machine.Plug(kPrinterPath);
    machine.Advance(30000);
    const auto& journal = machine.SpoolerJournal();
    sim::Millis written = -1;
    for (const auto& command : journal) {
      if (command.kind == sim::SpoolerCommand::Kind::SetPort) written = command.time;
      if (written >= 0 && command.kind == sim::SpoolerCommand::Kind::Resume && command.succeeded) {
        return command.time - written;
      }
    }
    return -1;
  }
  void ExpectOnNewPortAndResumed() {
    const auto queue = machine.Queue(kQueue);
    ASSERT_TRUE(queue.has_value());
    EXPECT_EQ(queue->port, L"USB002");
    EXPECT_FALSE(queue->paused);
    EXPECT_EQ(queue->status, 0u);
    EXPECT_TRUE(machine.SpoolerRunning());
  }
};

// The re-binding's duration for each Spooler stop and start time: its only
// waits beyond the Spooler's own are the fixed pauses and at most one poll
// step each way, and no control waits for it.
struct TimingRow {
  sim::Millis stopTime;
  sim::Millis startTime;
};

class RebindingDuration : public WindowsTiming, public ::testing::WithParamInterface<TimingRow> {};

TEST_P(RebindingDuration, IsTheSpoolersOwnTimePlusThePauses) {
  const TimingRow row = GetParam();
  AddMovedPrinterSetup();
  machine.SetSpoolerStopTime(row.stopTime);
  machine.SetSpoolerStartTime(row.startTime);
  StartService();
  const sim::Millis plugged = machine.Now();
  const sim::Millis longest = PlugMovedPrinter();
  ExpectOnNewPortAndResumed();
  EXPECT_EQ(machine.SpoolerRestarts(), 1);
  EXPECT_EQ(machine.ControlTimeouts(), 0);
  EXPECT_LT(machine.LongestControl(), 100);
  // The stop's 300 ms pause, then 100 ms polls until stopped; the start's
  // 300 ms pause, polls until running, then the 1000 ms settle pause: at most
  // one poll step more than the Spooler's own time each way.
  const sim::Millis least = std::max<sim::Millis>(300, row.stopTime) + std::max<sim::Millis>(300, row.startTime) + 1000;
  EXPECT_GE(longest, least);
  EXPECT_LE(longest, least + 2 * kSpoolerPollMs);
  std::printf("stop %lld ms, start %lld ms: re-binding %lld ms\n", static_cast<long long>(row.stopTime),
              static_cast<long long>(row.startTime), static_cast<long long>(longest));
  // From the end of the service's wait on, nothing sent to the Spooler failed.
  bool resumedByTheRebinding = false;
  for (const auto& command : machine.SpoolerJournal()) {
    if (command.time < plugged + longest) continue;
    EXPECT_TRUE(command.succeeded) << Describe(command) << " at " << command.time;
    resumedByTheRebinding = resumedByTheRebinding || command.kind == sim::SpoolerCommand::Kind::Resume;
  }
  EXPECT_TRUE(resumedByTheRebinding);
}

INSTANTIATE_TEST_SUITE_P(StopAndStartTimes, RebindingDuration,
                         ::testing::Values(TimingRow{0, 0}, TimingRow{1000, 0}, TimingRow{5000, 0}, TimingRow{0, 3000},
                                           TimingRow{1000, 3000}, TimingRow{5000, 3000}));

TEST_F(WindowsTiming, WorstCaseSpoolerStaysWithinTheHandlersBudget) {
  AddMovedPrinterSetup();
  // Far slower than any bound: the re-binding gives up on both waits.
  machine.SetSpoolerStopTime(60000);
  StartService();
  machine.Plug(kPrinterPath);
  machine.Advance(25000);
  EXPECT_EQ(machine.ControlTimeouts(), 0);
  EXPECT_LT(machine.LongestControl(), 100);
  EXPECT_TRUE(DebugLogContains(" Spooler still stopping"));
  // The Spooler is not left stopped: the monitor thread starts it once it has
  // stopped.
  machine.Advance(40000);
  EXPECT_TRUE(machine.SpoolerRunning());
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB002");
}

TEST_F(WindowsTiming, RefusedStopIsNotWaitedForAndTheRunningSpoolerIsNotStarted) {
  AddMovedPrinterSetup();
  machine.SetSpoolerDependent("Fax", true);
  StartService();
  const sim::Millis longest = PlugMovedPrinter();
  ExpectOnNewPortAndResumed();
  EXPECT_TRUE(DebugLogContains(" Spooler stop refused:1051"));
  EXPECT_FALSE(DebugLogContains("start failed"));
  EXPECT_EQ(machine.SpoolerRestarts(), 0);
  EXPECT_LT(longest, 2000);
}

TEST_F(WindowsTiming, HandlerThatOverrunsIsAnsweredWithTimeout) {
  // A control manager that is honest about a slow handler: here the
  // removal's identity check, the one thing the handler reads, is made slow
  // by a registry whose every call takes 11 s (it opens a key, reads a
  // value and closes the key).
  AddPrinterSetup();
  machine.Plug(kPrinterPath);
  StartService();
  machine.SetRegistryLatency(11000);
  machine.Unplug(kPrinterPath);
  machine.Advance(60000);
  EXPECT_GE(machine.LongestControl(), 30000);
  EXPECT_EQ(machine.ControlTimeouts(), 1);
  bool shown = false;
  for (const auto& entry : machine.Trace()) shown = shown || entry.text.find("error 1053") != std::string::npos;
  EXPECT_TRUE(shown);
}

TEST_F(WindowsTiming, LatePortRecordIsFoundByTheMonitorThread) {
  machine.AddQueue(kQueue, L"USB001");
  machine.AddPort(L"USB001", "USB\\VID_04B8&PID_0202\\OTHER");
  machine.AddDevice(kPrinterPath, "KX310MQ47H", 0x00);
  StartService();
  machine.Plug(kPrinterPath);
  machine.RunUntilIdle();
  // The handler found no port and returned at once.
  EXPECT_LT(machine.LongestControl(), 100);
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB001");
  machine.Advance(2000);
  const sim::Millis recorded = machine.Now();
  machine.AddPort(L"USB002", kPrinterInstanceId);
  // Re-bound and the printer's paper-out mirrored within 5 s of the record.
  sim::Millis mirrored = -1;
  while (machine.Now() - recorded < 5000 && mirrored < 0) {
    machine.Advance(100);
    const auto queue = machine.Queue(kQueue);
    if (queue->port == L"USB002" && queue->paused && queue->status == PRINTER_STATUS_PAPER_OUT) {
      mirrored = machine.Now() - recorded;
    }
  }
  EXPECT_GE(mirrored, 0);
  std::printf("late port record: queue re-bound and status mirrored %lld ms after it appeared\n",
              static_cast<long long>(mirrored));
}

TEST_F(WindowsTiming, LatePrintInterfaceIsFoundByTheMonitorThread) {
  AddMovedPrinterSetup();
  machine.SetDeviceDescription(kPrinterPath, std::nullopt);  // the class driver has not registered it yet
  StartService();
  machine.Plug(kPrinterPath);
  machine.Advance(1500);
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB001");
  machine.SetDeviceDescription(kPrinterPath, "KX310MQ47H");
  machine.Advance(5000);
  ExpectOnNewPortAndResumed();
  // The printer is opened: its status passes are logged.
  EXPECT_TRUE(DebugLogContains("QZ5 STATUS:32"));
}

TEST_F(WindowsTiming, RecordsThatNeverAppearAreGivenUpAfterTheWindow) {
  AddMovedPrinterSetup();
  machine.SetDeviceDescription(kPrinterPath, std::nullopt);
  StartService();
  machine.Plug(kPrinterPath);
  machine.Advance(kArrivalRecheckWindowMs + 2000);
  EXPECT_EQ(CountDebugLinesContaining(" Printer records did not appear within 30000 ms"), 1);
  // A driver that registers the interface after the window changes nothing
  // until the next arrival.
  machine.SetDeviceDescription(kPrinterPath, "KX310MQ47H");
  machine.Advance(5000);
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB001");
}

TEST_F(WindowsTiming, UnplugEndsTheRecheck) {
  AddMovedPrinterSetup();
  machine.SetDeviceDescription(kPrinterPath, std::nullopt);
  StartService();
  machine.Plug(kPrinterPath);
  machine.Advance(1000);
  machine.Unplug(kPrinterPath);
  machine.RunUntilIdle();
  machine.SetDeviceDescription(kPrinterPath, "KX310MQ47H");
  machine.Advance(5000);
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB001");
  EXPECT_EQ(machine.SpoolerRestarts(), 0);
}

TEST_F(WindowsTiming, StopDuringABlockedReadEndsPromptly) {
  AddPrinterSetup();
  machine.Plug(kPrinterPath);
  StartService();
  machine.Advance(1000);  // good reads first: there is a last complete record
  sim::DeviceFaults faults;
  faults.readLatency = 60000;
  machine.SetDeviceFaults(kPrinterPath, faults);
  machine.Advance(1000);
  const sim::Millis sent = machine.Now();
  const std::size_t journal = JournalSize();
  ASSERT_EQ(machine.SendControl(SERVICE_CONTROL_STOP), 0u);
  machine.Advance(2000);
  // The cancelled read ends the pass: no queue commands during the stop.
  EXPECT_TRUE(CommandsFrom(journal).empty());
  EXPECT_TRUE(DebugLogContains(" Status read failed:995"));
  EXPECT_EQ(machine.ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(machine.ServiceProcessRunning());
  EXPECT_LT(machine.LongestControl(), 2000);
  // The read was cancelled, not waited out, and nothing was left open.
  EXPECT_EQ(machine.OpenHandles(), sim::HandleCounts{});
  const auto reports = machine.StatusReports();
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports[reports.size() - 2].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_LT(machine.Now() - sent, 60000);
}

TEST_F(WindowsTiming, StopWaitsForTheSpoolerStartItOwesWithAdvancingCheckPoints) {
  // The monitor thread re-binds the queue for a printer recognised late, and
  // the Spooler takes 45 s to stop: the stop of the service must start it
  // again before it ends.
  AddMovedPrinterSetup();
  machine.SetDeviceDescription(kPrinterPath, std::nullopt);
  machine.SetSpoolerStopTime(45000);
  StartService();
  machine.Plug(kPrinterPath);
  machine.Advance(500);
  machine.SetDeviceDescription(kPrinterPath, "KX310MQ47H");
  machine.Advance(1000);
  ASSERT_EQ(machine.SpoolerState(), static_cast<DWORD>(SERVICE_STOP_PENDING));
  const std::size_t reportsBefore = machine.StatusReports().size();
  ASSERT_EQ(machine.SendControl(SERVICE_CONTROL_STOP), 0u);
  machine.Advance(40000);
  ASSERT_EQ(machine.ServiceState(), static_cast<DWORD>(SERVICE_STOP_PENDING));
  machine.Advance(120000);
  EXPECT_EQ(machine.ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(machine.ServiceProcessRunning());
  EXPECT_EQ(machine.ServiceExitCode(), 0);
  EXPECT_EQ(machine.ControlTimeouts(), 0);
  EXPECT_TRUE(machine.SpoolerRunning());
  EXPECT_EQ(machine.OpenHandles(), sim::HandleCounts{});
  // Every pending report came within its wait hint, each with a new check
  // point, and nothing was called after STOPPED.
  EXPECT_TRUE(machine.Faults().empty()) << machine.Faults().front();
  const auto reports = machine.StatusReports();
  DWORD checkPoint = 0;
  for (std::size_t i = reportsBefore; i + 1 < reports.size(); ++i) {
    ASSERT_EQ(reports[i].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_GT(reports[i].dwCheckPoint, checkPoint);
    checkPoint = reports[i].dwCheckPoint;
  }
  EXPECT_GT(checkPoint, 40u);
  EXPECT_EQ(machine.SpoolerRestarts(), 1);
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB002");
  EXPECT_EQ(reports.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
}

TEST_F(WindowsTiming, StopRefusedDuringStartUpAndAcceptedOnceRunning) {
  AddPrinterSetup();
  machine.Plug(kPrinterPath);
  machine.SetSpoolerLatency(500);  // the start-up probe is slow
  ASSERT_EQ(machine.StartService(), 0u);
  machine.Advance(100);
  EXPECT_EQ(machine.ServiceState(), static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_EQ(machine.SendControl(SERVICE_CONTROL_STOP), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  machine.Advance(5000);
  ASSERT_EQ(machine.ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  StopService();
  machine.Advance(5000);
  EXPECT_EQ(machine.ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(machine.OpenHandles(), sim::HandleCounts{});
}

}  // namespace

namespace {

TEST_F(WindowsTiming, StopThatArrivesBeforeTheRunningReportReturnsIsSafe) {
  // The control manager has the RUNNING report as soon as it is sent, and
  // delivers a stop while the service's SetServiceStatus is still returning.
  AddPrinterSetup();
  machine.Plug(kPrinterPath);
  machine.SetServiceManagerLatency(500);
  ASSERT_EQ(machine.StartService(), 0u);
  while (machine.ServiceState() != SERVICE_RUNNING) machine.Advance(10);
  ASSERT_EQ(machine.SendControl(SERVICE_CONTROL_STOP), 0u);
  machine.Advance(10000);
  EXPECT_EQ(machine.ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(machine.ServiceProcessRunning());
  EXPECT_EQ(machine.ThreadsOfEndedProcesses(), 0);
  EXPECT_EQ(machine.OpenHandles(), sim::HandleCounts{});
}

}  // namespace

namespace {

// The bounds the README states, with every control-manager call taking
// 500 ms and the Spooler as slow as it likes: no control reaches 30 s, a stop
// ends once the Spooler start it owes is made, a shutdown within seconds.
struct SlowMachineRow {
  sim::Millis stopTime;
  sim::Millis startTime;
};

class SlowControlManager : public WindowsTiming, public ::testing::WithParamInterface<SlowMachineRow> {
 protected:
  static constexpr sim::Millis kLatency = 500;

  // The monitor thread re-binds the queue for a printer recognised late,
  // against the row's Spooler; returns once the port is written and
  // `afterWrite` more has passed.
  void RebindForALatePrinter(const SlowMachineRow& row, sim::Millis afterWrite) {
    AddMovedPrinterSetup();
    machine.SetDeviceDescription(kPrinterPath, std::nullopt);
    machine.SetSpoolerStopTime(row.stopTime);
    machine.SetSpoolerStartTime(row.startTime);
    machine.SetServiceManagerLatency(kLatency);
    StartService();
    machine.Advance(2000);
    machine.Plug(kPrinterPath);
    machine.Advance(1000);
    machine.SetDeviceDescription(kPrinterPath, "KX310MQ47H");
    const std::size_t journal = JournalSize();
    while (JournalSize() == journal) machine.Advance(100);  // the port write
    machine.Advance(afterWrite);
  }
  // When the service reported STOPPED, 0 if it did not.
  sim::Millis StoppedAt() const {
    sim::Millis stopped = 0;
    for (const auto& entry : machine.Trace()) {
      if (entry.text.find("status STOPPED") != std::string::npos) stopped = entry.time;
    }
    return stopped;
  }
};

TEST_P(SlowControlManager, EveryControlIsAnsweredWithinTwoSeconds) {
  const SlowMachineRow row = GetParam();
  AddMovedPrinterSetup();
  machine.SetSpoolerStopTime(row.stopTime);
  machine.SetSpoolerStartTime(row.startTime);
  machine.SetServiceManagerLatency(kLatency);
  StartService();
  machine.Advance(2000);
  machine.Plug(kPrinterPath);
  machine.Advance(2 * (row.stopTime + row.startTime) + 60000);
  EXPECT_EQ(machine.ControlTimeouts(), 0);
  // The handler's own status report, and at most one report of the service
  // main thread's that it waits for.
  EXPECT_LE(machine.LongestControl(), 2000);
  EXPECT_TRUE(machine.SpoolerRunning());
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB002");
  std::printf("control-manager calls of 500 ms, Spooler stop %lld ms, start %lld ms: longest control %lld ms\n",
              static_cast<long long>(row.stopTime), static_cast<long long>(row.startTime),
              static_cast<long long>(machine.LongestControl()));
}

TEST_P(SlowControlManager, AStopDuringAReBindingEndsOnceTheSpoolerIsStartedAgain) {
  const SlowMachineRow row = GetParam();
  // The stop comes right after the re-binding's Spooler stop request.
  RebindForALatePrinter(row, 2000);
  const sim::Millis sent = machine.Now();
  ASSERT_EQ(machine.SendControl(SERVICE_CONTROL_STOP), 0u);
  machine.Advance(row.stopTime + row.startTime + 60000);
  EXPECT_EQ(machine.ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_NE(machine.SpoolerState(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(machine.Faults().empty()) << machine.Faults().front();
  EXPECT_EQ(machine.ControlTimeouts(), 0);
  EXPECT_LE(machine.LongestControl(), 2000);
  const sim::Millis stopped = StoppedAt();
  // At most the Spooler's own stop, then the start's calls and one retry step.
  EXPECT_LE(stopped - sent, row.stopTime + 6 * kLatency + kOwedStartRetryMs + 3000);
  std::printf("control-manager calls of 500 ms, Spooler stop %lld ms, start %lld ms: stop ended after %lld ms\n",
              static_cast<long long>(row.stopTime), static_cast<long long>(row.startTime),
              static_cast<long long>(stopped - sent));
}

TEST_P(SlowControlManager, AShutdownDuringAReBindingEndsWithinSeconds) {
  const SlowMachineRow row = GetParam();
  RebindForALatePrinter(row, 1000);
  const sim::Millis sent = machine.Now();
  ASSERT_EQ(machine.SendControl(SERVICE_CONTROL_SHUTDOWN), 0u);
  machine.Advance(30000);
  EXPECT_EQ(machine.ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(machine.Faults().empty()) << machine.Faults().front();
  const sim::Millis stopped = StoppedAt();
  EXPECT_LE(stopped - sent, kShutdownStopMs + 2 * kLatency);
  std::printf("control-manager calls of 500 ms, Spooler stop %lld ms, start %lld ms: shutdown ended after %lld ms\n",
              static_cast<long long>(row.stopTime), static_cast<long long>(row.startTime),
              static_cast<long long>(stopped - sent));
}

INSTANTIATE_TEST_SUITE_P(SpoolerTimes, SlowControlManager,
                         ::testing::Values(SlowMachineRow{0, 0}, SlowMachineRow{5000, 3000},
                                           SlowMachineRow{12000, 6000}, SlowMachineRow{60000, 60000}));

}  // namespace
