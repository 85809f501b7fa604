#include "windows/selftest/probes.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "common/unique_resource.h"

namespace selftest {

namespace {

// GetProcAddress's result as the function type it is: through a plain
// function pointer, which is how the cast is meant to be written.
template <typename Function>
Function Lookup(const wchar_t* module, const char* name) {
  const HMODULE handle = GetModuleHandleW(module);
  if (handle == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(handle, name)));
}

using WineGetVersion = const char*(__cdecl*)();
using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);
// Not declared by every SDK's winspool.h (MinGW-w64's lacks it); exported by
// winspool.drv since Windows Vista.
using InstallPrinterDriverFromPackage = HRESULT(WINAPI*)(LPCWSTR server, LPCWSTR infPath, LPCWSTR driverName,
                                                         LPCWSTR environment, DWORD flags);

wchar_t kWineDriverFile[] = L"wineps.drv";
wchar_t kWineDataFile[] = L"generic.ppd";
wchar_t kPrintProcessor[] = L"WinPrint";
wchar_t kDatatype[] = L"RAW";
constexpr wchar_t kWineDriver[] = L"Wine PostScript Driver";

std::wstring Environment(const wchar_t* name) {
  wchar_t buffer[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableW(name, buffer, MAX_PATH);
  return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : std::wstring();
}

}  // namespace

bool RunningOnWine() { return Lookup<WineGetVersion>(L"ntdll.dll", "wine_get_version") != nullptr; }

std::string PlatformName() {
  if (const auto wineVersion = Lookup<WineGetVersion>(L"ntdll.dll", "wine_get_version")) {
    return std::string("Wine ") + wineVersion();
  }
  // GetVersionExW reports what the manifest declares support for; the
  // kernel's own answer is the real one.
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  const auto rtlGetVersion = Lookup<RtlGetVersionFunction>(L"ntdll.dll", "RtlGetVersion");
  if (rtlGetVersion == nullptr || rtlGetVersion(&version) != 0) return "Windows (version unknown)";
  return "Windows " + std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) + "." +
         std::to_string(version.dwBuildNumber);
}

bool IsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  const UniqueHandle owner(token);
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)) return false;
  return elevation.TokenIsElevated != 0;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size, nullptr, nullptr);
  }
  return narrow;
}

std::string ErrorText(DWORD error) {
  wchar_t* message = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::wstring text = length > 0 ? std::wstring(message, length) : std::wstring();
  if (message != nullptr) LocalFree(message);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  std::string result = std::to_string(error);
  if (!text.empty()) result += " (" + Narrow(text) + ")";
  return result;
}

std::wstring ExecutableFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return path.substr(0, path.find_last_of(L'\\') + 1);
}

std::wstring ProgramFiles() {
  std::wstring folder = Environment(L"ProgramFiles");
  return folder.empty() ? std::wstring(L"C:\\Program Files") : folder;
}

std::optional<std::wstring> EventSourceMessageFile() {
  HKEY opened = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\spoolsync", 0,
                    KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  const RegistryKey key(opened);
  wchar_t value[MAX_PATH + 1] = {};
  DWORD size = sizeof value - sizeof value[0];
  // Read as stored: a REG_EXPAND_SZ is compared as install.cmd wrote it.
  if (RegGetValueW(key.Get(), nullptr, L"EventMessageFile", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                   nullptr, value, &size) != ERROR_SUCCESS) {
    return std::wstring();
  }
  return std::wstring(value);
}

