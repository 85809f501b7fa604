// Service control manager of the simulated machine: the dispatcher and
// control handler of the service under test, its status reports and device
// notifications, and the Spooler service it can stop and start.
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "platform/sim/machine_state.h"

namespace sim {

namespace {

constexpr char kSpoolerName[] = "Spooler";

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "STOPPED";
    case SERVICE_START_PENDING:
      return "START_PENDING";
    case SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case SERVICE_RUNNING:
      return "RUNNING";
    default:
      return "?";
  }
}

bool EqualNoCaseNarrow(std::string_view a, std::string_view b) { return EqualNoCase(Widen(a), Widen(b)); }

std::shared_ptr<ServiceProcess> RunningServiceProcess(MachineState& m) {
  if (!m.scm.service || !m.scm.service->process || m.scm.service->process->ended) return nullptr;
  return m.scm.service->process;
}

std::string KindsText(const std::map<std::string, int>& counts) {
  std::string text;
  for (const auto& [kind, count] : counts) text += (text.empty() ? "" : " ") + kind + ":" + std::to_string(count);
  return text;
}

// Windows: when a process ends, every thread of it ends wherever it is, and
// the system closes every handle it still holds (Microsoft docs, "Terminating
// a Process" and ExitProcess).
void EndServiceProcess(MachineState& m, const std::shared_ptr<ServiceProcess>& process) {
  process->ended = true;
  const std::string name = "process " + std::to_string(process->id);
  m.Log(TraceEntry::Channel::Process, name + " exited with code " + std::to_string(process->exitCode.value_or(-1)));
  for (const std::string& thread : m.scheduler.OtherLiveThreads(process->id)) {
    m.Log(TraceEntry::Channel::Process, name + ": thread \"" + thread + "\" ended with it");
  }
  m.scheduler.Kill(process->id);

  std::map<std::string, int> leftOpen = m.handles.CloseProcess(process->id);
  CompleteDeviceRemovals(m);
  std::erase_if(m.globalMemory.blocks, [&](const auto& block) {
    if (block.second.process != process->id) return false;
    ++leftOpen["global-memory"];
    std::free(block.first);
    return true;
  });
  if (!leftOpen.empty()) {
    m.Log(TraceEntry::Channel::Process, name + " left open (" + KindsText(leftOpen) + "): closed by the system");
    for (const auto& [kind, count] : leftOpen) m.leftOpenAtExit[kind] += count;
  }

  if (m.scm.service && m.scm.service->process == process && m.scm.service->last.dwCurrentState != SERVICE_STOPPED) {
    m.scm.service->last.dwCurrentState = SERVICE_STOPPED;
    m.Log(TraceEntry::Channel::Scm, "service ended without reporting STOPPED");
  }
}

// The control manager's limit for a control handler: a control not handled
// within it is answered with ERROR_SERVICE_REQUEST_TIMEOUT.
constexpr Millis kControlTimeoutMs = 30000;
// How long the control manager waits for a started process to connect.
constexpr Millis kConnectTimeoutMs = 30000;

// Watches the service's control handler the way the control manager does:
// each control the handler has not returned from within the limit is
// answered with ERROR_SERVICE_REQUEST_TIMEOUT and shown on the timeline.
void StartControlWatchdog(MachineState& m, const std::shared_ptr<ServiceProcess>& process) {
  StartThread(m, 0, "control watchdog", [&m, process] {
    while (!process->ended) {
      m.scheduler.Block([process] { return process->ended || process->controlInHandler != 0; }, kForever);
      const std::uint64_t control = process->controlInHandler;
      if (control == 0) continue;
      const bool returned =
          m.scheduler.Block([process, control] { return process->ended || process->controlInHandler != control; },
                            process->handlerStartedAt + kControlTimeoutMs);
      if (returned || process->ended) continue;
      if (m.scm.service && m.scm.service->process == process) ++m.scm.service->controlTimeouts;
      m.Log(TraceEntry::Channel::Scm, "control not handled within " + std::to_string(kControlTimeoutMs) +
                                          " ms: answered error 1053 (ERROR_SERVICE_REQUEST_TIMEOUT)");
      m.scheduler.Block([process, control] { return process->ended || process->controlInHandler != control; },
                        kForever);
    }
    return DWORD{0};
  });
}

bool IsPending(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING || state == SERVICE_CONTINUE_PENDING ||
         state == SERVICE_PAUSE_PENDING;
}

