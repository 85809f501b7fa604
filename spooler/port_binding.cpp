#include "spooler/port_binding.h"

#include <algorithm>

#include "common/diagnostics.h"
#include "common/event_log.h"
#include "common/unique_resource.h"
#include "common/waits.h"
#include "common/wide_text.h"
#include "spooler/printer_queue.h"

namespace {

constexpr char kUsbMonitorPortKeyPrefix[] = "SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\";
constexpr std::size_t kKeyPathBufferSize = 500;
constexpr char kSpoolerServiceName[] = "Spooler";
constexpr std::size_t kDevicePathPrefixLength = 4;  // "\\?\"

ServiceHandle OpenServiceManager() {
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) DebugLog(" OpenSCManager failed:%d\n", static_cast<int>(GetLastError()));
  return manager;
}

// Polls the spooler's state until it is `wanted`, for at most `bound` ms
// from `requested` on the clock (the calls take time too), or until `abandon`
// is signalled. Returns the last state read (0 when it could not be read).
DWORD WaitForSpoolerState(SC_HANDLE spooler, DWORD wanted, DWORD requested, DWORD bound, HANDLE abandon) {
  SERVICE_STATUS status = {};
  for (;;) {
    if (!QueryServiceStatus(spooler, &status)) {
      DebugLog(" Spooler state unknown:%d\n", static_cast<int>(GetLastError()));
      return 0;
    }
    if (status.dwCurrentState == wanted || MillisecondsSince(requested) >= bound) return status.dwCurrentState;
    if (WaitUnlessSignalled(abandon, kSpoolerPollMs)) return status.dwCurrentState;
  }
}

const wchar_t* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return L"STOPPED";
    case SERVICE_START_PENDING:
      return L"START_PENDING";
    case SERVICE_STOP_PENDING:
      return L"STOP_PENDING";
    case SERVICE_RUNNING:
      return L"RUNNING";
    default:
      return L"unknown";
  }
}

// The Spooler was started and is not running: nothing prints meanwhile.
void ReportSpoolerNotBack(DWORD state, DWORD error) {
  ReportServiceEvent<ServiceEvent::SpoolerNotBack>(StateName(state), std::to_wstring(error), Win32ErrorText(error));
}

ServiceHandle OpenSpooler(const ServiceHandle& manager) {
  ServiceHandle spooler(OpenServiceA(manager.Get(), kSpoolerServiceName, SERVICE_ALL_ACCESS));
  if (!spooler) DebugLog(" Spooler open failed:%d\n", static_cast<int>(GetLastError()));
  return spooler;
}

}  // namespace

namespace {

bool Abandoned(HANDLE abandon) { return abandon != nullptr && WaitForSingleObject(abandon, 0) == WAIT_OBJECT_0; }

}  // namespace

bool StopSpooler(HANDLE abandon, DWORD* refusal) {
  if (Abandoned(abandon)) return false;
  const ServiceHandle manager = OpenServiceManager();
  if (!manager) return false;
  const ServiceHandle spooler = OpenSpooler(manager);
  if (!spooler) return false;
  SERVICE_STATUS status = {};
  if (!ControlService(spooler.Get(), SERVICE_CONTROL_STOP, &status)) {
    // A refused stop (a service that depends on the spooler runs, or it is
    // already stopping) is not waited for: the spooler keeps the new port.
    const DWORD error = GetLastError();
    DebugLog(" Spooler stop refused:%d\n", static_cast<int>(error));
    if (refusal != nullptr) *refusal = error;
    return false;
  }
  const DWORD requested = GetTickCount();
  if (WaitUnlessSignalled(abandon, kSpoolerStopPauseMs)) return true;
  if (WaitForSpoolerState(spooler.Get(), SERVICE_STOPPED, requested, kSpoolerStopTimeoutMs, abandon) !=
          SERVICE_STOPPED &&
      MillisecondsSince(requested) >= kSpoolerStopTimeoutMs) {
    DebugLog(" Spooler did not stop within %u ms\n", static_cast<unsigned>(kSpoolerStopTimeoutMs));
  }
  return true;
}

