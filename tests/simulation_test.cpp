// The simulated machine answers the Win32 calls the service makes the way
// Windows does: return values, error codes, size queries and record sizes.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "common/model.h"
#include "platform/sim/machine.h"
#include "tests/sim_fixture.h"

namespace {

class Simulation : public SimTest {};

constexpr char kKey[] = "SYSTEM\\ControlSet001\\Control\\Test";

TEST_F(Simulation, RegistryKeysOpenWithoutRegardToCase) {
  machine.SetRegistryString(kKey, "Value", "text");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "system\\CONTROLSET001\\control\\test", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  // Ancestors exist; unknown keys do not.
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\ControlSet001", 0, KEY_READ, &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Nothing", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(Simulation, RegistryQueriesAnswerLikeWindows) {
  machine.SetRegistryValue(kKey, "Raw", REG_SZ, "abcdef");  // stored without a NUL
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  BYTE data[8] = {};
  DWORD type = 0;
  DWORD size = sizeof data;
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, data, &size), ERROR_FILE_NOT_FOUND);

  size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "raw", nullptr, &type, data, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 6u);  // the size needed
  size = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Raw", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 6u);

  size = sizeof data;
  EXPECT_EQ(RegQueryValueExA(key, "Raw", nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), "abcdef");
  EXPECT_EQ(data[6], 0);  // nothing written past the value
  RegCloseKey(key);
  EXPECT_EQ(RegQueryValueExA(key, "Raw", nullptr, &type, data, &size), ERROR_INVALID_HANDLE);
}

TEST_F(Simulation, SpoolerSizeQueriesAndErrors) {
  machine.AddQueue(kQueue, L"USB001");
  wchar_t unknown[] = L"NoSuchQueue";
  HANDLE printer = nullptr;
  EXPECT_FALSE(OpenPrinterW(unknown, &printer, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));

  wchar_t name[] = L"kx310mq47h";
  ASSERT_TRUE(OpenPrinterW(name, &printer, nullptr));
  DWORD needed = 0;
  EXPECT_FALSE(GetPrinterW(printer, 2, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(needed, sizeof(PRINTER_INFO_2W));
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(GetPrinterW(printer, 2, buffer.data(), needed, &needed));
  const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  EXPECT_STREQ(info->pPortName, L"USB001");
  EXPECT_STREQ(info->pPrinterName, L"KX310MQ47H");

  // Opened with default (use) access: changing the queue is refused.
  EXPECT_FALSE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PAUSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ClosePrinter(printer);
  EXPECT_FALSE(ClosePrinter(printer));
}

TEST_F(Simulation, SpoolerRestartMakesOldHandlesStaleAndStoppedSpoolerFailsEverything) {
  machine.AddQueue(kQueue, L"USB001");
  wchar_t name[] = L"KX310MQ47H";
  PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  ASSERT_TRUE(OpenPrinterW(name, &printer, &all));
  machine.StopSpooler();
  EXPECT_FALSE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PAUSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  HANDLE other = nullptr;
  EXPECT_FALSE(OpenPrinterW(name, &other, &all));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  DWORD needed = 0;
  DWORD returned = 0;
  EXPECT_FALSE(EnumPortsW(nullptr, 2, nullptr, 0, &needed, &returned));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));

  machine.StartSpooler();
  EXPECT_FALSE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PAUSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(ClosePrinter(printer));
  EXPECT_EQ(machine.SpoolerRestarts(), 1);
}

