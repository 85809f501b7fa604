// What the re-binding, stop and unplug machinery promises, each pinned so
// that taking the mechanism away makes a test fail: one re-binding at a
// time, the owed offline and its end, the unplug count taken before the
// open, the handler's own resume, the bound on remembered arrivals, a stop
// during a reopen, and the same bounds across the tick count's wrap.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "monitor/status_monitor.h"
#include "service/device_events.h"
#include "service/service_main.h"
#include "service/service_state.h"
#include "spooler/port_binding.h"
#include "spooler/printer_queue.h"
#include "tests/sim_fixture.h"

namespace {

constexpr char kSecondPrinterInstanceId[] = "USB\\VID_0483&PID_5741\\XYZ789";

class Rebinding : public SimTest {
 protected:
  // The virtual times of the timeline entries whose text contains `text`.
  std::vector<sim::Millis> TimesOf(const std::string& text) const {
    std::vector<sim::Millis> times;
    for (const auto& entry : machine.Trace()) {
      if (entry.text.find(text) != std::string::npos) times.push_back(entry.time);
    }
    return times;
  }
  std::vector<sim::SpoolerCommand> CommandsAfter(sim::Millis time, sim::SpoolerCommand::Kind kind) const {
    std::vector<sim::SpoolerCommand> found;
    for (const auto& command : machine.SpoolerJournal()) {
      if (command.time > time && command.kind == kind) found.push_back(command);
    }
    return found;
  }
};

// While the monitor thread re-binds the queue for a printer whose port
// record came late, a second printer arrives on a recorded socket: the
// handler answers at once, and the arrival is re-bound once the first
// restart is over, after the queue showed the first printer's state.
TEST_F(Rebinding, AnArrivalDuringARebindingIsReboundAfterIt) {
  machine.AddQueue(kQueue, L"USB001");
  machine.AddPort(L"USB001", "USB\\VID_04B8&PID_0202\\OTHER");
  machine.AddPort(L"USB003", kSecondPrinterInstanceId);
  machine.AddDevice(kPrinterPath, "KX310MQ47H");
  machine.AddDevice(kSecondPrinterPath, "KX310MQ47H");
  machine.SetSpoolerStopTime(3000);
  machine.SetSpoolerStartTime(3000);
  StartService();
  machine.Plug(kPrinterPath);
  machine.Advance(500);
  machine.AddPort(L"USB002", kPrinterInstanceId);
  // The monitor thread's re-binding: once the Spooler runs again, it lets it
  // settle for a second, still re-binding; the second printer arrives then.
  while (TimesOf("Spooler started").empty()) machine.Advance(100);
  machine.Advance(200);
  ASSERT_TRUE(machine.SpoolerRunning());
  machine.Plug(kSecondPrinterPath);
  machine.Advance(40000);

  const auto writes = CommandsAfter(0, sim::SpoolerCommand::Kind::SetPort);
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].port, L"USB002");
  EXPECT_EQ(writes[1].port, L"USB003");
  // The second re-binding begins once the first restart is over.
  ASSERT_FALSE(TimesOf("Spooler started").empty());
  EXPECT_GE(writes[1].time, TimesOf("Spooler started").front());
  EXPECT_EQ(machine.SpoolerRestarts(), 2);
  EXPECT_LT(machine.LongestControl(), 1000);
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB003");
}

// The removal's offline status could not reach the queue (the Spooler was
// down): owed. The printer comes back before the Spooler does: nothing is
// owed any more, and the queue mirrors the printer, not an old unplug.
TEST_F(Rebinding, OwedOfflineIsGivenUpWhenThePrinterReturns) {
  AddPrinterSetup(0x20);
  machine.Plug(kPrinterPath);
  StartService();
  machine.Advance(1000);
  machine.StopSpooler();
  machine.Unplug(kPrinterPath);
  machine.Advance(2000);
  machine.Plug(kPrinterPath);
  machine.Advance(2000);
  const sim::Millis back = machine.Now();
  machine.StartSpooler();
  machine.Advance(5000);
  for (const auto& command : CommandsAfter(back, sim::SpoolerCommand::Kind::SetStatus)) {
    EXPECT_EQ(command.value, 0u) << "at " << command.time;
  }
  EXPECT_FALSE(machine.Queue(kQueue)->paused);
}

// With the queue gone there is no offline status to owe: the unplug's one
// attempt is all, not a pair of open errors on every pass.
TEST_F(Rebinding, OfflineIsNotOwedToAQueueThatDoesNotExist) {
  AddPrinterSetup(0x20);
  machine.Plug(kPrinterPath);
  StartService();
  machine.DeleteQueue(kQueue);
  machine.Unplug(kPrinterPath);
  machine.RunUntilIdle();
  const int openErrors = CountDebugLinesContaining(" Open Printer Error");
  EXPECT_EQ(openErrors, 1);
  machine.Advance(10 * kPollPeriodMs);
  EXPECT_EQ(CountDebugLinesContaining(" Open Printer Error"), openErrors);
}

