#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "common/model.h"
#include "monitor/status_monitor.h"
#include "service/device_events.h"
#include "service/service_state.h"
#include "spooler/printer_queue.h"
#include "tests/heap_counter.h"
#include "tests/sim_fixture.h"

namespace {

constexpr std::size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);

// A device-interface record whose name area holds `name` (terminated or not)
// and whose size field says `size` (the whole record when 0).
std::vector<BYTE> EventRecord(const std::wstring& name, bool terminated = true, DWORD size = 0) {
  const std::size_t chars = name.size() + (terminated ? 1 : 0);
  std::vector<BYTE> record(kNameOffset + chars * sizeof(wchar_t), 0);
  DEV_BROADCAST_DEVICEINTERFACE_W header = {};
  header.dbcc_size = size != 0 ? size : static_cast<DWORD>(record.size());
  header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  header.dbcc_classguid = kUsbDeviceInterfaceClass;
  std::memcpy(record.data(), &header, kNameOffset);
  std::memcpy(record.data() + kNameOffset, name.data(), name.size() * sizeof(wchar_t));
  return record;
}

TEST(InterfacePathFromEvent, ReadsNoFurtherThanTheRecord) {
  EXPECT_EQ(InterfacePathFromEvent(EventRecord(kPrinterPath).data()), std::wstring(kPrinterPath));
  EXPECT_EQ(InterfacePathFromEvent(EventRecord(L"").data()), std::wstring());
  // Not terminated within the record.
  EXPECT_EQ(InterfacePathFromEvent(EventRecord(kPrinterPath, false).data()), std::nullopt);
  // A size that cuts the name short.
  EXPECT_EQ(InterfacePathFromEvent(EventRecord(kPrinterPath, true, kNameOffset + 8).data()), std::nullopt);
  // A size that leaves no room for a name at all.
  EXPECT_EQ(InterfacePathFromEvent(EventRecord(kPrinterPath, true, 12).data()), std::nullopt);
  // Another kind of record.
  auto volume = EventRecord(kPrinterPath);
  volume[4] = 2;  // DBT_DEVTYP_VOLUME
  EXPECT_EQ(InterfacePathFromEvent(volume.data()), std::nullopt);
  EXPECT_EQ(InterfacePathFromEvent(nullptr), std::nullopt);
}

class DeviceEvents : public SimTest {
 protected:
  std::vector<std::string> CommandsDuring(sim::Millis duration) {
    const std::size_t from = JournalSize();
    machine.Advance(duration);
    return Describe(CommandsFrom(from));
  }
};

TEST_F(DeviceEvents, ArrivalOnTheQueuesPortChangesNothingInTheSpooler) {
  AddPrinterSetup(0x00);
  StartService();
  const std::size_t from = JournalSize();
  machine.Plug(kPrinterPath);
  machine.RunUntilIdle();
  // No port write and no resume: the monitor thread, woken by the arrival,
  // reopens the device and mirrors its status at once.
  EXPECT_EQ(Describe(CommandsFrom(from)), (std::vector<std::string>{"pause", "status 0x10"}));
  EXPECT_EQ(machine.SpoolerRestarts(), 0);
  EXPECT_EQ(CommandsDuring(kPollPeriodMs), (std::vector<std::string>{"pause", "status 0x10"}));
}

TEST_F(DeviceEvents, ArrivalOnANewPortRebindsRestartsAndResumes) {
  AddMovedPrinterSetup();
  // Left paused and offline by an unplug.
  ASSERT_EQ(SetPrinterErrorStatus(PRINTER_STATUS_OFFLINE), static_cast<DWORD>(ERROR_SUCCESS));
  StartService();
  ASSERT_TRUE(machine.Queue(kQueue)->paused);

  const sim::Millis plugged = machine.Now();
  machine.Plug(kPrinterPath);
  machine.Advance(3000);
  const auto queue = machine.Queue(kQueue);
  EXPECT_EQ(queue->port, L"USB002");
  EXPECT_EQ(machine.SpoolerRestarts(), 1);
  EXPECT_TRUE(machine.SpoolerRunning());
  EXPECT_FALSE(queue->paused);
  EXPECT_EQ(queue->status, 0u);
  // The status rules, on a fresh read, follow the restart at once.
  bool resumedAfterTheRestart = false;
  for (const auto& c : machine.SpoolerJournal()) {
    if (c.time == plugged + 1600 && c.kind == sim::SpoolerCommand::Kind::Resume && c.succeeded) {
      resumedAfterTheRestart = true;
    }
  }
  EXPECT_TRUE(resumedAfterTheRestart);
  // Mirroring goes on from the reopened device.
  machine.SetDeviceStatus(kPrinterPath, 0x04);
  EXPECT_EQ(CommandsDuring(kPollPeriodMs), (std::vector<std::string>{"pause", "status 0x400000"}));
  EXPECT_EQ(machine.OpenHandles().byKind.at("device"), 1);
}

