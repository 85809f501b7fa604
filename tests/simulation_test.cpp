// The simulated machine answers the Win32 calls the service makes the way
// Windows does: return values, error codes, size queries and record sizes.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <map>
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
  RegCloseKey(key);
  EXPECT_EQ(RegQueryValueExA(key, "Raw", nullptr, &type, data, &size), ERROR_INVALID_HANDLE);
}

// Windows: RegQueryValueExA may return a string with no trailing NUL when the
// buffer is just large enough, and adds a trailing NUL if there is room; the
// size returned never counts the added NUL (Wine dlls/advapi32/tests/registry.c,
// test_string_termination).
TEST_F(Simulation, RegQueryValueExAAddsTheMissingNulWhenThereIsRoom) {
  machine.SetRegistryValue(kKey, "stringtest", REG_SZ, "FullStrin");  // 9 bytes, no NUL
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  BYTE buffer[11];
  const struct {
    DWORD bufferSize;
    int byteAfter;  // what buffer[9] holds afterwards
  } rows[] = {{9, 0xbd}, {10, 0}, {11, 0}};
  for (const auto& row : rows) {
    std::memset(buffer, 0xbd, sizeof buffer);
    DWORD size = row.bufferSize;
    EXPECT_EQ(RegQueryValueExA(key, "stringtest", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 9u) << row.bufferSize;
    EXPECT_EQ(std::memcmp(buffer, "FullStrin", 9), 0) << row.bufferSize;
    EXPECT_EQ(buffer[9], row.byteAfter) << row.bufferSize;
  }
  // Binary data is given as it is: no NUL added.
  machine.SetRegistryValue(kKey, "binary", REG_BINARY, "AB");
  std::memset(buffer, 0xbd, sizeof buffer);
  DWORD size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExA(key, "binary", nullptr, nullptr, buffer, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(buffer[2], 0xbd);
  RegCloseKey(key);
}

// Windows: the "A" registry calls convert text with the system (ANSI) code
// page, not the thread's; a character the code page lacks comes back as '?'
// (Microsoft docs, RegQueryValueExA: "If the data has the REG_SZ ... type ...
// the string is converted to ANSI").
TEST_F(Simulation, RegQueryValueExAConvertsWithTheSystemCodePage) {
  machine.SetCodePages(936, 1252);
  machine.SetRegistryString(kKey, "Name", std::wstring(L"\u4e2dA\u00e9\u0e01"));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  char buffer[16] = {};
  DWORD size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExA(key, "Name", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size), ERROR_SUCCESS);
  // U+4E2D is D6 D0 in 936, e acute A8 A6; Thai has no place there.
  EXPECT_EQ(std::string(buffer, size), std::string("\xD6\xD0"
                                                   "A\xA8\xA6?\0",
                                                   7));
  RegCloseKey(key);
}

// Windows: WideCharToMultiByte reports through lpUsedDefaultChar whether a
// character was replaced by the default character, also on a size query;
// WC_NO_BEST_FIT_CHARS leaves no best-fit substitute; a short buffer fails
// with ERROR_INSUFFICIENT_BUFFER; unknown flags with ERROR_INVALID_FLAGS
// (Microsoft docs, WideCharToMultiByte; Wine dlls/kernel32/tests/codepage.c).
TEST_F(Simulation, WideCharToMultiByteReportsReplacedCharacters) {
  const struct {
    UINT systemCodePage;
    const wchar_t* text;
    const char* narrowed;
    BOOL usedDefault;
  } rows[] = {
      {1252, L"USB001", "USB001", FALSE},
      {1252, L"Caf\u00e9\u20ac", "Caf\xe9\x80", FALSE},
      {1252, L"A\u4e2dB", "A?B", TRUE},
      {1252, L"\u0100", "?", TRUE},
      {1252, L"?", "?", FALSE},
      {936, L"A\u4e2dB",
       "A\xd6\xd0"
       "B",
       FALSE},
      {936, L"\u20ac", "\x80", FALSE},
      {936, L"\u0e01", "?", TRUE},
  };
  for (const auto& row : rows) {
    machine.SetCodePages(row.systemCodePage, 1252);
    const int length = static_cast<int>(std::wcslen(row.text));
    BOOL used = 2;
    const int needed = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, row.text, length, nullptr, 0, nullptr, &used);
    EXPECT_EQ(needed, static_cast<int>(std::strlen(row.narrowed))) << row.narrowed;
    EXPECT_EQ(used, row.usedDefault) << row.narrowed;
    char buffer[16] = {};
    used = 2;
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, row.text, length, buffer, needed, nullptr, &used),
              needed);
    EXPECT_STREQ(buffer, row.narrowed);
    EXPECT_EQ(used, row.usedDefault) << row.narrowed;
  }
  // A wide character is 32 bits and signed here, 16 bits on Windows: a value
  // beyond any UTF-16 unit is no character of either code page and is
  // replaced, never cut down to its low byte.
  for (const UINT codePage : {1252u, 936u}) {
    machine.SetCodePages(codePage, 1252);
    const wchar_t noCharacter[] = {L'A', static_cast<wchar_t>(-134217677), L'B'};  // 0xF8000033
    char narrowed[8] = {};
    BOOL used = FALSE;
    EXPECT_EQ(
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, noCharacter, 3, narrowed, sizeof narrowed, nullptr, &used),
        3);
    EXPECT_STREQ(narrowed, "A?B") << codePage;
    EXPECT_TRUE(used) << codePage;
  }
  machine.SetCodePages(1252, 1252);
  char buffer[4] = {};
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"USB001", -1, buffer, sizeof buffer, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"USB001", -1, nullptr, 0, nullptr, nullptr), 7);  // the NUL counts
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0x2, L"USB001", -1, buffer, sizeof buffer, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, L"USB001", 0, buffer, sizeof buffer, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetACP(), 1252u);
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

  // Opened with default (use) access: changing the queue is refused at the change.
  EXPECT_FALSE(SetPrinterW(printer, 0, nullptr, PRINTER_CONTROL_PAUSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ClosePrinter(printer);
  EXPECT_FALSE(ClosePrinter(printer));
}

// Windows: OpenPrinter checks the desired access at the open: a caller
// without the rights fails there with ERROR_ACCESS_DENIED, while use access
// is everyone's (Microsoft docs, OpenPrinter: "If a user does not have
// permission to open a specified printer ... with the desired access, the
// OpenPrinter call will fail ... ERROR_ACCESS_DENIED").
TEST_F(Simulation, OpenPrinterChecksTheDesiredAccessAtTheOpen) {
  machine.AddQueue(kQueue, L"USB001");
  machine.SetPrinterAdministration(false);
  wchar_t name[] = L"KX310MQ47H";
  HANDLE printer = reinterpret_cast<HANDLE>(1);
  for (const ACCESS_MASK access : {ACCESS_MASK{PRINTER_ALL_ACCESS}, ACCESS_MASK{PRINTER_ACCESS_ADMINISTER}}) {
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, access};
    SetLastError(0);
    EXPECT_FALSE(OpenPrinterW(name, &printer, &defaults));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(printer, nullptr);
  }
  PRINTER_DEFAULTSW use = {nullptr, nullptr, PRINTER_ACCESS_USE};
  ASSERT_TRUE(OpenPrinterW(name, &printer, &use));
  ClosePrinter(printer);
  // The account the service runs as (LocalSystem) has the rights.
  machine.SetPrinterAdministration(true);
  PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  ASSERT_TRUE(OpenPrinterW(name, &printer, &all));
  ClosePrinter(printer);
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
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
  // Windows: the interface path is the symbolic link name, in lower case
  // whatever the case of the hardware id (Wine dlls/setupapi/tests/devinst.c).
  const std::wstring lowerPath = L"\\\\?\\usb#vid_0483&pid_5741#abc123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  const std::size_t pathBytes = (lowerPath.size() + 1) * sizeof(wchar_t);
  EXPECT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + pathBytes);
  std::vector<BYTE> buffer(required);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
  detail->cbSize = 6;  // the 32-bit size: wrong for this build
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, &required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, &required, nullptr));
  EXPECT_EQ(std::wstring(detail->DevicePath), lowerPath);
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