// The unplug count is taken before the open: a printer of the model
// unplugged while the monitor thread opens the other one: what the new
// handle reads is not mirrored, it is closed with the unplug, and the queue
// shows offline until an arrival.
TEST_F(Rebinding, AnUnplugDuringTheOpenIsNotFollowedByTheNewHandlesRecord) {
  AddPrinterSetup(0x20);
  machine.AddDevice(kSecondPrinterPath, "KX310MQ47H", 0x20);
  machine.AddDevice(kMousePath);
  sim::DeviceFaults slowOpen;
  slowOpen.openLatency = 1000;
  machine.SetDeviceFaults(kPrinterPath, slowOpen);
  machine.Plug(kPrinterPath);
  machine.Plug(kSecondPrinterPath);
  StartService();
  machine.Advance(3000);
  machine.Plug(kMousePath);  // a reopen: the open takes 1 s
  machine.Advance(500);
  machine.Unplug(kSecondPrinterPath);
  machine.RunUntilIdle();
  const sim::Millis unplugged = machine.Now();
  machine.Advance(5 * kPollPeriodMs);
  EXPECT_TRUE(CommandsAfter(unplugged, sim::SpoolerCommand::Kind::Resume).empty());
  EXPECT_EQ(machine.Queue(kQueue)->status, static_cast<DWORD>(PRINTER_STATUS_OFFLINE));
  EXPECT_EQ(machine.OpenHandles().byKind.count("device"), 0u);
}

// The printer arrives on another socket while another program holds it, so
// no status pass follows: the handler's own resume after the re-binding is
// what brings the queue back.
TEST_F(Rebinding, TheHandlerResumesTheQueueWhenNoStatusPassFollows) {
  AddMovedPrinterSetup(0x20);
  sim::DeviceFaults held;
  held.heldByOtherProgram = true;
  machine.SetDeviceFaults(kPrinterPath, held);
  // Left paused and offline by an earlier unplug.
  ASSERT_EQ(SetPrinterErrorStatus(PRINTER_STATUS_OFFLINE), static_cast<DWORD>(ERROR_SUCCESS));
  StartService();
  ASSERT_TRUE(machine.Queue(kQueue)->paused);
  machine.Plug(kPrinterPath);
  machine.Advance(10000);
  EXPECT_FALSE(DebugLogContains("QZ5"));
  const auto queue = machine.Queue(kQueue);
  EXPECT_EQ(queue->port, L"USB002");
  EXPECT_FALSE(queue->paused);
  EXPECT_EQ(queue->status, 0u);
}

// The printer's port record comes late, and meanwhile other devices with the
// model's USB numbers arrive whose print interface is not known yet: the
// printer is remembered beside three of them, not beside four.
struct LookalikeRow {
  int lookalikes;
  bool rebound;
};

class RememberedArrivals : public Rebinding, public ::testing::WithParamInterface<LookalikeRow> {};

TEST_P(RememberedArrivals, ThePrinterAndUpToThreeOthers) {
  const LookalikeRow row = GetParam();
  machine.AddQueue(kQueue, L"USB001");
  machine.AddPort(L"USB001", "USB\\VID_04B8&PID_0202\\OTHER");
  machine.AddDevice(kPrinterPath, "KX310MQ47H");
  StartService();
  machine.Plug(kPrinterPath);
  for (int i = 0; i < row.lookalikes; ++i) {
    const std::wstring path =
        L"\\\\?\\USB#VID_0483&PID_5741#OTHER" + std::to_wstring(i) + L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    machine.AddDevice(path);
    machine.Plug(path);
    machine.RunUntilIdle();
  }
  machine.Advance(1000);
  machine.AddPort(L"USB002", kPrinterInstanceId);
  machine.Advance(5000);
  EXPECT_EQ(machine.Queue(kQueue)->port, row.rebound ? L"USB002" : L"USB001") << row.lookalikes;
}

static_assert(kMaxPendingArrivals == 4);
INSTANTIATE_TEST_SUITE_P(Bound, RememberedArrivals, ::testing::Values(LookalikeRow{3, true}, LookalikeRow{4, false}));