TEST_F(DeviceEvents, PortNamesDifferingOnlyInCaseAreTheSamePort) {
  machine.AddQueue(kQueue, L"usb002");
  machine.AddPort(L"USB002", kPrinterInstanceId);
  machine.AddDevice(kPrinterPath, "KX310MQ47H");
  StartService();
  machine.Plug(kPrinterPath);
  machine.Advance(3000);
  EXPECT_EQ(machine.SpoolerRestarts(), 0);
  EXPECT_EQ(machine.Queue(kQueue)->port, L"usb002");
}

TEST_F(DeviceEvents, NoPortRecordsTheDeviceSoNoPortIsWrittenButTheQueueResumes) {
  machine.AddQueue(kQueue, L"USB001");
  machine.AddPort(L"USB001", "USB\\VID_04B8&PID_0202\\OTHER");
  machine.AddDevice(kPrinterPath, "KX310MQ47H", 0x00);
  StartService();
  const std::size_t from = JournalSize();
  const int portReads = CountDebugLinesContaining("GetPrinterHandle");
  machine.Plug(kPrinterPath);
  machine.RunUntilIdle();
  // The port is read, then read again; nothing is written, and the queue
  // shows the printer's state (out of paper) at once rather than a resume.
  EXPECT_EQ(Describe(CommandsFrom(from)), (std::vector<std::string>{"pause", "status 0x10"}));
  EXPECT_EQ(CountDebugLinesContaining("GetPrinterHandle"), portReads + 2);
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB001");
  EXPECT_EQ(machine.SpoolerRestarts(), 0);
  EXPECT_TRUE(DebugLogContains(" No USB port records the device"));
  EXPECT_FALSE(DebugLogContains("Refusing"));
}

TEST_F(DeviceEvents, NoPortRecordsTheDeviceAndTheQueueHasNoPortSoNothingHappens) {
  machine.AddQueue(kQueue, L"");
  machine.AddPort(L"USB001", "USB\\VID_04B8&PID_0202\\OTHER");
  machine.AddDevice(kPrinterPath, "KX310MQ47H", 0x00);
  StartService();
  const std::size_t from = JournalSize();
  machine.Plug(kPrinterPath);
  machine.RunUntilIdle();
  // Only the status rules' commands: no port write, no resume.
  EXPECT_EQ(Describe(CommandsFrom(from)), (std::vector<std::string>{"pause", "status 0x10"}));
  EXPECT_EQ(machine.Queue(kQueue)->port, L"");
  EXPECT_TRUE(DebugLogContains(" No USB port records the device"));
}

TEST_F(DeviceEvents, RemovalMarksTheQueueOfflineAndSilencesTheRules) {
  AddPrinterSetup(0x20);
  machine.Plug(kPrinterPath);
  StartService();
  machine.Advance(kPollPeriodMs / 2);
  const std::size_t from = JournalSize();
  machine.Unplug(kPrinterPath);
  machine.RunUntilIdle();
  EXPECT_EQ(Describe(CommandsFrom(from)), (std::vector<std::string>{"pause", "status 0x80"}));
  const std::size_t lines = machine.DebugLines().size();
  EXPECT_TRUE(CommandsDuring(10 * kPollPeriodMs).empty());
  // The device of a printer that has gone is closed: nothing is read from
  // it, and the system can complete the removal.
  EXPECT_EQ(machine.DebugLines().size(), lines);
  EXPECT_EQ(machine.OpenHandles().byKind.count("device"), 0u);
  const auto queue = machine.Queue(kQueue);
  EXPECT_TRUE(queue->paused);
  EXPECT_EQ(queue->status, static_cast<DWORD>(PRINTER_STATUS_OFFLINE));
}

TEST_F(DeviceEvents, RemovalOfAnotherDeviceChangesNothing) {
  AddPrinterSetup(0x20);
  machine.AddDevice(kMousePath);
  machine.Plug(kPrinterPath);
  machine.Plug(kMousePath);
  StartService();
  const std::size_t from = JournalSize();
  machine.Unplug(kMousePath);
  machine.RunUntilIdle();
  EXPECT_TRUE(CommandsFrom(from).empty());
  EXPECT_EQ(machine.EventLog().back().ShownId(), 100u);  // no unplug entry
  // The printer is still mirrored.
  EXPECT_EQ(CommandsDuring(kPollPeriodMs), (std::vector<std::string>{"resume", "status 0x0"}));
}