// Windows: a service in a pending state makes its next status report, with
// a new check point or a new state, before its wait hint has passed;
// otherwise the control manager takes it to have stopped responding
// (Microsoft docs, SERVICE_STATUS, dwWaitHint). Such a stall is a fault.
void StartStatusWatchdog(MachineState& m, const std::shared_ptr<ServiceProcess>& process) {
  StartThread(m, 0, "status watchdog", [&m, process] {
    while (!process->ended) {
      const std::uint64_t report = process->reportsReceived;
      const SERVICE_STATUS& last = m.scm.service->last;
      const bool pending = report != 0 && m.scm.service->process == process && IsPending(last.dwCurrentState);
      const Millis deadline = pending ? process->lastReportAt + last.dwWaitHint : kForever;
      const DWORD state = last.dwCurrentState;
      const DWORD hint = last.dwWaitHint;
      const bool progressed = m.scheduler.Block(
          [process, report] { return process->ended || process->reportsReceived != report; }, deadline);
      if (progressed || process->ended) continue;
      m.Fault(std::string("the service stayed ") + StateName(state) + " beyond its wait hint (" + std::to_string(hint) +
              " ms) without a new check point");
      m.scheduler.Block([process, report] { return process->ended || process->reportsReceived != report; }, kForever);
    }
    return DWORD{0};
  });
}

// The Spooler, `pending` since request number `request`, reaches `done`
// after `delay`, unless another request of the same kind came meanwhile.
void FinishSpoolerChange(MachineState& m, std::uint64_t SpoolerService::*requests, std::uint64_t request, Millis delay,
                         DWORD pending, DWORD done, const char* text) {
  StartThread(m, 0, "spooler change", [&m, requests, request, delay, pending, done, text] {
    m.scheduler.Block(nullptr, m.Now() + delay);
    SpoolerService& spooler = m.scm.spooler;
    if (spooler.*requests == request && spooler.state == pending) {
      spooler.state = done;
      m.Log(TraceEntry::Channel::Scm, text);
      if (done == SERVICE_STOPPED) ForgetSpoolerMemory(m);
    }
    return DWORD{0};
  });
}

}  // namespace

void StopSpoolerDependents(MachineState& m) {
  for (auto& [name, running] : m.scm.spooler.dependents) {
    if (!running) continue;
    running = false;
    m.Log(TraceEntry::Channel::Scm, name + " stopped");
  }
}

void BeginSpoolerStop(MachineState& m) {
  SpoolerService& spooler = m.scm.spooler;
  const std::uint64_t request = ++spooler.stopRequests;
  if (spooler.stopTime <= 0) {
    spooler.state = SERVICE_STOPPED;
    m.Log(TraceEntry::Channel::Scm, "Spooler stopped");
    ForgetSpoolerMemory(m);
    return;
  }
  spooler.state = SERVICE_STOP_PENDING;
  m.Log(TraceEntry::Channel::Scm, "Spooler stopping (takes " + std::to_string(spooler.stopTime) + " ms)");
  FinishSpoolerChange(m, &SpoolerService::stopRequests, request, spooler.stopTime, SERVICE_STOP_PENDING,
                      SERVICE_STOPPED, "Spooler stopped");
}