SpoolerRestart StartSpooler(bool waitUntilRunning, bool stoppedByUs, HANDLE abandon, bool quietWhileStopping) {
  const SpoolerRestart notStarted = stoppedByUs ? SpoolerRestart::StartOwed : SpoolerRestart::Done;
  if (Abandoned(abandon)) return notStarted;
  const ServiceHandle manager = OpenServiceManager();
  if (!manager || Abandoned(abandon)) return notStarted;
  const ServiceHandle spooler = OpenSpooler(manager);
  if (!spooler || Abandoned(abandon)) return notStarted;
  SERVICE_STATUS status = {};
  if (!QueryServiceStatus(spooler.Get(), &status)) {
    DebugLog(" Spooler state unknown:%d\n", static_cast<int>(GetLastError()));
    return notStarted;
  }
  if (status.dwCurrentState == SERVICE_STOP_PENDING) {
    if (!quietWhileStopping) DebugLog(" Spooler still stopping: it is started once stopped\n");
    return SpoolerRestart::StartOwed;
  }
  if (status.dwCurrentState != SERVICE_STOPPED) return SpoolerRestart::Done;
  if (Abandoned(abandon)) return notStarted;
  if (!StartServiceA(spooler.Get(), 0, nullptr)) {
    const DWORD error = GetLastError();
    DebugLog(" Spooler start failed:%d\n", static_cast<int>(error));
    // Only a failure that may pass is worth trying again; one that will not
    // (the Spooler disabled, or gone) is left to the administrator.
    const bool mayPass = error == ERROR_SERVICE_DATABASE_LOCKED || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    if (mayPass) return notStarted;
    ReportSpoolerNotBack(status.dwCurrentState, error);
    return SpoolerRestart::NotBack;
  }
  if (!waitUntilRunning) return SpoolerRestart::Done;
  // StartService returns when the spooler's process has started; it answers
  // calls only once it reports RUNNING. The fixed pauses stay the minimum.
  const DWORD requested = GetTickCount();
  if (WaitUnlessSignalled(abandon, kSpoolerStartPauseMs)) return SpoolerRestart::Done;
  const DWORD state = WaitForSpoolerState(spooler.Get(), SERVICE_RUNNING, requested, kSpoolerStartTimeoutMs, abandon);
  if (state != SERVICE_RUNNING && MillisecondsSince(requested) >= kSpoolerStartTimeoutMs) {
    DebugLog(" Spooler not running within %u ms\n", static_cast<unsigned>(kSpoolerStartTimeoutMs));
    // A Spooler still starting comes back by itself; only one that stopped
    // again is not coming back.
    if (state == SERVICE_STOPPED) {
      ReportSpoolerNotBack(state, ERROR_SERVICE_REQUEST_TIMEOUT);
      return SpoolerRestart::NotBack;
    }
  }
  WaitUnlessSignalled(abandon, kSpoolerSettlePauseMs);
  return SpoolerRestart::Done;
}

std::optional<std::vector<std::wstring>> ListUsbPorts() {
  DWORD needed = 0;
  DWORD returned = 0;
  if (EnumPortsW(nullptr, 2, nullptr, 0, &needed, &returned)) return std::vector<std::wstring>{};
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0) return std::nullopt;
  std::vector<BYTE> buffer(needed);
  if (!EnumPortsW(nullptr, 2, buffer.data(), needed, &needed, &returned)) return std::nullopt;
  const std::size_t count = std::min<std::size_t>(returned, buffer.size() / sizeof(PORT_INFO_2W));
  const auto* entries = reinterpret_cast<const PORT_INFO_2W*>(buffer.data());
  std::vector<std::wstring> ports;
  for (std::size_t i = 0; i < count; ++i) {
    const wchar_t* name = entries[i].pPortName;
    if (name != nullptr && std::wcsstr(name, L"USB") != nullptr) ports.emplace_back(name);
  }
  return ports;
}

std::vector<std::wstring> EnumerateUsbPorts() { return ListUsbPorts().value_or(std::vector<std::wstring>{}); }

