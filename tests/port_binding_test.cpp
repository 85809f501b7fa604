#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "spooler/port_binding.h"
#include "spooler/printer_queue.h"
#include "tests/sim_fixture.h"

namespace {

class PortBinding : public SimTest {
 protected:
  int PortWrites() const {
    int writes = 0;
    for (const auto& command : machine.SpoolerJournal()) writes += command.kind == sim::SpoolerCommand::Kind::SetPort;
    return writes;
  }
};

TEST_F(PortBinding, OnlyPortsNamedUsbAreListedInSpoolerOrder) {
  for (const wchar_t* port : {L"COM1", L"LPT1", L"USB001", L"USB002", L"FILE:", L"usb003", L"VIRTUALUSB9"}) {
    machine.AddPort(port);
  }
  EXPECT_EQ(EnumerateUsbPorts(), (std::vector<std::wstring>{L"USB001", L"USB002", L"VIRTUALUSB9"}));
  machine.FailPortEnumeration(ERROR_ACCESS_DENIED);
  EXPECT_TRUE(EnumerateUsbPorts().empty());
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST(DeviceInstanceId, DerivedFromTheInterfacePathOrRejected) {
  const struct {
    const wchar_t* path;
    const wchar_t* id;
  } cases[] = {
      {L"\\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
       L"USB\\VID_0483&PID_5741\\ABC123"},
      {L"\\\\?\\USB#VID_0483&PID_5741#ABC123", L"USB\\VID_0483&PID_5741"},
      {L"no hash at all", L""},
      {L"\\\\?\\#{guid}", L""},  // nothing after the prefix
      {L"ab#c", L""},            // too short to hold the prefix
      {L"", L""},
  };
  for (const auto& c : cases) EXPECT_EQ(DeviceInstanceIdFromPath(c.path), c.id);
}

TEST_F(PortBinding, FindsThePortThatRecordsTheDevice) {
  AddMovedPrinterSetup();
  EXPECT_EQ(FindUsbPortForDevice({L"USB001", L"USB002"}, kPrinterPath), L"USB002");
  // List order decides, and the id is compared without regard to case.
  machine.AddPort(L"USB003", "usb\\vid_0483&pid_5741\\abc123");
  EXPECT_EQ(FindUsbPortForDevice({L"USB003", L"USB002"}, kPrinterPath), L"USB003");
  EXPECT_EQ(machine.OpenHandles().Total(), 0);  // the matching port's key is closed too
}

TEST_F(PortBinding, UnreadablePortsDoNotMatchAndAreLogged) {
  machine.AddPort(L"USB004");  // no USB monitor key
  EXPECT_EQ(FindUsbPortForDevice({L"USB004"}, kPrinterPath), L"");
  EXPECT_EQ(machine.DebugLines().back(), "GetLastError:2\r\n");
  // A port name that makes the key path too long is skipped, not overflowed.
  const std::wstring longPort = L"USB" + std::wstring(500, L'9');
  machine.AddPort(longPort, kPrinterInstanceId);
  EXPECT_EQ(FindUsbPortForDevice({longPort}, kPrinterPath), L"");
  EXPECT_TRUE(DebugLogContains("key path rejected"));
  // A path with no instance id in it matches nothing and reads nothing.
  machine.AddPort(L"USB005", kPrinterInstanceId);
  EXPECT_EQ(FindUsbPortForDevice({L"USB005"}, L"no hash"), L"");
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(PortBinding, RebindingWritesThePortAndRestartsTheSpoolerInOnePointSixSeconds) {
  AddMovedPrinterSetup();
  const sim::Millis start = machine.Now();
  SetPrinterPortAndRestartSpooler(L"USB002");
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB002");
  EXPECT_EQ(machine.SpoolerRestarts(), 1);
  EXPECT_TRUE(machine.SpoolerRunning());
  EXPECT_EQ(machine.Now() - start, 1600);
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(PortBinding, SlowSpoolerIsWaitedForAndStartedAgain) {
  AddMovedPrinterSetup();
  machine.SetSpoolerStopTime(2000);
  const sim::Millis start = machine.Now();
  SetPrinterPortAndRestartSpooler(L"USB002");
  EXPECT_TRUE(machine.SpoolerRunning());
  EXPECT_EQ(machine.SpoolerRestarts(), 1);
  EXPECT_FALSE(DebugLogContains("start failed"));
  // Stopped at 2000 ms, seen at the next 100 ms poll, then the 1.3 s after the start.
  EXPECT_EQ(machine.Now() - start, 2000 + 1300);
}

TEST_F(PortBinding, SpoolerThatNeverStopsInTimeIsReportedAndItsStartIsOwed) {
  AddMovedPrinterSetup();
  machine.SetSpoolerStopTime(45000);
  const sim::Millis start = machine.Now();
  const PortChange change = SetPrinterPortAndRestartSpooler(L"USB002");
  EXPECT_TRUE(change.written);
  EXPECT_EQ(change.restart, SpoolerRestart::StartOwed);
  EXPECT_TRUE(DebugLogContains(" Spooler did not stop within 6000 ms"));
  EXPECT_FALSE(DebugLogContains("start failed"));
  // Never a start that must fail: the spooler is still stopping.
  EXPECT_EQ(machine.SpoolerState(), static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_LE(machine.Now() - start, kSpoolerStopTimeoutMs + kSpoolerPollMs);
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
  // Once it has stopped, the owed start is made.
  EXPECT_EQ(StartSpooler(false, true, nullptr, true), SpoolerRestart::StartOwed);
  machine.Advance(45000);
  EXPECT_EQ(StartSpooler(false, true, nullptr, true), SpoolerRestart::Done);
  EXPECT_TRUE(machine.SpoolerRunning());
}

TEST_F(PortBinding, RejectedWritesAreTriedTwentyOneTimesAndTheSpoolerIsLeftAlone) {
  AddMovedPrinterSetup();
  machine.RejectPortWrites(ERROR_ACCESS_DENIED);
  const sim::Millis start = machine.Now();
  SetPrinterPortAndRestartSpooler(L"USB002");
  EXPECT_EQ(PortWrites(), kPortWriteAttempts);
  EXPECT_EQ(machine.SpoolerRestarts(), 0);
  EXPECT_EQ(machine.Now(), start);
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB001");
  EXPECT_TRUE(DebugLogContains(" Port write failed 21 times:5"));
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(PortBinding, UnreachableServiceManagerSkipsBothHalvesAndTheirPauses) {
  AddMovedPrinterSetup();
  machine.SetServiceManagerUnreachable(ERROR_ACCESS_DENIED);
  const sim::Millis start = machine.Now();
  SetPrinterPortAndRestartSpooler(L"USB002");
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB002");
  EXPECT_EQ(machine.SpoolerRestarts(), 0);
  EXPECT_TRUE(machine.SpoolerRunning());
  EXPECT_EQ(machine.Now(), start);
  EXPECT_EQ(CountDebugLinesContaining(" OpenSCManager failed:5"), 2);
}

TEST_F(PortBinding, EmptyPortIsRefused) {
  AddMovedPrinterSetup();
  SetPrinterPortAndRestartSpooler(L"");
  EXPECT_EQ(PortWrites(), 0);
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB001");
  EXPECT_EQ(machine.SpoolerRestarts(), 0);
  EXPECT_TRUE(DebugLogContains(" Refusing to bind the queue to an empty port"));
}

TEST_F(PortBinding, SamePortStillRestartsTheSpooler) {
  AddMovedPrinterSetup();
  SetPrinterPortAndRestartSpooler(L"USB001");
  EXPECT_EQ(PortWrites(), 1);
  EXPECT_EQ(machine.SpoolerRestarts(), 1);
}

TEST_F(PortBinding, MissingQueueLeavesEverythingAlone) {
  machine.AddPort(L"USB002", kPrinterInstanceId);
  SetPrinterPortAndRestartSpooler(L"USB002");
  EXPECT_EQ(PortWrites(), 0);
  EXPECT_EQ(machine.SpoolerRestarts(), 0);
  EXPECT_TRUE(DebugLogContains(" Open Printer Error :GetLastError() returns: 0x709"));
  EXPECT_EQ(machine.StdoutLines(), std::vector<std::string>{kOpenPrinterFailedText});
}

}  // namespace