// Windows: StartService returns once the service's process has started; the
// service reports START_PENDING until it is ready, and its RPC interface
// answers RPC_S_SERVER_UNAVAILABLE until then (Microsoft docs, StartService:
// "the service is started ... when the service reports running" is left to
// the caller to poll for).
DWORD StartSpoolerService(MachineState& m) {
  SpoolerService& spooler = m.scm.spooler;
  if (spooler.state != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
  ++spooler.epoch;
  ++spooler.restarts;
  const std::uint64_t request = ++spooler.startRequests;
  if (spooler.startTime <= 0) {
    spooler.state = SERVICE_RUNNING;
    m.Log(TraceEntry::Channel::Scm, "Spooler started");
    return ERROR_SUCCESS;
  }
  spooler.state = SERVICE_START_PENDING;
  m.Log(TraceEntry::Channel::Scm, "Spooler starting (takes " + std::to_string(spooler.startTime) + " ms)");
  FinishSpoolerChange(m, &SpoolerService::startRequests, request, spooler.startTime, SERVICE_START_PENDING,
                      SERVICE_RUNNING, "Spooler started");
  return ERROR_SUCCESS;
}

std::shared_ptr<ServiceProcess> Scm::ProcessOfCaller(int process) const {
  if (service && service->process && service->process->id == process && !service->process->ended) {
    return service->process;
  }
  return nullptr;
}

std::shared_ptr<ServiceProcess> StartProcess(MachineState& m, bool startedByScm, std::function<int()> entry) {
  auto process = std::make_shared<ServiceProcess>();
  process->id = m.scm.nextProcess++;
  process->startedByScm = startedByScm;
  m.scm.processes.push_back(process);
  m.Log(TraceEntry::Channel::Process, "process " + std::to_string(process->id) + " started" +
                                          (startedByScm ? " by the service control manager" : " from a console"));
  StartThread(m, process->id, "process main", [&m, process, entry = std::move(entry)] {
    process->exitCode = entry();
    EndServiceProcess(m, process);
    return static_cast<DWORD>(*process->exitCode);
  });
  return process;
}

DWORD StartInstalledService(MachineState& m) {
  if (!m.scm.service) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (RunningServiceProcess(m)) return ERROR_SERVICE_ALREADY_RUNNING;
  InstalledService& service = *m.scm.service;
  service.last = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};
  service.process = StartProcess(m, true, service.entry);
  return ERROR_SUCCESS;
}

// Windows: StartService returns once the service's process has connected
// (StartServiceCtrlDispatcher) and the thread of its ServiceMain has been
// created, not when the service runs; a process that does not connect within
// 30 s fails the start with ERROR_SERVICE_REQUEST_TIMEOUT (Microsoft docs,
// StartService and StartServiceCtrlDispatcher: "the main thread of the
// service process should make this call as soon as possible after it starts
// up (within 30 seconds)"). A process that ends before it connects is
// answered the same way, at its end (what Windows answers then was not
// measured). The driver's own start (a scenario's "service start") does not
// wait: it is the control manager's, and its threads run when the driver
// lets them.
DWORD AwaitServiceConnection(MachineState& m) {
  const auto process = m.scm.service ? m.scm.service->process : nullptr;
  if (!process) return ERROR_SERVICE_DOES_NOT_EXIST;
  const auto connected = [process] { return process->dispatcherConnected || process->ended; };
  const Millis deadline = m.Now() + kConnectTimeoutMs;
  while (!connected() && m.Now() < deadline) m.scheduler.Block(connected, deadline);
  if (process->dispatcherConnected) return ERROR_SUCCESS;
  m.Log(TraceEntry::Channel::Scm, "the service's process did not connect to the control manager" +
                                      std::string(process->ended ? " before it ended" : " within 30 s"));
  return ERROR_SERVICE_REQUEST_TIMEOUT;
}

DWORD ControlInstalledService(MachineState& m, DWORD control) {
  const auto process = RunningServiceProcess(m);
  if (!process) return ERROR_SERVICE_NOT_ACTIVE;
  const SERVICE_STATUS& last = m.scm.service->last;
  if (last.dwCurrentState != SERVICE_RUNNING && control != SERVICE_CONTROL_INTERROGATE) {
    return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  }
  // Each standard control reaches only a service that said it accepts it;
  // interrogate and the user-defined controls (128-255) always do.
  DWORD needed = 0;
  switch (control) {
    case SERVICE_CONTROL_STOP:
      needed = SERVICE_ACCEPT_STOP;
      break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      needed = SERVICE_ACCEPT_PAUSE_CONTINUE;
      break;
    case SERVICE_CONTROL_SHUTDOWN:
      needed = SERVICE_ACCEPT_SHUTDOWN;
      break;
    case SERVICE_CONTROL_PARAMCHANGE:
      needed = SERVICE_ACCEPT_PARAMCHANGE;
      break;
    case SERVICE_CONTROL_INTERROGATE:
      break;
    default:
      if (control < 128 || control > 255) return ERROR_INVALID_PARAMETER;
      break;
  }
  if ((last.dwControlsAccepted & needed) != needed) return ERROR_INVALID_SERVICE_CONTROL;
  QueueServiceControl(m, control, 0, {});
  return ERROR_SUCCESS;
}

void QueueServiceControl(MachineState& m, DWORD control, DWORD eventType, std::vector<BYTE> data) {
  const auto process = RunningServiceProcess(m);
  if (!process) return;
  m.Log(TraceEntry::Channel::Scm, "control " + std::to_string(control) +
                                      (control == SERVICE_CONTROL_DEVICEEVENT ? " event " + Hex(eventType) : "") +
                                      " sent to the service");
  process->controls.push_back({control, eventType, std::move(data)});
}