bool FileExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FolderExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::vector<std::wstring> FindFiles(const std::wstring& folder, const std::wstring& pattern) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found = {};
  const HANDLE search = FindFirstFileW((folder + pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(folder + found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

ProcessResult RunProcess(const std::wstring& commandLine, const std::wstring& folder, const wchar_t* logName,
                         DWORD timeoutMs) {
  ProcessResult result;
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD tempLength = GetTempPathW(MAX_PATH + 1, temp);
  result.log = std::wstring(temp, tempLength) + L"spoolsync-selftest-" + logName + L".log";

  // The log is inherited as the program's standard output and error.
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  const UniqueHandle log(CreateFileW(result.log.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  const UniqueHandle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!log || !input) {
    result.error = GetLastError();
    return result;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.Get();
  startup.hStdOutput = log.Get();
  startup.hStdError = log.Get();
  PROCESS_INFORMATION process = {};
  std::wstring line = commandLine;  // CreateProcessW may write into it
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &process)) {
    result.error = GetLastError();
    return result;
  }
  const UniqueHandle processHandle(process.hProcess);
  const UniqueHandle threadHandle(process.hThread);
  if (WaitForSingleObject(process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
    result.error = WAIT_TIMEOUT;
    return result;
  }
  GetExitCodeProcess(process.hProcess, &result.exitCode);
  result.ran = true;
  return result;
}

std::string Describe(const ProcessResult& result) {
  if (result.error == WAIT_TIMEOUT) return "did not end in time (output: " + Narrow(result.log) + ")";
  if (!result.ran) return "not started: " + ErrorText(result.error);
  std::string text = "exit " + std::to_string(result.exitCode);
  if (result.exitCode != 0) text += " (output: " + Narrow(result.log) + ")";
  return text;
}

ServiceInfo QueryService(const wchar_t* name) {
  ServiceInfo info;
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ServiceHandle service(OpenServiceW(manager.Get(), name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
  if (!service) return info;
  info.exists = true;
  SERVICE_STATUS_PROCESS status = {};
  DWORD needed = 0;
  if (QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                           &needed)) {
    info.state = status.dwCurrentState;
    info.processId = status.dwProcessId;
  }
  QueryServiceConfigW(service.Get(), nullptr, 0, &needed);
  if (needed >= sizeof(QUERY_SERVICE_CONFIGW)) {
    std::vector<BYTE> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (QueryServiceConfigW(service.Get(), config, needed, &needed) && config->lpBinaryPathName != nullptr) {
      info.binaryPath = config->lpBinaryPathName;
    }
  }
  return info;
}

long long WaitForService(const wchar_t* name, DWORD state, DWORD timeoutMs) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const ServiceInfo info = QueryService(name);
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    if (state == 0 ? !info.exists : info.exists && info.state == state) return waited;
    if (waited >= timeoutMs) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void StopServiceAndWait(const wchar_t* name) {
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ServiceHandle service(OpenServiceW(manager.Get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) return;
  SERVICE_STATUS status = {};
  ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
  WaitForService(name, SERVICE_STOPPED, 30000);
}

bool StopServiceAndWaitForExit(const wchar_t* name, DWORD timeoutMs) {
  const ServiceInfo running = QueryService(name);
  if (!running.exists) return true;
  // The process is opened before the stop, so that the handle cannot name
  // another process that got the same id after this one ended.
  const UniqueHandle process(running.processId != 0 ? OpenProcess(SYNCHRONIZE, FALSE, running.processId) : nullptr);
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ServiceHandle service(OpenServiceW(manager.Get(), name, SERVICE_STOP | SERVICE_QUERY_STATUS));
  if (!service) return false;
  SERVICE_STATUS status = {};
  ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
  if (WaitForService(name, SERVICE_STOPPED, timeoutMs) < 0) return false;
  return !process || WaitForSingleObject(process.Get(), timeoutMs) == WAIT_OBJECT_0;
}

void DeleteServiceNow(const wchar_t* name) {
  const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  const ServiceHandle service(OpenServiceW(manager.Get(), name, DELETE));
  if (service) DeleteService(service.Get());
}

QueueInfoRead ReadQueue(const std::wstring& name) {
  QueueInfoRead read;
  std::wstring printerName = name;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ACCESS_USE};
  HANDLE handle = nullptr;
  if (!OpenPrinterW(printerName.data(), &handle, &defaults)) {
    read.openError = GetLastError();
    return read;
  }
  const PrinterHandle queue(handle);
  read.exists = true;
  DWORD needed = 0;
  GetPrinterW(handle, 2, nullptr, 0, &needed);
  if (needed < sizeof(PRINTER_INFO_2W)) return read;
  std::vector<BYTE> buffer(needed);
  if (!GetPrinterW(handle, 2, buffer.data(), needed, &needed)) return read;
  const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  read.port = info->pPortName != nullptr ? info->pPortName : L"";
  read.status = info->Status;
  read.attributes = info->Attributes;
  return read;
}

DWORD WriteQueuePort(const std::wstring& name, const std::wstring& port) {
  std::wstring printerName = name;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE handle = nullptr;
  if (!OpenPrinterW(printerName.data(), &handle, &defaults)) return GetLastError();
  const PrinterHandle queue(handle);
  DWORD needed = 0;
  GetPrinterW(handle, 2, nullptr, 0, &needed);
  if (needed < sizeof(PRINTER_INFO_2W)) return GetLastError();
  std::vector<BYTE> buffer(needed);
  if (!GetPrinterW(handle, 2, buffer.data(), needed, &needed)) return GetLastError();
  auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
  std::wstring portName = port;
  info->pPortName = portName.data();
  // The security descriptor is left out: the write is about the port only.
  info->pSecurityDescriptor = nullptr;
  if (!SetPrinterW(handle, 2, buffer.data(), 0)) return GetLastError();
  return ERROR_SUCCESS;
}

DWORD AddQueue(const std::wstring& name, const std::wstring& port, const std::wstring& driver) {
  std::wstring printerName = name;
  std::wstring portName = port;
  std::wstring driverName = driver;
  PRINTER_INFO_2W info = {};
  info.pPrinterName = printerName.data();
  info.pPortName = portName.data();
  info.pDriverName = driverName.data();
  info.pPrintProcessor = kPrintProcessor;
  info.pDatatype = kDatatype;
  info.Priority = 1;
  info.DefaultPriority = 1;
  const HANDLE queue = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  if (queue == nullptr) return GetLastError();
  ClosePrinter(queue);
  return ERROR_SUCCESS;
}

DWORD DeleteQueue(const std::wstring& name) {
  std::wstring printerName = name;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE handle = nullptr;
  if (!OpenPrinterW(printerName.data(), &handle, &defaults)) return GetLastError();
  const PrinterHandle queue(handle);
  return DeletePrinter(handle) ? static_cast<DWORD>(ERROR_SUCCESS) : GetLastError();
}

std::vector<std::wstring> InstalledDrivers() {
  DWORD needed = 0;
  DWORD returned = 0;
  EnumPrinterDriversW(nullptr, nullptr, 1, nullptr, 0, &needed, &returned);
  std::vector<std::wstring> names;
  if (needed == 0) return names;
  std::vector<BYTE> buffer(needed);
  if (!EnumPrinterDriversW(nullptr, nullptr, 1, buffer.data(), needed, &needed, &returned)) return names;
  const auto* entries = reinterpret_cast<const DRIVER_INFO_1W*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i) {
    if (entries[i].pName != nullptr) names.emplace_back(entries[i].pName);
  }
  return names;
}

DWORD InstallDriver(const std::wstring& driver) {
  if (driver == kWineDriver) {
    std::wstring driverName = driver;
    DRIVER_INFO_3W info = {};
    info.cVersion = 3;
    info.pName = driverName.data();
    info.pDriverPath = kWineDriverFile;
    info.pConfigFile = kWineDriverFile;
    info.pDataFile = kWineDataFile;
    return AddPrinterDriverW(nullptr, 3, reinterpret_cast<LPBYTE>(&info)) ? static_cast<DWORD>(ERROR_SUCCESS)
                                                                          : GetLastError();
  }
  const auto install = Lookup<InstallPrinterDriverFromPackage>(L"winspool.drv", "InstallPrinterDriverFromPackageW");
  if (install == nullptr) return ERROR_CALL_NOT_IMPLEMENTED;
  // No INF path: the driver is taken from the driver store, where Windows
  // keeps its inbox drivers.
  const HRESULT result = install(nullptr, nullptr, driver.c_str(), nullptr, 0);
  if (SUCCEEDED(result)) return ERROR_SUCCESS;
  return HRESULT_FACILITY(result) == FACILITY_WIN32 ? static_cast<DWORD>(HRESULT_CODE(result))
                                                    : static_cast<DWORD>(result);
}

DWORD RemoveDriver(const std::wstring& driver) {
  std::wstring driverName = driver;
  if (DeletePrinterDriverExW(nullptr, nullptr, driverName.data(), DPD_DELETE_UNUSED_FILES, 0)) return ERROR_SUCCESS;
  // Wine's DeletePrinterDriverExW is a stub that fails; the older call
  // removes the driver there (and on Windows leaves its files).
  return DeletePrinterDriverW(nullptr, nullptr, driverName.data()) ? static_cast<DWORD>(ERROR_SUCCESS) : GetLastError();
}

std::vector<std::wstring> PortNames() {
  DWORD needed = 0;
  DWORD returned = 0;
  EnumPortsW(nullptr, 1, nullptr, 0, &needed, &returned);
  std::vector<std::wstring> names;
  if (needed == 0) return names;
  std::vector<BYTE> buffer(needed);
  if (!EnumPortsW(nullptr, 1, buffer.data(), needed, &needed, &returned)) return names;
  const auto* entries = reinterpret_cast<const PORT_INFO_1W*>(buffer.data());
  for (DWORD i = 0; i < returned; ++i) {
    if (entries[i].pName != nullptr) names.emplace_back(entries[i].pName);
  }
  return names;
}

}  // namespace selftest
