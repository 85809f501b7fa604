// Faults a till lives through: each test ends with the queue where the status
// rules put it, the spooler running and nothing leaked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "monitor/status_monitor.h"
#include "service/service_state.h"
#include "tests/sim_fixture.h"

namespace {

class Faults : public SimTest {
 protected:
  // The end state every fault must leave: the queue as the printer's status
  // says, the spooler up, and only the running service's own handles open.
  void ExpectSettled(bool paused, DWORD status, const wchar_t* port) {
    machine.Advance(2 * kPollPeriodMs);
    const auto queue = machine.Queue(kQueue);
    ASSERT_TRUE(queue.has_value());
    EXPECT_EQ(queue->paused, paused);
    EXPECT_EQ(queue->status, status);
    EXPECT_EQ(queue->port, port);
    EXPECT_TRUE(machine.SpoolerRunning());
    auto handles = machine.OpenHandles().byKind;
    handles.erase("device");  // present or not depending on the fault
    EXPECT_EQ(handles,
              (std::map<std::string, int>{{"event", 2}, {"event-source", 1}, {"notification", 1}, {"thread", 1}}));
    StopService();
    EXPECT_EQ(machine.OpenHandles(), sim::HandleCounts{});
  }
};

TEST_F(Faults, SpoolerDownDuringStatusPasses) {
  AddPrinterSetup(0x20);
  machine.Plug(kPrinterPath);
  StartService();
  machine.StopSpooler();
  machine.SetDeviceStatus(kPrinterPath, 0x00);
  machine.Advance(3 * kPollPeriodMs);
  // Every pass tries and fails to open the queue; nothing reaches it.
  EXPECT_GE(CountDebugLinesContaining("0x6ba"), 3);
  EXPECT_FALSE(machine.Queue(kQueue)->paused);
  machine.StartSpooler();
  ExpectSettled(true, PRINTER_STATUS_PAPER_OUT, L"USB001");
}

TEST_F(Faults, SpoolerDownWhenThePrinterArrivesOnANewPort) {
  AddMovedPrinterSetup();
  StartService();
  machine.StopSpooler();
  machine.Plug(kPrinterPath);
  machine.RunUntilIdle();
  // No ports can be listed, so no port is found and nothing is rewritten...
  EXPECT_TRUE(DebugLogContains(" USB ports cannot be listed:1722"));
  EXPECT_FALSE(DebugLogContains(" No USB port records the device"));
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB001");
  // ...until the spooler is back: the monitor thread looks again and re-binds.
  machine.StartSpooler();
  machine.Advance(4000);
  ExpectSettled(false, 0, L"USB002");
}

TEST_F(Faults, SpoolerStoppedByOthersDuringARebinding) {
  AddMovedPrinterSetup();
  machine.SetSpoolerStopTime(1000);
  StartService();
  machine.Plug(kPrinterPath);
  machine.Advance(100);
  // An administrator starts the spooler while it is still stopping: refused.
  machine.StartSpooler();
  machine.Advance(5000);
  EXPECT_EQ(machine.SpoolerRestarts(), 1);
  ExpectSettled(false, 0, L"USB002");
}

TEST_F(Faults, SpoolerSlowerToStopThanThePause) {
  AddMovedPrinterSetup();
  machine.SetSpoolerStopTime(4000);
  StartService();
  machine.Plug(kPrinterPath);
  machine.Advance(8000);
  EXPECT_FALSE(DebugLogContains("start failed"));
  EXPECT_EQ(machine.SpoolerRestarts(), 1);
  ExpectSettled(false, 0, L"USB002");
}

TEST_F(Faults, ServiceManagerUnreachableDuringARebinding) {
  AddMovedPrinterSetup();
  StartService();
  machine.SetServiceManagerUnreachable(ERROR_ACCESS_DENIED);
  machine.Plug(kPrinterPath);
  machine.Advance(3000);
  // The port is written; the restart that would make it take effect cannot be done.
  EXPECT_EQ(machine.SpoolerRestarts(), 0);
  EXPECT_EQ(CountDebugLinesContaining(" OpenSCManager failed:5"), 2);
  machine.SetServiceManagerUnreachable(0);
  ExpectSettled(false, 0, L"USB002");
}

TEST_F(Faults, PrinterHeldByAnotherProgram) {
  AddPrinterSetup(0x00);
  machine.Plug(kPrinterPath);
  sim::DeviceFaults held;
  held.heldByOtherProgram = true;
  machine.SetDeviceFaults(kPrinterPath, held);
  StartService();
  machine.Advance(3 * kPollPeriodMs);
  EXPECT_TRUE(DebugLogContains(" Printer device open failed:32"));
  EXPECT_TRUE(machine.SpoolerJournal().empty());
  // Released, it is found again at the next reopen request (a USB arrival).
  machine.SetDeviceFaults(kPrinterPath, {});
  machine.AddDevice(kMousePath);
  machine.Plug(kMousePath);
  ExpectSettled(true, PRINTER_STATUS_PAPER_OUT, L"USB001");
}

TEST_F(Faults, ReadsThatFailOrComeShort) {
  AddPrinterSetup(0x24);
  machine.Plug(kPrinterPath);
  StartService();
  machine.Advance(kPollPeriodMs);
  ASSERT_EQ(machine.Queue(kQueue)->status, static_cast<DWORD>(PRINTER_STATUS_DOOR_OPEN));
  for (const bool shortRead : {false, true}) {
    sim::DeviceFaults faults;
    if (shortRead) {
      faults.shortRead = 4;
    } else {
      faults.readError = ERROR_GEN_FAILURE;
    }
    machine.SetDeviceFaults(kPrinterPath, faults);
    machine.SetDeviceStatus(kPrinterPath, 0x20);  // not seen while reads fail
    const std::size_t journal = JournalSize();
    machine.Advance(3 * kPollPeriodMs);
    // A failed read repeats the last complete record; a short one sends nothing.
    std::vector<std::string> expected;
    for (int pass = 0; pass < 3 && !shortRead; ++pass) expected.insert(expected.end(), {"pause", "status 0x400000"});
    EXPECT_EQ(Describe(CommandsFrom(journal)), expected) << (shortRead ? "short reads" : "failed reads");
    EXPECT_EQ(machine.Queue(kQueue)->status, static_cast<DWORD>(PRINTER_STATUS_DOOR_OPEN));
    machine.SetDeviceStatus(kPrinterPath, 0x24);
  }
  machine.SetDeviceFaults(kPrinterPath, {});
  ExpectSettled(true, PRINTER_STATUS_DOOR_OPEN, L"USB001");
}

TEST_F(Faults, PrinterUnpluggedInTheMiddleOfARead) {
  AddPrinterSetup(0x20);
  machine.Plug(kPrinterPath);
  sim::DeviceFaults slow;
  slow.readLatency = 300;
  machine.SetDeviceFaults(kPrinterPath, slow);
  StartService();
  machine.Advance(kPollPeriodMs + 400);  // the second read is under way
  const std::size_t journal = JournalSize();
  machine.Unplug(kPrinterPath);
  machine.Advance(kPollPeriodMs);
  // The unplug cuts the read short.
  EXPECT_TRUE(DebugLogContains(" Status read failed:995"));
  // Only the removal's own commands reached the queue.
  EXPECT_EQ(Describe(CommandsFrom(journal)), (std::vector<std::string>{"pause", "status 0x80"}));
  ExpectSettled(true, PRINTER_STATUS_OFFLINE, L"USB001");
}

TEST_F(Faults, PortListingFails) {
  AddMovedPrinterSetup();
  StartService();
  machine.FailPortEnumeration(ERROR_ACCESS_DENIED);
  machine.Plug(kPrinterPath);
  machine.Advance(3000);
  EXPECT_TRUE(DebugLogContains(" USB ports cannot be listed:5"));
  EXPECT_EQ(machine.SpoolerRestarts(), 0);
  // Once the ports can be listed again, the re-check finds the printer's port.
  machine.FailPortEnumeration(0);
  machine.Advance(4000);
  EXPECT_EQ(machine.SpoolerRestarts(), 1);
  ExpectSettled(false, 0, L"USB002");
}

TEST_F(Faults, SpoolerRejectsThePortWrite) {
  AddMovedPrinterSetup();
  StartService();
  machine.RejectPortWrites(ERROR_ACCESS_DENIED);
  machine.Plug(kPrinterPath);
  machine.Advance(3000);
  EXPECT_TRUE(DebugLogContains(" Port write failed 21 times:5"));
  EXPECT_EQ(machine.SpoolerRestarts(), 0);
  ExpectSettled(false, 0, L"USB001");
}

}  // namespace