void NotifyDeviceInterface(MachineState& m, DWORD eventType, const GUID& interfaceClass, const std::wstring& path) {
  const auto process = RunningServiceProcess(m);
  if (!process) return;
  int registrations = 0;
  m.handles.ForEach<NotificationObject>([&](const NotificationObject& n) {
    if (n.process == process->id && SameGuid(n.interfaceClass, interfaceClass)) ++registrations;
  });
  for (int i = 0; i < registrations; ++i) {
    const std::size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    // dbcc_size is the record's size with its padding, so it can exceed what
    // the name needs: by 2 bytes on x64 Windows (sizeof 32, name at 28).
    constexpr std::size_t kPaddingCounted = 2;
    const std::size_t size = nameOffset + (path.size() + 1) * sizeof(wchar_t) + kPaddingCounted;
    std::vector<BYTE> record(size, 0);
    DEV_BROADCAST_DEVICEINTERFACE_W header = {};
    header.dbcc_size = static_cast<DWORD>(size);
    header.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    header.dbcc_classguid = interfaceClass;
    std::memcpy(record.data(), &header, nameOffset);
    std::memcpy(record.data() + nameOffset, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    QueueServiceControl(m, SERVICE_CONTROL_DEVICEEVENT, eventType, std::move(record));
  }
}

}  // namespace sim

using sim::Current;

BOOL WINAPI StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* table) {
  sim::EnterCall(__func__);
  auto& m = Current();
  const auto process = m.scm.ProcessOfCaller(m.scheduler.CurrentProcess());
  if (!process || !process->startedByScm) return sim::Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  if (process->dispatcherConnected) return sim::Fail(ERROR_SERVICE_ALREADY_RUNNING);
  if (table == nullptr || table[0].lpServiceName == nullptr || table[0].lpServiceProc == nullptr)
    return sim::Fail(ERROR_INVALID_DATA);
  process->dispatcherConnected = true;
  sim::StartControlWatchdog(m, process);
  sim::StartStatusWatchdog(m, process);
  // An own-process service is started whatever name its table gives.
  const LPSERVICE_MAIN_FUNCTIONW serviceMain = table[0].lpServiceProc;
  std::wstring name = table[0].lpServiceName;
  sim::StartThread(m, process->id, "service main", [serviceMain, name]() mutable {
    LPWSTR argv[] = {name.data(), nullptr};
    serviceMain(1, argv);
    return DWORD{0};
  });
  // This thread is the dispatcher: it runs the handler for every control,
  // one at a time, and returns once the service has reported that it stopped.
  for (;;) {
    const auto work = [process] { return !process->controls.empty() || process->stopReported; };
    while (!work()) m.scheduler.Block(work, sim::kForever);
    if (process->stopReported) return TRUE;
    sim::ServiceProcess::Control control = std::move(process->controls.front());
    process->controls.pop_front();
    if (process->handler != nullptr) {
      process->controlInHandler = ++process->controlsDelivered;
      process->handlerStartedAt = m.Now();
      const DWORD result = process->handler(control.control, control.eventType,
                                            control.data.empty() ? nullptr : control.data.data(), process->context);
      process->controlInHandler = 0;
      if (m.scm.service && m.scm.service->process == process) {
        m.scm.service->handlerResults.push_back(result);
        m.scm.service->longestControl = std::max(m.scm.service->longestControl, m.Now() - process->handlerStartedAt);
      }
    }
  }
}