TEST_F(Simulation, SetStatusReplacesAndLevelTwoWritesThePort) {
  machine.AddQueue(kQueue, L"USB001");
  machine.AddPort(L"USB002");
  wchar_t name[] = L"KX310MQ47H";
  PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE printer = nullptr;
  ASSERT_TRUE(OpenPrinterW(name, &printer, &all));
  ASSERT_TRUE(SetPrinterW(printer, 0, reinterpret_cast<LPBYTE>(ULONG_PTR{0x10}), PRINTER_CONTROL_SET_STATUS));
  ASSERT_TRUE(SetPrinterW(printer, 0, reinterpret_cast<LPBYTE>(ULONG_PTR{0x80}), PRINTER_CONTROL_SET_STATUS));
  EXPECT_EQ(machine.Queue(kQueue)->status, 0x80u);

  DWORD needed = 0;
  GetPrinterW(printer, 2, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed);
  ASSERT_TRUE(GetPrinterW(printer, 2, buffer.data(), needed, &needed));
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  wchar_t port[] = L"USB002";
  info->pPortName = port;
  ASSERT_TRUE(SetPrinterW(printer, 2, buffer.data(), 0));
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB002");
  wchar_t unknownPort[] = L"USB009";
  info->pPortName = unknownPort;
  EXPECT_FALSE(SetPrinterW(printer, 2, buffer.data(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_PORT));
  ClosePrinter(printer);
}

TEST_F(Simulation, SetupApiChecksRecordSizesOfThisBuild) {
  AddPrinterSetup();
  machine.Plug(kPrinterPath);
  HDEVINFO set =
      SetupDiGetClassDevsW(&kUsbDeviceInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = 28;  // the 32-bit size: wrong for this build
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbDeviceInterfaceClass, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbDeviceInterfaceClass, 0, &data));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbDeviceInterfaceClass, 1, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  const std::size_t pathBytes = (std::wstring(kPrinterPath).size() + 1) * sizeof(wchar_t);
  EXPECT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + pathBytes);
  std::vector<BYTE> buffer(required);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = 6;  // the 32-bit size: wrong for this build
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, &required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, &required, nullptr));
  EXPECT_STREQ(detail->DevicePath, kPrinterPath);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(Simulation, DeviceFileIsExclusiveAndDiesWithTheDevice) {
  AddPrinterSetup(0x24);
  machine.Plug(kPrinterPath);
  HANDLE first = CreateFileW(kPrinterPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateFileW(kPrinterPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));

  BYTE record[5] = {};
  DWORD count = 0;
  ASSERT_TRUE(ReadFile(first, record, sizeof record, &count, nullptr));
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(record[3], 0x24);

  machine.Unplug(kPrinterPath);
  EXPECT_FALSE(ReadFile(first, record, sizeof record, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(CreateFileW(kPrinterPath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // Plugged back in, it is a new device: the old handle stays dead.
  machine.Plug(kPrinterPath);
  EXPECT_FALSE(ReadFile(first, record, sizeof record, &count, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  CloseHandle(first);
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(Simulation, ControlsAreRefusedUntilTheServiceAcceptsThem) {
  EXPECT_EQ(machine.SendControl(SERVICE_CONTROL_STOP), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE));
  // A service that has not reported yet cannot take a stop.
  ASSERT_EQ(machine.StartService(), 0u);
  EXPECT_EQ(machine.SendControl(SERVICE_CONTROL_STOP), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  EXPECT_EQ(machine.StartService(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  machine.RunUntilIdle();
  // The service accepts stop and shutdown only.
  EXPECT_EQ(machine.SendControl(SERVICE_CONTROL_PAUSE), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(machine.SendControl(SERVICE_CONTROL_PARAMCHANGE), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
  EXPECT_EQ(machine.SendControl(50), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(machine.SendControl(SERVICE_CONTROL_STOP), 0u);
}

TEST_F(Simulation, SpoolerStopTakesItsTimeAndCannotBeStartedMeanwhile) {
  machine.SetSpoolerStopTime(2000);
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr);
  SC_HANDLE spooler = OpenServiceA(manager, "spooler", SERVICE_ALL_ACCESS);
  ASSERT_NE(spooler, nullptr);
  SERVICE_STATUS status = {};
  ASSERT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_FALSE(StartServiceA(spooler, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  machine.Advance(1999);
  ASSERT_TRUE(QueryServiceStatus(spooler, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  machine.Advance(1);
  ASSERT_TRUE(QueryServiceStatus(spooler, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_TRUE(StartServiceA(spooler, 0, nullptr));
  EXPECT_TRUE(machine.SpoolerRunning());
  EXPECT_EQ(OpenServiceA(manager, "NoSuchService", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  CloseServiceHandle(spooler);
  CloseServiceHandle(manager);

  machine.SetServiceManagerUnreachable(RPC_S_SERVER_UNAVAILABLE);
  EXPECT_EQ(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

}  // namespace
