// What the self-test reads about the machine it runs on, and the few things it
// does outside the service's code: start programs, install a printer driver,
// add and delete a queue. The service's own calls are the ones under test and
// are not wrapped here.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/win32_api.h"

namespace selftest {

// Wine's ntdll exports wine_get_version; Windows' does not.
bool RunningOnWine();
// "Wine 8.0" or "Windows 10.0.22631", for the report's heading.
std::string PlatformName();
// The process token is elevated ("Run as administrator", or a service account).
bool IsElevated();

// UTF-8, for the report.
std::string Narrow(const std::wstring& text);
// "1796 (The specified port is unknown.)"
std::string ErrorText(DWORD error);

// This executable's folder, with a trailing backslash.
std::wstring ExecutableFolder();
// %ProgramFiles% (the 64-bit folder in a 64-bit process), without a trailing backslash.
std::wstring ProgramFiles();
bool FileExists(const std::wstring& path);
// The EventMessageFile of the event source "spoolsync" (Application log), as
// install.cmd and the package register it; nothing when its key is absent,
// an empty text when the key has no such value.
std::optional<std::wstring> EventSourceMessageFile();
bool FolderExists(const std::wstring& path);
// The files in `folder` whose names match `pattern` (for example "*.msi").
std::vector<std::wstring> FindFiles(const std::wstring& folder, const std::wstring& pattern);

struct ProcessResult {
  bool ran = false;    // started and ended within the time allowed
  DWORD exitCode = 0;  // when it ran
  DWORD error = 0;     // why it did not start, or WAIT_TIMEOUT
  std::wstring log;    // its standard output and error
};
// Runs `commandLine` in `folder` and waits at most `timeoutMs` (ended when it
// takes longer). Its output goes to %TEMP%\spoolsync-selftest-<logName>.log.
ProcessResult RunProcess(const std::wstring& commandLine, const std::wstring& folder, const wchar_t* logName,
                         DWORD timeoutMs);
// "exit 0", "exit 1603 (log C:\...\x.log)", "not started: 2 (...)".
std::string Describe(const ProcessResult& result);

struct ServiceInfo {
  bool exists = false;
  DWORD state = 0;  // SERVICE_RUNNING, ...
  DWORD processId = 0;
  std::wstring binaryPath;
};
ServiceInfo QueryService(const wchar_t* name);
// Polls until the service is in `state` (or, with state 0, gone), at most
// `timeoutMs`. Returns the milliseconds it took, or -1.
long long WaitForService(const wchar_t* name, DWORD state, DWORD timeoutMs);
// Sends the stop control and waits for STOPPED (used by the clean-up only).
void StopServiceAndWait(const wchar_t* name);
// Sends the stop control, waits for STOPPED and then for the service's
// process to end, at most `timeoutMs` for each. Returns whether it ended.
bool StopServiceAndWaitForExit(const wchar_t* name, DWORD timeoutMs);
// Marks the service for deletion with DeleteService (used by the clean-up only).
void DeleteServiceNow(const wchar_t* name);

struct QueueInfoRead {
  bool exists = false;
  DWORD openError = 0;  // why it could not be opened
  std::wstring port;
  DWORD status = 0;
  DWORD attributes = 0;
};
// Opens the queue for reading (not through the service's code, which writes
// its own messages on failure) and reads its level-2 record.
QueueInfoRead ReadQueue(const std::wstring& name);
// Writes `port` into the queue with SetPrinterW level 2. ERROR_SUCCESS or the error.
DWORD WriteQueuePort(const std::wstring& name, const std::wstring& port);
// Creates the queue on `port` with `driver`, print processor WinPrint, RAW.
DWORD AddQueue(const std::wstring& name, const std::wstring& port, const std::wstring& driver);
DWORD DeleteQueue(const std::wstring& name);

// Names of the installed printer drivers (EnumPrinterDriversW level 1).
std::vector<std::wstring> InstalledDrivers();
// Windows: installs an inbox driver from the driver store
// (InstallPrinterDriverFromPackageW). Wine: adds Wine's PostScript driver
// (AddPrinterDriverW level 3). ERROR_SUCCESS or the error.
DWORD InstallDriver(const std::wstring& driver);
DWORD RemoveDriver(const std::wstring& driver);

// Port names as the spooler lists them at level 1 (PORT_INFO_1W), in its order.
std::vector<std::wstring> PortNames();

}  // namespace selftest