SERVICE_STATUS_HANDLE WINAPI RegisterServiceCtrlHandlerExW(LPCWSTR serviceName, LPHANDLER_FUNCTION_EX handler,
                                                           LPVOID context) {
  sim::EnterCall(__func__);
  auto& m = Current();
  const auto process = m.scm.ProcessOfCaller(m.scheduler.CurrentProcess());
  if (!process || !process->dispatcherConnected) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  if (serviceName == nullptr || handler == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // An own-process service's handler is registered whatever name it gives.
  process->handler = handler;
  process->context = context;
  if (process->statusHandle == 0) {
    process->statusHandle = m.scm.nextStatusHandle;
    m.scm.nextStatusHandle += 8;
  }
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(process->statusHandle);
}

BOOL WINAPI SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS status) {
  sim::EnterCall(__func__);
  auto& m = Current();
  const auto process = sim::RunningServiceProcess(m);
  if (!process || statusHandle == nullptr || reinterpret_cast<std::uintptr_t>(statusHandle) != process->statusHandle)
    return sim::Fail(ERROR_INVALID_HANDLE);
  if (status == nullptr || status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > 7)
    return sim::Fail(ERROR_INVALID_DATA);
  sim::InstalledService& service = *m.scm.service;
  service.last = *status;
  service.reports.push_back(*status);
  m.Log(sim::TraceEntry::Channel::Service, std::string("status ") + sim::StateName(status->dwCurrentState) +
                                               " (accepts " + sim::Hex(status->dwControlsAccepted) + ", exit code " +
                                               std::to_string(status->dwWin32ExitCode) + ", wait hint " +
                                               std::to_string(status->dwWaitHint) + ")");
  if (status->dwCurrentState == SERVICE_STOPPED) process->stopReported = true;
  ++process->reportsReceived;
  process->lastReportAt = m.Now();
  // The report is in; the call returns only after the round trip.
  sim::TakeTime(m, m.scm.callLatency);
  return TRUE;
}

HDEVNOTIFY WINAPI RegisterDeviceNotificationW(HANDLE recipient, LPVOID filter, DWORD flags) {
  sim::EnterCall(__func__);
  auto& m = Current();
  const auto process = m.scm.ProcessOfCaller(m.scheduler.CurrentProcess());
  if ((flags & DEVICE_NOTIFY_SERVICE_HANDLE) == 0 || filter == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);  // only service recipients are simulated
    return nullptr;
  }
  if (!process || recipient == nullptr || reinterpret_cast<std::uintptr_t>(recipient) != process->statusHandle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  DEV_BROADCAST_DEVICEINTERFACE_W header;
  std::memcpy(&header, filter, sizeof header);
  if (header.dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE || header.dbcc_size < sizeof header) {
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }
  m.Log(sim::TraceEntry::Channel::Scm, "device notifications registered");
  return m.handles.Add(sim::NotificationObject{process->id, header.dbcc_classguid});
}

BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY notification) {
  sim::EnterCall(__func__);
  auto& m = Current();
  if (m.handles.Find<sim::NotificationObject>(notification) == nullptr) return sim::Fail(ERROR_INVALID_HANDLE);
  m.handles.Remove(notification);
  m.Log(sim::TraceEntry::Channel::Scm, "device notifications unregistered");
  return TRUE;
}

namespace {

// The specific rights a generic right stands for (Microsoft docs, Service
// Security and Access Rights).
struct GenericMapping {
  ACCESS_MASK read, write, execute, all;
};
constexpr GenericMapping kScManagerMapping = {
    STANDARD_RIGHTS_READ | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS,
    STANDARD_RIGHTS_WRITE | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SC_MANAGER_CONNECT | SC_MANAGER_LOCK, SC_MANAGER_ALL_ACCESS};
constexpr GenericMapping kServiceMapping = {
    STANDARD_RIGHTS_READ | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
        SERVICE_ENUMERATE_DEPENDENTS,
    STANDARD_RIGHTS_WRITE | SERVICE_CHANGE_CONFIG,
    STANDARD_RIGHTS_EXECUTE | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL,
    SERVICE_ALL_ACCESS};

// The rights a handle is given: what was asked for, generic rights mapped.
// The programs on this machine run as administrators or LocalSystem, whom
// the default security descriptors grant every right.
ACCESS_MASK Granted(ACCESS_MASK desired, const GenericMapping& mapping) {
  ACCESS_MASK granted = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if ((desired & GENERIC_READ) != 0) granted |= mapping.read;
  if ((desired & GENERIC_WRITE) != 0) granted |= mapping.write;
  if ((desired & GENERIC_EXECUTE) != 0) granted |= mapping.execute;
  if ((desired & GENERIC_ALL) != 0) granted |= mapping.all;
  return granted;
}

}  // namespace

