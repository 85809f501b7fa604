#include <gtest/gtest.h>

#include "spooler/printer_queue.h"
#include "tests/sim_fixture.h"

namespace {

class PrinterQueue : public SimTest {};

const char kOpenError709[] = " Open Printer Error :GetLastError() returns: 0x709\n";

TEST_F(PrinterQueue, PortIsReadAfterTheMarkerLine) {
  machine.AddQueue(kQueue, L"USB003");
  EXPECT_EQ(GetPrinterPort(), L"USB003");
  EXPECT_EQ(machine.DebugLines(), std::vector<std::string>{"GetPrinterHandle"});
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(PrinterQueue, MissingQueueWritesBothOpenFailureMessages) {
  EXPECT_EQ(GetPrinterPort(), L"");
  EXPECT_EQ(machine.DebugLines(), (std::vector<std::string>{"GetPrinterHandle", kOpenError709}));
  EXPECT_EQ(machine.StdoutLines(), std::vector<std::string>{kOpenPrinterFailedText});
  EXPECT_FALSE(GetPrinterHandle());
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(PrinterQueue, PauseWithStatusThenResume) {
  machine.AddQueue(kQueue, L"USB001");
  SetPrinterErrorStatus(PRINTER_STATUS_OFFLINE);
  EXPECT_EQ(Describe(CommandsFrom(0)), (std::vector<std::string>{"pause", "status 0x80"}));
  auto queue = machine.Queue(kQueue);
  EXPECT_TRUE(queue->paused);
  EXPECT_EQ(queue->status, static_cast<DWORD>(PRINTER_STATUS_OFFLINE));

  SetPrinterErrorStatus(PRINTER_STATUS_PAPER_OUT);
  EXPECT_EQ(machine.Queue(kQueue)->status, static_cast<DWORD>(PRINTER_STATUS_PAPER_OUT));  // replaced, not combined

  ResumePrinter();
  queue = machine.Queue(kQueue);
  EXPECT_FALSE(queue->paused);
  EXPECT_EQ(queue->status, 0u);
  EXPECT_EQ(Describe(CommandsFrom(4)), (std::vector<std::string>{"resume", "status 0x0"}));
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(PrinterQueue, DeletedQueueGetsNoCommandsAndLeaksNothing) {
  SetPrinterErrorStatus(PRINTER_STATUS_PAPER_OUT);
  ResumePrinter();
  EXPECT_TRUE(machine.SpoolerJournal().empty());
  EXPECT_EQ(CountDebugLinesContaining(kOpenError709), 2);
  EXPECT_EQ(machine.StdoutLines().size(), 2u);
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(PrinterQueue, SpoolerDownFailsEveryOperationWithoutLeaking) {
  machine.AddQueue(kQueue, L"USB001");
  machine.StopSpooler();
  EXPECT_EQ(GetPrinterPort(), L"");
  EXPECT_TRUE(DebugLogContains("0x6ba"));  // RPC_S_SERVER_UNAVAILABLE
  SetPrinterErrorStatus(PRINTER_STATUS_PAPER_OUT);
  EXPECT_TRUE(machine.SpoolerJournal().empty());
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

}  // namespace