// Windows: ControlService(SERVICE_CONTROL_STOP) fails with
// ERROR_DEPENDENT_SERVICES_RUNNING while a service that depends on the
// target runs, and the target keeps running (Microsoft docs, ControlService).
TEST_F(Simulation, StopOfASpoolerWithARunningDependentIsRefused) {
  machine.SetSpoolerDependent("Fax", true);
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE spooler = OpenServiceA(manager, "Spooler", SERVICE_ALL_ACCESS);
  ASSERT_NE(spooler, nullptr);
  SERVICE_STATUS status = {};
  EXPECT_FALSE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEPENDENT_SERVICES_RUNNING));
  ASSERT_TRUE(QueryServiceStatus(spooler, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  machine.SetSpoolerDependent("Fax", false);
  EXPECT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
  EXPECT_FALSE(machine.SpoolerRunning());
  CloseServiceHandle(spooler);
  CloseServiceHandle(manager);
}

// Windows: StartService returns once the service's process has started; the
// service reports SERVICE_START_PENDING until it is ready, a stop control is
// refused with ERROR_SERVICE_CANNOT_ACCEPT_CTRL meanwhile, and the spooler's
// RPC interface answers RPC_S_SERVER_UNAVAILABLE until it runs (Microsoft
// docs, StartService and ControlService).
TEST_F(Simulation, StartedSpoolerIsPendingAndUnreachableUntilItRuns) {
  machine.SetSpoolerStartTime(3000);
  machine.StopSpooler();
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE spooler = OpenServiceA(manager, "Spooler", SERVICE_ALL_ACCESS);
  ASSERT_NE(spooler, nullptr);
  ASSERT_TRUE(StartServiceA(spooler, 0, nullptr));
  SERVICE_STATUS status = {};
  ASSERT_TRUE(QueryServiceStatus(spooler, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  EXPECT_FALSE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
  EXPECT_FALSE(StartServiceA(spooler, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
  wchar_t name[] = L"KX310MQ47H";
  HANDLE queue = nullptr;
  EXPECT_FALSE(OpenPrinterW(name, &queue, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  machine.Advance(2999);
  ASSERT_TRUE(QueryServiceStatus(spooler, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
  machine.Advance(1);
  ASSERT_TRUE(QueryServiceStatus(spooler, &status));
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  CloseServiceHandle(spooler);
  CloseServiceHandle(manager);
}

// ---- The event log.

// Windows: RegisterEventSource gives a handle for a local source, also one
// no installer registered (its entries then lack their messages); a remote
// server that cannot be reached fails with RPC_S_SERVER_UNAVAILABLE, the
// Security log with ERROR_ACCESS_DENIED (Microsoft docs, RegisterEventSourceW;
// Wine dlls/advapi32/tests/eventlog.c, test_readwrite). DeregisterEventSource
// of a handle that is not an event source fails with ERROR_INVALID_HANDLE
// (Microsoft docs, DeregisterEventSource).
TEST_F(Simulation, EventSourcesOpenLocallyAndCloseOnce) {
  const struct {
    const wchar_t* server;
    const wchar_t* source;
    DWORD error;  // 0: a handle
  } rows[] = {
      {nullptr, L"spoolsync", 0},
      {L"", L"NeverRegistered", 0},
      {L"\\\\TILL-07", L"spoolsync", RPC_S_SERVER_UNAVAILABLE},
      {nullptr, L"Security", ERROR_ACCESS_DENIED},
      {nullptr, nullptr, ERROR_INVALID_PARAMETER},
  };
  for (const auto& row : rows) {
    SetLastError(0xdeadbeef);
    HANDLE source = RegisterEventSourceW(row.server, row.source);
    if (row.error == 0) {
      ASSERT_NE(source, nullptr);
      EXPECT_EQ(machine.OpenHandles().byKind["event-source"], 1);
      EXPECT_TRUE(DeregisterEventSource(source));
      EXPECT_FALSE(DeregisterEventSource(source));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    } else {
      EXPECT_EQ(source, nullptr);
      EXPECT_EQ(GetLastError(), row.error);
    }
  }
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

// Windows: ReportEvent writes the entry with its type, id and strings; a
// handle that is not an event source fails with ERROR_INVALID_HANDLE; an
// event type none of the six fails with ERROR_CRC on Windows 7, which the
// simulation follows (Microsoft docs, ReportEventW; Wine
// dlls/advapi32/tests/eventlog.c, test_readwrite).
TEST_F(Simulation, ReportEventRecordsTypeIdAndStrings) {
  machine.RegisterEventLogSource(L"spoolsync", "C:\\spoolsync.exe");
  HANDLE source = RegisterEventSourceW(nullptr, L"spoolsync");
  ASSERT_NE(source, nullptr);
  LPCWSTR strings[] = {L"1801", L"The printer name is invalid."};
  EXPECT_TRUE(ReportEventW(source, EVENTLOG_WARNING_TYPE, 0, 0x800000C8u, nullptr, 2, 0, strings, nullptr));
  EXPECT_TRUE(ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 0x40000065u, nullptr, 0, 0, nullptr, nullptr));
  SetLastError(0);
  EXPECT_FALSE(ReportEventW(source, 0x20, 0, 1, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CRC));
  EXPECT_FALSE(ReportEventW(nullptr, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(DeregisterEventSource(source));
  EXPECT_FALSE(ReportEventW(source, EVENTLOG_ERROR_TYPE, 0, 1, nullptr, 0, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  const auto& log = machine.EventLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(log[0].eventId, 0x800000C8u);
  EXPECT_EQ(log[0].ShownId(), 200u);
  EXPECT_EQ(log[0].inserts, (std::vector<std::wstring>{L"1801", L"The printer name is invalid."}));
  EXPECT_TRUE(log[0].sourceRegistered);
  EXPECT_EQ(log[1].ShownId(), 101u);
  std::vector<std::string> lines;
  for (const auto& entry : machine.Trace()) {
    if (entry.channel == sim::TraceEntry::Channel::Event) lines.push_back(entry.text);
  }
  EXPECT_EQ(lines,
            (std::vector<std::string>{R"(warning 200 "1801" "The printer name is invalid.")", "information 101"}));
}

// Windows: FormatMessage with FORMAT_MESSAGE_FROM_SYSTEM gives the system's
// text with its line break and returns its length without the NUL; a buffer
// without room for the NUL fails with ERROR_INSUFFICIENT_BUFFER, a code
// without text with ERROR_MR_MID_NOT_FOUND, a language without texts with
// ERROR_RESOURCE_LANG_NOT_FOUND (Microsoft docs, FormatMessageW; the texts
// from Microsoft docs, System Error Codes).
TEST_F(Simulation, FormatMessageGivesTheSystemsTexts) {
  const struct {
    DWORD code;
    const wchar_t* text;
  } rows[] = {
      {0, L"The operation completed successfully."},
      {2, L"The system cannot find the file specified."},
      {5, L"Access is denied."},
      {6, L"The handle is invalid."},
      {31, L"A device attached to the system is not functioning."},
      {87, L"The parameter is incorrect."},
      {122, L"The data area passed to a system call is too small."},
      {995, L"The I/O operation has been aborted because of either a thread exit or an application request."},
      {1051, L"A stop control has been sent to a service that other running services are dependent on."},
      {1053, L"The service did not respond to the start or control request in a timely fashion."},
      {1056, L"An instance of the service is already running."},
      {1060, L"The specified service does not exist as an installed service."},
      {1061, L"The service cannot accept control messages at this time."},
      {1062, L"The service has not been started."},
      {1167, L"The device is not connected."},
      {1168, L"Element not found."},
      {1722, L"The RPC server is unavailable."},
      {1796, L"The specified port is unknown."},
      {1801, L"The printer name is invalid."},
  };
  constexpr DWORD kFlags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  for (const auto& row : rows) {
    const std::wstring expected = std::wstring(row.text) + L"\r\n";
    const auto length = static_cast<DWORD>(expected.size());
    wchar_t buffer[256];
    // Below, at and above the size the text and its NUL need.
    for (const DWORD size : {length, length + 1, DWORD{256}}) {
      std::wmemset(buffer, L'#', 256);
      SetLastError(0);
      const DWORD stored = FormatMessageW(kFlags, nullptr, row.code, 0, buffer, size, nullptr);
      if (size <= length) {
        EXPECT_EQ(stored, 0u) << row.code;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << row.code;
      } else {
        EXPECT_EQ(stored, length) << row.code;
        EXPECT_EQ(std::wstring(buffer), expected) << row.code;
      }
    }
  }
  wchar_t buffer[64];
  EXPECT_EQ(FormatMessageW(kFlags, nullptr, 0xE0000001u, 0, buffer, 64, nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  EXPECT_EQ(FormatMessageW(kFlags, nullptr, 5, 0x0407, buffer, 64, nullptr), 0u);  // German
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
  EXPECT_EQ(FormatMessageW(kFlags, nullptr, 5, 0x0409, buffer, 64, nullptr), 19u);
}

// ---- A synchronous read on a thread of its own, to cancel it.

DWORD gReadError = 0;
BOOL gReadResult = TRUE;

DWORD WINAPI BlockedReader(LPVOID) {
  HANDLE device = CreateFileW(kPrinterPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  BYTE record[5];
  DWORD count = 0;
  gReadResult = ReadFile(device, record, sizeof record, &count, nullptr);
  gReadError = gReadResult ? 0 : GetLastError();
  CloseHandle(device);
  return 0;
}

// Windows: CancelSynchronousIo fails with ERROR_NOT_FOUND when the thread has
// no synchronous I/O pending; otherwise the pending operation completes with
// ERROR_OPERATION_ABORTED (Microsoft docs, CancelSynchronousIo).
TEST_F(Simulation, CancelSynchronousIoEndsAReadInProgress) {
  AddPrinterSetup();
  sim::DeviceFaults faults;
  faults.readLatency = 60000;
  machine.SetDeviceFaults(kPrinterPath, faults);
  machine.Plug(kPrinterPath);
  HANDLE thread = CreateThread(nullptr, 0, BlockedReader, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_FALSE(CancelSynchronousIo(thread));  // it has not started its read yet
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
  machine.Advance(100);
  EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_TRUE(CancelSynchronousIo(thread));
  machine.RunUntilIdle();
  EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_FALSE(gReadResult);
  EXPECT_EQ(gReadError, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_LT(machine.Now(), 60000);
  CloseHandle(thread);
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

// ---- A service of its own, to see what a service process is given.

std::vector<std::vector<BYTE>> gEventRecords;
SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
HANDLE gStdOutput = INVALID_HANDLE_VALUE;

DWORD WINAPI RecordingHandler(DWORD control, DWORD, LPVOID data, LPVOID) {
  if (control == SERVICE_CONTROL_DEVICEEVENT) {
    DEV_BROADCAST_HDR header;
    std::memcpy(&header, data, sizeof header);
    const auto* bytes = static_cast<const BYTE*>(data);
    gEventRecords.emplace_back(bytes, bytes + header.dbch_size);
  }
  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
  if (control == SERVICE_CONTROL_STOP) status.dwCurrentState = SERVICE_STOPPED;
  SetServiceStatus(gStatusHandle, &status);
  return NO_ERROR;
}

void WINAPI RecordingServiceMain(DWORD, LPWSTR*) {
  gStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  gStatusHandle = RegisterServiceCtrlHandlerExW(L"recorder", RecordingHandler, nullptr);
  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kUsbDeviceInterfaceClass;
  RegisterDeviceNotificationW(gStatusHandle, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
  SetServiceStatus(gStatusHandle, &status);
}

class RecordingService : public ::testing::Test {
 protected:
  RecordingService() {
    gEventRecords.clear();
    gStdOutput = INVALID_HANDLE_VALUE;
    machine.InstallService("recorder", [] {
      wchar_t name[] = L"recorder";
      const SERVICE_TABLE_ENTRYW table[] = {{name, RecordingServiceMain}, {nullptr, nullptr}};
      StartServiceCtrlDispatcherW(table);
      return 0;
    });
  }
  sim::Machine machine;
};

// Windows: a service has no standard handles; GetStdHandle gives NULL
// (Microsoft docs, GetStdHandle: "If an application does not have associated
// standard handles, such as a service running on an interactive desktop, and
// has not redirected them, the return value is NULL"). A console process has
// its standard output.
TEST_F(RecordingService, AServiceHasNoStandardOutputAConsoleProcessHasOne) {
  ASSERT_EQ(machine.StartService(), 0u);
  machine.RunUntilIdle();
  EXPECT_EQ(gStdOutput, nullptr);
  HANDLE console = nullptr;
  machine.RunConsoleProcess([&console] {
    console = GetStdHandle(STD_OUTPUT_HANDLE);
    return 0;
  });
  EXPECT_NE(console, nullptr);
  EXPECT_NE(console, INVALID_HANDLE_VALUE);
}

// Windows: a notification's dbcc_name keeps the case of the hardware id,
// unlike the Setup API's lower-case path, and dbcc_size counts the record's
// padding, so it may exceed what the name needs (Microsoft docs,
// DEV_BROADCAST_DEVICEINTERFACE_W: "the size of the members plus the actual
// length of the dbcc_name string").
TEST_F(RecordingService, NotificationsKeepTheCaseTheyAreGivenAndCountPadding) {
  const std::wstring mixed = L"\\\\?\\USB#VID_0483&PID_5741#Ab12#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
  const struct {
    sim::PathCase notifyCase;
    std::wstring name;
  } rows[] = {
      {sim::PathCase::AsIs, mixed},
      {sim::PathCase::Upper, L"\\\\?\\USB#VID_0483&PID_5741#AB12#{A5DCBF10-6530-11D2-901F-00C04FB951ED}"},
      {sim::PathCase::Lower, L"\\\\?\\usb#vid_0483&pid_5741#ab12#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"},
  };
  ASSERT_EQ(machine.StartService(), 0u);
  machine.RunUntilIdle();
  int index = 0;
  for (const auto& row : rows) {
    const std::wstring path = mixed + std::to_wstring(index++);
    machine.AddDevice(path, std::nullopt, 0x20, row.notifyCase);
    gEventRecords.clear();
    machine.Plug(path);
    machine.RunUntilIdle();
    ASSERT_EQ(gEventRecords.size(), 1u);
    const std::vector<BYTE>& record = gEventRecords[0];
    constexpr std::size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    const std::wstring expected = row.name + path.substr(mixed.size());
    const std::size_t needed = kNameOffset + (expected.size() + 1) * sizeof(wchar_t);
    EXPECT_GT(record.size(), needed);
    std::wstring name(expected.size(), L'\0');
    std::memcpy(name.data(), record.data() + kNameOffset, name.size() * sizeof(wchar_t));
    EXPECT_EQ(name, expected);
  }
}

// The machine counts each Win32 call once, under its own name, whoever makes
// it; the calls that only read or set the thread's last error are not counted
// (the simulation sets that value itself on every failure).
TEST_F(Simulation, EveryCallIsCountedOnceByName) {
  machine.ResetCallCounts();
  machine.RunConsoleProcess([] {
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetEvent(event);
    ResetEvent(event);
    WaitForSingleObject(event, 10);
    SRWLOCK lock = SRWLOCK_INIT;
    AcquireSRWLockExclusive(&lock);
    ReleaseSRWLockExclusive(&lock);
    GetTickCount();
    Sleep(1);
    SetLastError(GetLastError());
    CloseHandle(event);
    return 0;
  });
  const std::map<std::string, std::uint64_t> expected = {
      {"AcquireSRWLockExclusive", 1}, {"CloseHandle", 1}, {"CreateEventW", 1}, {"GetTickCount", 1},
      {"ReleaseSRWLockExclusive", 1}, {"ResetEvent", 1},  {"SetEvent", 1},     {"Sleep", 1},
      {"WaitForSingleObject", 1}};
  EXPECT_EQ(machine.CallCounts(), expected);
}

}  // namespace