std::wstring DeviceInstanceIdFromPath(std::wstring_view path) {
  const std::size_t cut = path.rfind(L'#');
  if (cut == std::wstring_view::npos || cut <= kDevicePathPrefixLength) return {};
  std::wstring id(path.substr(0, cut));
  std::replace(id.begin(), id.end(), L'#', L'\\');
  return id.substr(kDevicePathPrefixLength);
}

std::wstring FindUsbPortForDevice(const std::vector<std::wstring>& ports, std::wstring_view path) {
  const std::wstring id = DeviceInstanceIdFromPath(path);
  if (id.empty()) {
    DebugLog(" No device instance id in the device path\n");
    return {};
  }
  for (const std::wstring& port : ports) {
    char keyPath[kKeyPathBufferSize];
    if (!FormatKeyPath(keyPath, sizeof keyPath, kUsbMonitorPortKeyPrefix, port, "")) {
      DebugLog(" USB monitor key path rejected: too long or not narrowable\n");
      continue;
    }
    const auto deviceId = ReadRegistryText(keyPath, "Device Id", true);
    if (deviceId.has_value() && NamesEqual(*deviceId, id)) return port;
  }
  return {};
}

PortChange SetPrinterPortAndRestartSpooler(const std::wstring& port, HANDLE abandon) {
  PortChange change;
  if (port.empty()) {
    DebugLog(" Refusing to bind the queue to an empty port\n");
    return change;
  }
  if (Abandoned(abandon)) return change;
  {
    const PrinterHandle queue = OpenQueue();
    auto info = queue ? ReadQueueInfo(queue.Get()) : std::nullopt;
    if (!info) {
      const DWORD error = LastQueueError();
      ReportServiceEvent<ServiceEvent::RebindFailed>(port, std::to_wstring(error), Win32ErrorText(error));
      return change;
    }
    std::wstring newPort = port;
    info->Get()->pPortName = newPort.data();
    int failedWrites = 0;
    for (;;) {
      // A stopping service writes no more: each try may take as long as the
      // Spooler does to answer.
      if (Abandoned(abandon)) {
        DebugLog(" Port write abandoned: the service is stopping\n");
        return change;
      }
      if (SetPrinterW(queue.Get(), 2, reinterpret_cast<LPBYTE>(info->Get()), 0)) break;
      if (++failedWrites == kPortWriteAttempts) {
        const DWORD error = GetLastError();
        DebugLog(" Port write failed %d times:%d\n", failedWrites, static_cast<int>(error));
        ReportServiceEvent<ServiceEvent::PortWritesRefused>(port, std::to_wstring(failedWrites), std::to_wstring(error),
                                                            Win32ErrorText(error));
        return change;
      }
    }
  }
  change.written = true;
  // The queue handle is closed before the restart: the spooler that issued it
  // is about to go away. A stop that did not finish in time still gets its
  // start: the spooler is never left stopped by the re-binding.
  DWORD refusal = ERROR_SUCCESS;
  const bool stoppedByUs = StopSpooler(abandon, &refusal);
  // Refused while stopped or stopping already, the restart goes on; refused
  // otherwise (a service that depends on it runs), the new port waits for
  // the Spooler's next restart.
  if (refusal != ERROR_SUCCESS && refusal != ERROR_SERVICE_NOT_ACTIVE && refusal != ERROR_SERVICE_CANNOT_ACCEPT_CTRL) {
    ReportServiceEvent<ServiceEvent::SpoolerStopRefused>(std::to_wstring(refusal), Win32ErrorText(refusal), port);
    change.stopRefused = refusal;
  }
  change.restart = StartSpooler(true, stoppedByUs, abandon);
  return change;
}

bool SpoolerRunning(HANDLE abandon) {
  const ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager || Abandoned(abandon)) return false;
  const ServiceHandle spooler(OpenServiceA(manager.Get(), kSpoolerServiceName, SERVICE_QUERY_STATUS));
  if (Abandoned(abandon)) return false;
  SERVICE_STATUS status = {};
  return spooler && QueryServiceStatus(spooler.Get(), &status) && status.dwCurrentState == SERVICE_RUNNING;
}
