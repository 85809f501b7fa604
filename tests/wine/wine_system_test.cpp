// The service's spooler, registry and device code against Wine's own
// implementations of the calls, in a private Wine prefix.
//
// Each test puts the registry values and queues it needs in place and takes
// them away again. What Wine does not implement (pausing a queue, its status,
// USB printers) is covered by the tests on the simulated machine instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/model.h"
#include "common/unique_resource.h"
#include "device/device_discovery.h"
#include "platform/win32_api.h"
#include "spooler/port_binding.h"
#include "spooler/printer_queue.h"
#include "tests/wine/wine_printers.h"

namespace {

constexpr wchar_t kPortsKey[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
constexpr wchar_t kUsbMonitorKey[] = L"SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor";
constexpr wchar_t kPrintInterfaceClassKey[] =
    L"SYSTEM\\ControlSet001\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

// A printer's USB device interface path as the USB class reports it.
constexpr wchar_t kDevicePath[] = L"\\\\?\\USB#VID_0483&PID_5741#SN0042#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
// The key its print interface has under kPrintInterfaceClassKey.
constexpr wchar_t kDeviceInterfaceKey[] =
    L"##?#USB#VID_0483&PID_5741#SN0042#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\#\\Device Parameters";

void WriteText(const std::wstring& keyPath, const wchar_t* valueName, const std::wstring& text) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS)
      << "cannot create key";
  const RegistryKey owner(key);
  const auto bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  ASSERT_EQ(RegSetValueExW(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes),
            ERROR_SUCCESS);
}

void DeleteValue(const std::wstring& keyPath, const wchar_t* valueName) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_WRITE, &key) != ERROR_SUCCESS) return;
  const RegistryKey owner(key);
  RegDeleteValueW(key, valueName);
}

void DeleteTree(const std::wstring& keyPath) { RegDeleteTreeW(HKEY_LOCAL_MACHINE, keyPath.c_str()); }

bool Contains(const std::vector<std::wstring>& list, const std::wstring& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// Every port name the spooler lists, in its order.
std::vector<std::wstring> AllPorts() {
  DWORD needed = 0;
  DWORD returned = 0;
  EnumPortsW(nullptr, 2, nullptr, 0, &needed, &returned);
  std::vector<BYTE> buffer(needed);
  if (needed == 0 || !EnumPortsW(nullptr, 2, buffer.data(), needed, &needed, &returned)) return {};
  const auto* entries = reinterpret_cast<const PORT_INFO_2W*>(buffer.data());
  std::vector<std::wstring> names;
  for (DWORD i = 0; i < returned; ++i) names.emplace_back(entries[i].pPortName);
  return names;
}

// The Spooler service's state and process.
SERVICE_STATUS_PROCESS SpoolerStatus() {
  SERVICE_STATUS_PROCESS status = {};
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ServiceHandle spooler(OpenServiceW(manager.Get(), L"Spooler", SERVICE_QUERY_STATUS | SERVICE_START));
  DWORD needed = 0;
  if (!QueryServiceStatusEx(spooler.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                            &needed)) {
    status.dwCurrentState = 0;
  }
  return status;
}

// Starts the Spooler service unless it runs, and waits until it does.
void EnsureSpoolerRunning() {
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ServiceHandle spooler(OpenServiceW(manager.Get(), L"Spooler", SERVICE_QUERY_STATUS | SERVICE_START));
  ASSERT_TRUE(spooler) << "no Spooler service: " << GetLastError();
  if (!StartServiceW(spooler.Get(), 0, nullptr)) {
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  }
  for (int i = 0; i < 100 && SpoolerStatus().dwCurrentState != SERVICE_RUNNING; ++i) Sleep(100);
  ASSERT_EQ(SpoolerStatus().dwCurrentState, SERVICE_RUNNING);
}

// A test with the model's queue on `initialPort`.
class ModelQueue : public ::testing::Test {
 protected:
  static constexpr wchar_t kInitialPort[] = L"LPT1:";

  void SetUp() override {
    EnsureSpoolerRunning();
    wine_printers::DeleteQueue(kModelNameWide);
    ASSERT_EQ(wine_printers::AddQueue(kModelNameWide, kInitialPort), static_cast<DWORD>(ERROR_SUCCESS));
  }
  void TearDown() override { wine_printers::DeleteQueue(kModelNameWide); }
};

TEST(PrinterQueueOnWine, MissingQueueGivesNoHandleAndNoPort) {
  wine_printers::DeleteQueue(kModelNameWide);
  EXPECT_FALSE(GetPrinterHandle());
  EXPECT_EQ(GetPrinterPort(), L"");
}

TEST_F(ModelQueue, GetPrinterHandleOpensTheQueueForReading) {
  const PrinterHandle queue = GetPrinterHandle();
  ASSERT_TRUE(queue);
  auto info = ReadQueueInfo(queue.Get());
  ASSERT_TRUE(info.has_value());
  ASSERT_NE(info->Get()->pPrinterName, nullptr);
  EXPECT_STREQ(info->Get()->pPrinterName, kModelNameWide);
}

TEST_F(ModelQueue, GetPrinterPortReadsThePortOfTheQueue) {
  EXPECT_EQ(GetPrinterPort(), kInitialPort);
  // And follows the queue to another port set behind its back.
  wine_printers::DeleteQueue(kModelNameWide);
  ASSERT_EQ(wine_printers::AddQueue(kModelNameWide, L"COM2:"), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(GetPrinterPort(), L"COM2:");
}

TEST(UsbPortsOnWine, ListsTheUsbPortsOfTheRegistryInTheSpoolersOrder) {
  EXPECT_FALSE(Contains(EnumerateUsbPorts(), L"USB002"));
  WriteText(kPortsKey, L"USB002", L"");
  WriteText(kPortsKey, L"USB007", L"");
  const std::vector<std::wstring> usb = EnumerateUsbPorts();
  const std::vector<std::wstring> all = AllPorts();
  DeleteValue(kPortsKey, L"USB002");
  DeleteValue(kPortsKey, L"USB007");

  ASSERT_TRUE(Contains(all, L"LPT1:"));   // the spooler lists other ports too...
  EXPECT_FALSE(Contains(usb, L"LPT1:"));  // ...which are left out
  EXPECT_TRUE(Contains(usb, L"USB002"));
  EXPECT_TRUE(Contains(usb, L"USB007"));
  std::vector<std::wstring> expected;
  std::copy_if(all.begin(), all.end(), std::back_inserter(expected),
               [](const std::wstring& name) { return name.find(L"USB") != std::wstring::npos; });
  EXPECT_EQ(usb, expected);
  EXPECT_FALSE(Contains(EnumerateUsbPorts(), L"USB002"));
}

class UsbMonitorPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteText(std::wstring(kUsbMonitorKey) + L"\\Ports\\USB002", L"Device Id", L"USB\\VID_0483&PID_5741\\OTHER1");
    WriteText(std::wstring(kUsbMonitorKey) + L"\\Ports\\USB007", L"Device Id", L"USB\\VID_0483&PID_5741\\SN0042");
  }
  void TearDown() override { DeleteTree(kUsbMonitorKey); }
};