// Windows: the local machine is NULL or ""; the database NULL or
// SERVICES_ACTIVE_DATABASE, SERVICES_FAILED_DATABASE exists not, any other
// name is invalid; a remote machine that cannot be reached answers
// RPC_S_SERVER_UNAVAILABLE; any rights, none included, open the manager with
// SC_MANAGER_CONNECT given; success sets the last error to 0 (Wine
// dlls/advapi32/tests/service.c, test_open_scm; Microsoft docs,
// OpenSCManagerA).
SC_HANDLE WINAPI OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess) {
  sim::EnterCall(__func__);
  auto& m = Current();
  sim::TakeTime(m, m.scm.callLatency);
  if (m.scm.unreachableError != 0) {
    SetLastError(m.scm.unreachableError);
    return nullptr;
  }
  if (machineName != nullptr && *machineName != '\0') {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);  // only the local machine is simulated
    return nullptr;
  }
  if (databaseName != nullptr && !sim::EqualNoCaseNarrow(databaseName, SERVICES_ACTIVE_DATABASEA)) {
    SetLastError(sim::EqualNoCaseNarrow(databaseName, SERVICES_FAILED_DATABASEA) ? ERROR_DATABASE_DOES_NOT_EXIST
                                                                                 : ERROR_INVALID_NAME);
    return nullptr;
  }
  const ACCESS_MASK access = Granted(desiredAccess, kScManagerMapping) | SC_MANAGER_CONNECT;
  SetLastError(ERROR_SUCCESS);
  return static_cast<SC_HANDLE>(m.handles.Add(sim::ScManagerObject{access}));
}

// Windows: no manager handle is an invalid handle, no name an invalid
// address; a display name is no service name (Wine
// dlls/advapi32/tests/service.c, test_open_svc). The manager's
// SC_MANAGER_CONNECT, which every manager handle has, is the right needed.
SC_HANDLE WINAPI OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess) {
  sim::EnterCall(__func__);
  auto& m = Current();
  sim::TakeTime(m, m.scm.callLatency);
  const sim::ScManagerObject* open = m.handles.Find<sim::ScManagerObject>(manager);
  if (open == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if ((open->access & SC_MANAGER_CONNECT) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  if (serviceName == nullptr) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  const std::string name = serviceName;
  std::string known;
  if (sim::EqualNoCaseNarrow(name, sim::kSpoolerName)) {
    known = sim::kSpoolerName;
  } else if (m.scm.service && sim::EqualNoCaseNarrow(name, m.scm.service->name)) {
    known = m.scm.service->name;
  } else {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  const ACCESS_MASK access = Granted(desiredAccess, kServiceMapping);
  return static_cast<SC_HANDLE>(m.handles.Add(sim::ServiceObject{known, access}));
}

namespace {

SERVICE_STATUS SpoolerStatus(const sim::SpoolerService& spooler) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = spooler.state;
  status.dwControlsAccepted = spooler.state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  return status;
}

}  // namespace

namespace {

// The right a control needs, and whether the control code is one at all
// (Microsoft docs, ControlService).
std::optional<ACCESS_MASK> RightForControl(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_STOP;
    case SERVICE_CONTROL_INTERROGATE:
      return SERVICE_INTERROGATE;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
      return SERVICE_PAUSE_CONTINUE;
    default:
      if (control >= 128 && control <= 255) return SERVICE_USER_DEFINED_CONTROL;
      return std::nullopt;
  }
}

}  // namespace

// Windows: each control needs its right on the handle; a control sent to a
// stopped service fails with ERROR_SERVICE_NOT_ACTIVE, interrogation too;
// the status record is filled in only with NO_ERROR,
// ERROR_INVALID_SERVICE_CONTROL, ERROR_SERVICE_CANNOT_ACCEPT_CTRL and
// ERROR_SERVICE_NOT_ACTIVE (Microsoft docs, ControlService; Wine
// dlls/advapi32/tests/service.c, try_start_stop).
BOOL WINAPI ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
  sim::EnterCall(__func__);
  auto& m = Current();
  sim::TakeTime(m, m.scm.callLatency);
  const sim::ServiceObject* open = m.handles.Find<sim::ServiceObject>(service);
  if (open == nullptr) return sim::Fail(ERROR_INVALID_HANDLE);
  const auto right = RightForControl(control);
  if (!right) return sim::Fail(ERROR_INVALID_PARAMETER);
  if ((open->access & *right) != *right) return sim::Fail(ERROR_ACCESS_DENIED);
  if (status == nullptr) return sim::Fail(ERROR_INVALID_ADDRESS);
  DWORD error = ERROR_SUCCESS;
  SERVICE_STATUS latest = {};
  if (open->name == sim::kSpoolerName) {
    sim::SpoolerService& spooler = m.scm.spooler;
    if (spooler.state == SERVICE_STOPPED) {
      error = ERROR_SERVICE_NOT_ACTIVE;
    } else if (control == SERVICE_CONTROL_STOP) {
      const bool dependentRunning =
          std::any_of(spooler.dependents.begin(), spooler.dependents.end(), [](const auto& d) { return d.second; });
      if (spooler.state != SERVICE_RUNNING) {
        error = ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
      } else if (dependentRunning) {
        // Windows: a stop is refused while a service that depends on this
        // one runs (Microsoft docs, ControlService:
        // ERROR_DEPENDENT_SERVICES_RUNNING).
        error = ERROR_DEPENDENT_SERVICES_RUNNING;
        m.Log(sim::TraceEntry::Channel::Scm, "Spooler stop refused: a dependent service runs");
      } else {
        sim::BeginSpoolerStop(m);
      }
    } else if (control != SERVICE_CONTROL_INTERROGATE) {
      error = ERROR_INVALID_SERVICE_CONTROL;
    }
    latest = SpoolerStatus(spooler);
  } else {
    error = sim::ControlInstalledService(m, control);
    latest = m.scm.service->last;
  }
  if (error == ERROR_SUCCESS || error == ERROR_INVALID_SERVICE_CONTROL || error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
      error == ERROR_SERVICE_NOT_ACTIVE) {
    *status = latest;
  }
  if (error != ERROR_SUCCESS) return sim::Fail(error);
  return TRUE;
}