// A stop that comes while the monitor thread reopens the printer, before its
// read blocks: the read that follows is cancelled all the same.
TEST_F(Rebinding, StopWhileReopeningBeforeTheReadBlocks) {
  AddPrinterSetup(0x20);
  machine.AddDevice(kMousePath);
  machine.Plug(kPrinterPath);
  StartService();
  machine.Advance(2000);
  sim::DeviceFaults slow;
  slow.openLatency = 500;
  slow.readLatency = 60000;
  machine.SetDeviceFaults(kPrinterPath, slow);
  machine.Plug(kMousePath);  // the next pass (at 2.4 s) reopens: the open takes 500 ms
  machine.Advance(600);
  const sim::Millis sent = machine.Now();
  ASSERT_EQ(machine.SendControl(SERVICE_CONTROL_STOP), 0u);
  machine.Advance(3000);
  EXPECT_EQ(machine.ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(DebugLogContains(" Status read failed:995"));
  const auto stopped = TimesOf("status STOPPED");
  ASSERT_EQ(stopped.size(), 1u);
  EXPECT_LT(stopped[0] - sent, 1000);
  EXPECT_TRUE(machine.Faults().empty());
}

TEST_F(Rebinding, MainErrorAfterAStopIsTheDispatchersZero) {
  AddPrinterSetup();
  StartService();
  StopService();
  machine.Advance(2000);
  EXPECT_TRUE(DebugLogContains(" MainError:0\n"));
  EXPECT_FALSE(DebugLogContains(" MainError:1168"));
}

// ---- The tick count wraps after 49.7 days; a till runs for months.

// One history, played on a machine of its own whose tick count starts
// `ticksBeforeWrap` ms before it wraps (at 0 when 0): a port record 25 s
// after the arrival, one 37 s after (given up after 30 s), a re-binding
// against a Spooler slower than every bound, and a stop that owes it its
// start. Gives the timeline, each line with its time from the start.
struct WrapRun {
  std::vector<std::string> timeline;
  std::wstring port;
  bool spoolerRunning = false;
  DWORD serviceState = 0;
  int givenUp = 0;
  std::vector<std::string> faults;
};

WrapRun PlayAcrossTheClock(DWORD ticksBeforeWrap) {
  WrapRun run;
  sim::Machine machine;
  machine.InstallService("testserviceQ5M2K9", [] {
    ResetServiceState();
    return RunServiceProcess();
  });
  machine.AddQueue(kQueue, L"USB001");
  machine.AddPort(L"USB001", "USB\\VID_04B8&PID_0202\\OTHER");
  machine.AddDevice(kPrinterPath, "KX310MQ47H");
  machine.AddDevice(kSecondPrinterPath, "KX310MQ47H");
  if (ticksBeforeWrap != 0) machine.SetTickCount(0u - ticksBeforeWrap);
  EXPECT_EQ(machine.StartService(), 0u);
  machine.Advance(1000);
  // The second printer arrives last: the queue would follow it, but its
  // record comes too late.
  machine.Plug(kPrinterPath);
  machine.Plug(kSecondPrinterPath);
  machine.Advance(25000);
  machine.AddPort(L"USB002", kPrinterInstanceId);
  machine.Advance(12000);
  machine.AddPort(L"USB003", kSecondPrinterInstanceId);  // too late: given up
  machine.SetSpoolerStopTime(45000);
  machine.Unplug(kPrinterPath);
  machine.Plug(kPrinterPath);
  machine.Advance(1000);
  EXPECT_EQ(machine.SendControl(SERVICE_CONTROL_STOP), 0u);
  machine.Advance(120000);
  for (const auto& entry : machine.Trace()) {
    run.timeline.push_back(std::to_string(entry.time) + " " + entry.text);
    if (entry.text.find(" Printer records did not appear within 30000 ms") != std::string::npos) ++run.givenUp;
  }
  run.port = machine.Queue(kQueue)->port;
  run.spoolerRunning = machine.SpoolerRunning();
  run.serviceState = machine.ServiceState();
  run.faults = machine.Faults();
  return run;
}

struct WrapRow {
  const char* what;
  DWORD ticksBeforeWrap;
};

class AcrossTheWrap : public ::testing::TestWithParam<WrapRow> {};

TEST_P(AcrossTheWrap, WindowsAndBoundsHoldAsWithoutTheWrap) {
  const WrapRow row = GetParam();
  const WrapRun atZero = PlayAcrossTheClock(0);
  const WrapRun wrapped = PlayAcrossTheClock(row.ticksBeforeWrap);
  ResetServiceState();
  EXPECT_EQ(wrapped.port, L"USB002") << row.what;
  EXPECT_TRUE(wrapped.spoolerRunning) << row.what;
  EXPECT_EQ(wrapped.serviceState, static_cast<DWORD>(SERVICE_STOPPED)) << row.what;
  EXPECT_EQ(wrapped.givenUp, 1) << row.what;
  EXPECT_TRUE(wrapped.faults.empty()) << row.what;
  // Every step of the service, at the same moment as without the wrap.
  EXPECT_EQ(wrapped.timeline, atZero.timeline) << row.what;
}

INSTANTIATE_TEST_SUITE_P(Clock, AcrossTheWrap,
                         ::testing::Values(WrapRow{"the wrap during the late records", 10000},
                                           WrapRow{"the wrap during the restart", 38500},
                                           WrapRow{"the wrap during the stop", 60000}));

}  // namespace