TEST_F(UsbMonitorPorts, FindsThePortWhoseDeviceIdIsTheDevice) {
  EXPECT_EQ(FindUsbPortForDevice({L"USB002", L"USB007"}, kDevicePath), L"USB007");
}

TEST_F(UsbMonitorPorts, ComparesDeviceIdsWithoutRegardToCase) {
  EXPECT_EQ(FindUsbPortForDevice({L"USB002", L"USB007"},
                                 L"\\\\?\\usb#vid_0483&pid_5741#sn0042#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
            L"USB007");
}

TEST_F(UsbMonitorPorts, SkipsPortsWithoutAMonitorKeyAndFindsNothingForOtherDevices) {
  EXPECT_EQ(FindUsbPortForDevice({L"USB009", L"USB007"}, kDevicePath), L"USB007");
  EXPECT_EQ(FindUsbPortForDevice({L"USB002", L"USB009"}, kDevicePath), L"");
  EXPECT_EQ(FindUsbPortForDevice({L"USB002", L"USB007"},
                                 L"\\\\?\\USB#VID_0483&PID_5741#SN0099#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"),
            L"");
}

TEST_F(ModelQueue, SetPrinterPortMovesTheQueueAndRestartsTheSpooler) {
  WriteText(kPortsKey, L"USB002", L"");
  const SERVICE_STATUS_PROCESS before = SpoolerStatus();
  ASSERT_EQ(before.dwCurrentState, SERVICE_RUNNING);

  SetPrinterPortAndRestartSpooler(L"USB002");

  const SERVICE_STATUS_PROCESS after = SpoolerStatus();
  EXPECT_EQ(after.dwCurrentState, SERVICE_RUNNING);
  EXPECT_NE(after.dwProcessId, before.dwProcessId) << "the Spooler was not restarted";
  EXPECT_EQ(GetPrinterPort(), L"USB002");
  DeleteValue(kPortsKey, L"USB002");
}

TEST_F(ModelQueue, SetPrinterPortRefusesAnEmptyPortAndLeavesTheSpoolerAlone) {
  const SERVICE_STATUS_PROCESS before = SpoolerStatus();
  SetPrinterPortAndRestartSpooler(L"");
  const SERVICE_STATUS_PROCESS after = SpoolerStatus();
  EXPECT_EQ(after.dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(after.dwProcessId, before.dwProcessId);
  EXPECT_EQ(GetPrinterPort(), kInitialPort);
}

class PrintInterfaceKey : public ::testing::Test {
 protected:
  void TearDown() override { DeleteTree(kPrintInterfaceClassKey); }
  static void Describe(const wchar_t* description) {
    WriteText(std::wstring(kPrintInterfaceClassKey) + L"\\" + kDeviceInterfaceKey, L"Port Description", description);
  }
};

TEST_F(PrintInterfaceKey, ModelDescriptionMakesTheDeviceTheModel) {
  EXPECT_FALSE(IsModelDevice(kDevicePath));
  Describe(L"KX310MQ47H");
  EXPECT_TRUE(IsModelDevice(kDevicePath));
  Describe(L"kx310mq47h");
  EXPECT_TRUE(IsModelDevice(kDevicePath));
}

TEST_F(PrintInterfaceKey, OtherDescriptionsAndOtherDevicesAreNotTheModel) {
  Describe(L"KX310MQ47");
  EXPECT_FALSE(IsModelDevice(kDevicePath));
  Describe(L"KX310MQ47H");
  EXPECT_FALSE(IsModelDevice(L"\\\\?\\USB#VID_0483&PID_5741#SN0043#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"));
}

TEST(DeviceOnWine, NoUsbPrinterMeansNoDeviceHandle) {
  // Wine lists no USB device interfaces, so discovery must come back empty
  // rather than open something else.
  EXPECT_FALSE(OpenPrinterDevice());
}

}  // namespace
