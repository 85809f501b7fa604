#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/status_monitor.h"
#include "service/service_state.h"
#include "tests/sim_fixture.h"

namespace {

struct StatusRow {
  BYTE status;
  std::vector<std::string> commands;  // sent in one pass, in order
  bool paused;
  DWORD queueStatus;
};

// The three bits the rules look at, every combination.
const StatusRow kRows[] = {
    {0x00, {"pause", "status 0x10"}, true, 0x10},
    {0x04, {"pause", "status 0x400000"}, true, 0x400000},
    {0x10, {"pause", "status 0x10", "pause", "status 0x100000"}, true, 0x100000},
    {0x14, {"pause", "status 0x400000", "pause", "status 0x100000"}, true, 0x100000},
    {0x20, {"resume", "status 0x0"}, false, 0},
    {0x24, {"pause", "status 0x400000"}, true, 0x400000},
    {0x30, {"pause", "status 0x100000", "resume", "status 0x0"}, false, 0},
    {0x34, {"pause", "status 0x400000", "pause", "status 0x100000"}, true, 0x100000},
};

std::vector<std::string> ExpectedRuleCommands(BYTE status) {
  std::vector<std::string> commands;
  for (const StatusRule& rule : StatusRules()) {
    if (!RuleFires(rule, status)) continue;
    if (rule.resume) {
      commands.insert(commands.end(), {"resume", "status 0x0"});
    } else {
      char text[32];
      std::snprintf(text, sizeof text, "status 0x%X", static_cast<unsigned>(rule.printerStatus));
      commands.insert(commands.end(), {"pause", text});
    }
  }
  return commands;
}

TEST(StatusRules, EveryCombinationOfTheThreeBits) {
  for (const StatusRow& row : kRows) {
    EXPECT_EQ(ExpectedRuleCommands(row.status), row.commands) << "status " << int{row.status};
    // Bits the rules do not look at change nothing.
    EXPECT_EQ(ExpectedRuleCommands(static_cast<BYTE>(row.status | 0xCB)), row.commands) << int{row.status};
  }
}

class StatusMonitor : public SimTest {
 protected:
  // Runs one status pass after start-up and returns its commands.
  std::vector<std::string> OnePass() {
    const std::size_t from = JournalSize();
    machine.Advance(kPollPeriodMs);
    return Describe(CommandsFrom(from));
  }
};

TEST_F(StatusMonitor, EachStatusRowMirrorsIntoTheQueue) {
  AddPrinterSetup();
  machine.Plug(kPrinterPath);
  StartService();
  for (const StatusRow& row : kRows) {
    machine.SetDeviceStatus(kPrinterPath, row.status);
    EXPECT_EQ(OnePass(), row.commands) << "status " << int{row.status};
    const auto queue = machine.Queue(kQueue);
    EXPECT_EQ(queue->paused, row.paused) << int{row.status};
    EXPECT_EQ(queue->status, row.queueStatus) << int{row.status};
    EXPECT_EQ(machine.DebugLines().back(), "QZ5 STATUS:" + std::to_string(row.status) + "\r\n");
  }
}

TEST_F(StatusMonitor, CommandsGoOutOnEveryPassEvenWithoutChange) {
  AddPrinterSetup(0x00);
  machine.Plug(kPrinterPath);
  StartService();
  const std::size_t from = JournalSize();
  machine.Advance(10 * kPollPeriodMs);
  EXPECT_EQ(CommandsFrom(from).size(), 20u);
}

// A printer of the model was unplugged: until an arrival has the monitor
// thread reopen a printer, what the open device reads is logged but not
// mirrored (the service cannot tell which of two printers of the model left).
TEST_F(StatusMonitor, AfterAnUnplugNothingIsReadOrMirroredUntilAReopen) {
  AddPrinterSetup(0x00);
  machine.AddDevice(kSecondPrinterPath, "KX310MQ47H", 0x00);
  machine.Plug(kPrinterPath);
  machine.Plug(kSecondPrinterPath);
  StartService();
  machine.Advance(kPollPeriodMs);
  machine.Unplug(kSecondPrinterPath);
  machine.RunUntilIdle();
  const auto queue = machine.Queue(kQueue);
  EXPECT_TRUE(queue->paused);
  EXPECT_EQ(queue->status, PRINTER_STATUS_OFFLINE);
  // The device is closed at the unplug.
  const std::size_t lines = machine.DebugLines().size();
  for (int pass = 0; pass < 3; ++pass) EXPECT_TRUE(OnePass().empty());
  EXPECT_EQ(machine.DebugLines().size(), lines);
  EXPECT_EQ(machine.OpenHandles().byKind.count("device"), 0u);
  // Any arrival has it reopened: the first printer is mirrored again.
  machine.AddDevice(kMousePath);
  const std::size_t from = JournalSize();
  machine.Plug(kMousePath);
  machine.RunUntilIdle();
  EXPECT_EQ(Describe(CommandsFrom(from)), (std::vector<std::string>{"pause", "status 0x10"}));
}

TEST_F(StatusMonitor, NoPrinterAtStartMeansSilenceUntilAReopen) {
  AddPrinterSetup();
  StartService();
  const std::size_t lines = machine.DebugLines().size();
  machine.Advance(5 * kPollPeriodMs);
  EXPECT_EQ(machine.DebugLines().size(), lines);
  EXPECT_TRUE(machine.SpoolerJournal().empty());
  // The thread does not look again by itself: only a reopen request finds it.
  machine.Plug(kPrinterPath);  // the service reacts to the arrival with a reopen request
  machine.Advance(kPollPeriodMs);
  EXPECT_TRUE(DebugLogContains("QZ5 STATUS:32"));
}

TEST_F(StatusMonitor, BeforeTheFirstCompleteRecordFailedAndShortReadsSendNothing) {
  AddPrinterSetup(0x20);
  machine.Plug(kPrinterPath);
  // From the very first pass: a zeroed buffer must not read as "paper out".
  sim::DeviceFaults faults;
  faults.shortRead = 3;
  machine.SetDeviceFaults(kPrinterPath, faults);
  StartService();
  machine.Advance(2 * kPollPeriodMs);
  EXPECT_TRUE(machine.SpoolerJournal().empty());
  EXPECT_EQ(machine.DebugLines().back(), " Status record short:3 bytes\r\n");

  faults = {};
  faults.readError = ERROR_GEN_FAILURE;
  machine.SetDeviceFaults(kPrinterPath, faults);
  EXPECT_TRUE(OnePass().empty());
  EXPECT_EQ(machine.DebugLines().back(), " Status read failed:31\r\n");
  EXPECT_FALSE(DebugLogContains("QZ5 STATUS"));

  machine.SetDeviceFaults(kPrinterPath, {});
  EXPECT_EQ(OnePass(), (std::vector<std::string>{"resume", "status 0x0"}));
}

TEST_F(StatusMonitor, FailedReadRepeatsTheLastCompleteRecord) {
  AddPrinterSetup(0x04);  // cover open
  machine.Plug(kPrinterPath);
  StartService();
  ASSERT_EQ(machine.DebugLines().back(), "QZ5 STATUS:4\r\n");
  // The printer changes, but the reads fail: the queue keeps showing the
  // last state read, pass after pass.
  machine.SetDeviceStatus(kPrinterPath, 0x20);
  sim::DeviceFaults faults;
  faults.readError = ERROR_GEN_FAILURE;
  machine.SetDeviceFaults(kPrinterPath, faults);
  for (int pass = 0; pass < 2; ++pass) {
    const std::size_t lines = machine.DebugLines().size();
    EXPECT_EQ(OnePass(), (std::vector<std::string>{"pause", "status 0x400000"}));
    const std::vector<std::string> all = machine.DebugLines();
    const std::vector<std::string> passLines(all.begin() + static_cast<std::ptrdiff_t>(lines), all.end());
    EXPECT_EQ(passLines, (std::vector<std::string>{" Status read failed:31\r\n", "QZ5 STATUS:4\r\n"}));
  }
  // A short record after a complete one still sends nothing.
  faults = {};
  faults.shortRead = 4;
  machine.SetDeviceFaults(kPrinterPath, faults);
  EXPECT_TRUE(OnePass().empty());
  EXPECT_EQ(machine.DebugLines().back(), " Status record short:4 bytes\r\n");
  // Reads that work again bring the printer's real state.
  machine.SetDeviceFaults(kPrinterPath, {});
  EXPECT_EQ(OnePass(), (std::vector<std::string>{"resume", "status 0x0"}));
}

TEST_F(StatusMonitor, ARemovedPrintersLastRecordIsNotMirroredAfterItsReturn) {
  AddPrinterSetup(0x00);
  machine.Plug(kPrinterPath);
  StartService();
  machine.Unplug(kPrinterPath);
  machine.RunUntilIdle();
  // Back, but every read fails: the record read before the unplug says
  // nothing of the printer there now.
  sim::DeviceFaults failing;
  failing.readError = ERROR_GEN_FAILURE;
  machine.SetDeviceFaults(kPrinterPath, failing);
  machine.Plug(kPrinterPath);
  machine.RunUntilIdle();
  EXPECT_TRUE(OnePass().empty());
  EXPECT_EQ(machine.DebugLines().back(), " Status read failed:31\r\n");
}

TEST_F(StatusMonitor, ReopenOfAnAttachedPrinterSucceeds) {
  AddPrinterSetup(0x20);
  machine.AddDevice(kMousePath);
  machine.Plug(kPrinterPath);
  StartService();
  // Any USB arrival has the printer looked for again.
  machine.Plug(kMousePath);
  machine.RunUntilIdle();
  // The old handle is closed before the exclusive open, so the printer is
  // found again rather than lost to a sharing violation.
  EXPECT_EQ(CountDebugLinesContaining(" DevicePath:"), 2);
  EXPECT_EQ(OnePass(), (std::vector<std::string>{"resume", "status 0x0"}));
  EXPECT_FALSE(DebugLogContains("open failed"));
  EXPECT_EQ(machine.OpenHandles().byKind.at("device"), 1);
}

TEST_F(StatusMonitor, ArrivalDuringAReopenIsNotLost) {
  AddPrinterSetup(0x20);
  machine.AddDevice(kMousePath);
  machine.AddDevice(kSecondPrinterPath, "OTHER");
  machine.Plug(kPrinterPath);
  StartService();
  sim::DeviceFaults slowOpen;
  slowOpen.openLatency = 100;
  machine.SetDeviceFaults(kPrinterPath, slowOpen);
  machine.Plug(kMousePath);
  machine.Advance(50);  // the monitor is inside the slow reopen
  const int discoveries = CountDebugLinesContaining(" DevicePath:");
  machine.Plug(kSecondPrinterPath);  // another arrival meanwhile
  machine.Advance(2 * kPollPeriodMs);
  // The open under way was counted already: the arrival has one more made.
  EXPECT_EQ(CountDebugLinesContaining(" DevicePath:"), discoveries + 1);
  EXPECT_EQ(machine.OpenHandles().byKind.at("device"), 1);
}

}  // namespace