// Windows: starting needs SERVICE_START on the handle (Microsoft docs,
// StartService).
BOOL WINAPI StartServiceA(SC_HANDLE service, DWORD, LPCSTR*) {
  sim::EnterCall(__func__);
  auto& m = Current();
  sim::TakeTime(m, m.scm.callLatency);
  const sim::ServiceObject* open = m.handles.Find<sim::ServiceObject>(service);
  if (open == nullptr) return sim::Fail(ERROR_INVALID_HANDLE);
  if ((open->access & SERVICE_START) == 0) return sim::Fail(ERROR_ACCESS_DENIED);
  DWORD error = ERROR_SUCCESS;
  if (open->name == sim::kSpoolerName) {
    error = sim::StartSpoolerService(m);
  } else {
    error = sim::StartInstalledService(m);
    if (error == ERROR_SUCCESS) error = sim::AwaitServiceConnection(m);
  }
  if (error != ERROR_SUCCESS) return sim::Fail(error);
  return TRUE;
}

// Windows: no handle is an invalid handle, no record an invalid address, a
// handle without SERVICE_QUERY_STATUS is denied (Wine
// dlls/advapi32/tests/service.c, test_query_svc).
BOOL WINAPI QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
  sim::EnterCall(__func__);
  auto& m = Current();
  sim::TakeTime(m, m.scm.callLatency);
  const sim::ServiceObject* open = m.handles.Find<sim::ServiceObject>(service);
  if (open == nullptr) return sim::Fail(ERROR_INVALID_HANDLE);
  if (status == nullptr) return sim::Fail(ERROR_INVALID_ADDRESS);
  if ((open->access & SERVICE_QUERY_STATUS) == 0) return sim::Fail(ERROR_ACCESS_DENIED);
  *status = open->name == sim::kSpoolerName ? SpoolerStatus(m.scm.spooler) : m.scm.service->last;
  return TRUE;
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE handle) {
  sim::EnterCall(__func__);
  auto& m = Current();
  sim::TakeTime(m, m.scm.callLatency);
  if (m.handles.Find<sim::ScManagerObject>(handle) == nullptr && m.handles.Find<sim::ServiceObject>(handle) == nullptr)
    return sim::Fail(ERROR_INVALID_HANDLE);
  m.handles.Remove(handle);
  return TRUE;
}

// Windows: ExitProcess ends every thread of the calling process, the caller
// too; the C runtime's exit handlers and static destructors are not run by it.
void WINAPI ExitProcess(UINT exitCode) {
  sim::EnterCall(__func__);
  auto& m = Current();
  const int id = m.scheduler.CurrentProcess();
  for (const auto& process : m.scm.processes) {
    if (process->id != id || process->ended) continue;
    process->exitCode = static_cast<int>(exitCode);
    sim::EndServiceProcess(m, process);
    break;
  }
  m.scheduler.Kill(id);
  throw sim::ThreadKilled{};
}