TEST_F(DeviceEvents, MouseWhilePrinterAwayEndsSuppressionAndFindsNothing) {
  AddPrinterSetup(0x20);
  machine.AddDevice(kMousePath);
  machine.Plug(kPrinterPath);
  StartService();
  machine.Unplug(kPrinterPath);
  machine.RunUntilIdle();
  machine.Plug(kMousePath);
  machine.RunUntilIdle();
  const std::size_t lines = machine.DebugLines().size();
  EXPECT_TRUE(CommandsDuring(5 * kPollPeriodMs).empty());
  // The reopen found no printer: no device, so no reads and no lines at all.
  EXPECT_EQ(machine.DebugLines().size(), lines);
  EXPECT_EQ(machine.OpenHandles().byKind.count("device"), 0u);
}

TEST_F(DeviceEvents, MouseWhilePrinterAttachedKeepsThePrinterInSight) {
  AddPrinterSetup(0x20);
  machine.AddDevice(kMousePath);
  machine.Plug(kPrinterPath);
  StartService();
  machine.Plug(kMousePath);
  machine.RunUntilIdle();
  machine.SetDeviceStatus(kPrinterPath, 0x00);
  machine.Advance(kPollPeriodMs);
  EXPECT_EQ(CommandsDuring(kPollPeriodMs), (std::vector<std::string>{"pause", "status 0x10"}));
  EXPECT_FALSE(DebugLogContains("open failed"));
}

TEST_F(DeviceEvents, BrokenRecordsAreNotThePrinterButStillAskForAReopen) {
  AddMovedPrinterSetup();
  StartService();
  const int discoveries = CountDebugLinesContaining(" DevicePath:");
  machine.DeliverDeviceEvent(DBT_DEVICEARRIVAL, EventRecord(kPrinterPath, false));
  machine.RunUntilIdle();
  EXPECT_EQ(CountDebugLinesContaining(" DevicePath:"), discoveries);  // the printer is not plugged in
  // A path without "#" is no device interface path, even if the registry
  // holds a matching description for what it would derive.
  const std::wstring noHash = L"\\\\?\\USB\\VID_0483&PID_5741\\ABC123\\{guid}";
  machine.SetRegistryString(sim::Machine::PrintInterfaceKeyPath(noHash), "Port Description", "KX310MQ47H");
  machine.DeliverDeviceEvent(DBT_DEVICEARRIVAL, EventRecord(noHash));
  machine.DeliverDeviceEvent(DBT_DEVICEREMOVECOMPLETE, EventRecord(noHash));
  machine.RunUntilIdle();
  EXPECT_EQ(machine.SpoolerRestarts(), 0);
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB001");
  EXPECT_TRUE(machine.EventLog().size() == 1u);  // the start's entry only: no unplug
}

TEST_F(DeviceEvents, StopDuringARebindingEndsCleanlyWithTheSpoolerRunning) {
  AddMovedPrinterSetup();
  machine.SetSpoolerStopTime(2000);
  StartService();
  machine.Plug(kPrinterPath);
  machine.Advance(500);  // the handler is waiting for the spooler to stop
  ASSERT_EQ(machine.SpoolerState(), static_cast<DWORD>(SERVICE_STOP_PENDING));
  ASSERT_EQ(machine.SendControl(SERVICE_CONTROL_STOP), 0u);
  machine.Advance(10000);
  EXPECT_EQ(machine.ServiceState(), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(machine.ServiceProcessRunning());
  EXPECT_TRUE(machine.SpoolerRunning());
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB002");
  EXPECT_EQ(machine.OpenHandles(), sim::HandleCounts{});
}

TEST_F(DeviceEvents, ThousandPlugCyclesLeaveHandlesAndHeapWhereTheyStarted) {
  AddMovedPrinterSetup();
  StartService();
  const auto cycle = [&] {
    machine.Plug(kPrinterPath);
    machine.Advance(2000);
    machine.Unplug(kPrinterPath);
    machine.Advance(1000);
  };
  cycle();  // the first cycle re-binds once and settles every buffer
  machine.ForgetHistory();
  machine.JoinFinishedThreads();
  // Both heap readings are taken while the same handle counts (which live on
  // the heap) exist.
  const sim::HandleCounts handlesBefore = machine.OpenHandles();
  const HeapUse heapBefore = CurrentHeapUse();
  for (int i = 0; i < 1000; ++i) cycle();
  machine.ForgetHistory();
  machine.JoinFinishedThreads();
  const HeapUse heapAfter = CurrentHeapUse();
  const sim::HandleCounts handlesAfter = machine.OpenHandles();
  std::printf("1000 plug cycles: handles %d -> %d, heap %lld blocks/%lld bytes -> %lld blocks/%lld bytes\n",
              handlesBefore.Total(), handlesAfter.Total(), heapBefore.blocks, heapBefore.bytes, heapAfter.blocks,
              heapAfter.bytes);
  EXPECT_EQ(handlesAfter, handlesBefore);
  EXPECT_EQ(heapAfter, heapBefore);
  EXPECT_EQ(machine.SpoolerRestarts(), 1);
}

}  // namespace
