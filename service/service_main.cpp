#include "service/service_main.h"

#include "common/diagnostics.h"
#include "common/event_log.h"
#include "common/model.h"
#include "common/scoped_lock.h"
#include "common/waits.h"
#include "monitor/status_monitor.h"
#include "service/device_events.h"
#include "service/service_state.h"
#include "spooler/port_binding.h"
#include "spooler/printer_queue.h"

namespace {

void RegisterForUsbArrivals(ServiceState& state) {
  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_reserved = 0;
  filter.dbcc_classguid = kUsbDeviceInterfaceClass;
  state.notifyHandle.Reset(RegisterDeviceNotificationW(state.statusHandle, &filter, DEVICE_NOTIFY_SERVICE_HANDLE));
}

bool IsPending(DWORD currentState) {
  return currentState == SERVICE_START_PENDING || currentState == SERVICE_STOP_PENDING;
}

// Reports `currentState` (with a new check point while it stays pending) and
// `waitHint`, the other fields as they are. The record is changed and
// reported as one step: the control handler and the service main thread both
// report, and a STOPPED report is never followed by another report.
// Returns the control manager's answer.
DWORD ReportStatus(ServiceState& state, DWORD currentState, DWORD waitHint, DWORD exitCode = NO_ERROR) {
  const ExclusiveLock hold(state.statusLock);
  SERVICE_STATUS& status = state.serviceStatus;
  if (status.dwCurrentState == SERVICE_STOPPED) return NO_ERROR;
  status.dwCheckPoint =
      IsPending(currentState) ? (status.dwCurrentState == currentState ? status.dwCheckPoint + 1 : 1) : 0;
  status.dwCurrentState = currentState;
  status.dwWaitHint = waitHint;
  status.dwWin32ExitCode = exitCode;
  return SetServiceStatus(state.statusHandle, &status) ? static_cast<DWORD>(NO_ERROR) : GetLastError();
}

// Reports the status as it stands (what a control other than a stop asks
// for), unless the service has already reported STOPPED.
DWORD ReportCurrentStatus(ServiceState& state) {
  const ExclusiveLock hold(state.statusLock);
  if (state.serviceStatus.dwCurrentState == SERVICE_STOPPED) return NO_ERROR;
  return SetServiceStatus(state.statusHandle, &state.serviceStatus) ? static_cast<DWORD>(NO_ERROR) : GetLastError();
}

// Whether the service reported a stop under way, or its end. The control
// handler asks this of the status it reports, not of the stop event, which
// the service main thread closes once the monitor thread has ended.
bool Stopping(ServiceState& state) {
  const ExclusiveLock hold(state.statusLock);
  const DWORD current = state.serviceStatus.dwCurrentState;
  return current == SERVICE_STOP_PENDING || current == SERVICE_STOPPED;
}

// A stop or a shutdown: recorded, signalled, then STOP_PENDING reported,
// unless the service main thread has reported STOPPED meanwhile (nothing
// follows STOPPED). The stop is signalled before the report, which takes
// time, so that the monitor thread starts nothing new meanwhile; both events
// are set under the event lock, so the monitor thread never resets the wake
// event after the stop, and once the stop is signalled the service main
// thread may close them: the handler touches neither afterwards. The service
// main thread cuts the monitor thread's status read short.
DWORD RequestStop(ServiceState& state, bool shutdown) {
  if (shutdown) state.shuttingDown = true;
  if (Stopping(state)) return ReportCurrentStatus(state);
  {
    const ExclusiveLock hold(state.eventLock);
    SetEvent(state.wakeEvent.Get());
    SetEvent(state.stopEvent.Get());
  }
  return ReportStatus(state, SERVICE_STOP_PENDING, kStopWaitHintMs);
}

// Until the stop is asked for, whenever something waits for the monitor
// thread (device events), its status read is cut short, however long the
// printer takes to answer. A cancel that comes just before the read begins
// misses it, so it is made again every kStopPollMs while the events wait.
void CancelReadsUntilTheStop(ServiceState& state) {
  for (;;) {
    if (WaitForSingleObject(state.wakeEvent.Get(), INFINITE) != WAIT_OBJECT_0) {
      WaitForSingleObject(state.stopEvent.Get(), INFINITE);
      return;
    }
    if (StopRequested(state)) return;
    CancelSynchronousIo(state.monitorThread.Get());
    if (WaitUnlessSignalled(state.stopEvent.Get(), kStopPollMs)) return;
  }
}

// Ends the monitor thread (on its way out it closes the device and makes a
// Spooler start it owes) and stops the device notifications, reporting
// STOP_PENDING with a new check point each second meanwhile. A normal stop
// waits as long as the monitor thread needs: a stop never leaves the Spooler
// stopped. A shutdown waits at most kShutdownStopMs, since the machine is
// going down; a monitor thread still running then keeps everything it may
// use, and the process ends without closing it.
void StopMonitoring(ServiceState& state) {
  state.notifyHandle.Reset();
  if (!state.monitorThread) return;
  const HANDLE thread = state.monitorThread.Get();
  DWORD lastReport = GetTickCount();
  bool shutdownSeen = false;
  DWORD shutdownSince = 0;
  for (;;) {
    CancelSynchronousIo(thread);
    if (WaitForSingleObject(thread, kStopPollMs) != WAIT_TIMEOUT) break;
    if (state.shuttingDown.load() && !shutdownSeen) {
      shutdownSeen = true;
      shutdownSince = GetTickCount();
    }
    if (shutdownSeen && MillisecondsSince(shutdownSince) >= kShutdownStopMs) {
      DebugLog(" Monitor thread still busy at shutdown\n");
      return;
    }
    if (MillisecondsSince(lastReport) >= kStopCheckPointMs) {
      ReportStatus(state, SERVICE_STOP_PENDING, kStopWaitHintMs);
      lastReport = GetTickCount();
    }
  }
  state.monitorThread.Reset();
  // Nothing waits on them any more, and the control handler no longer sets
  // them (it sees the stop in the reported status).
  state.wakeEvent.Reset();
  state.stopEvent.Reset();
}

// The queue could not be opened or read at the start. The service runs on:
// every command it sends the queue opens it again.
void ReportQueueMissing(DWORD error) {
  ReportServiceEvent<ServiceEvent::QueueMissing>(std::to_wstring(error), Win32ErrorText(error));
}

// `readError` is that of the read that gave `port`: 0 when the queue was read.
void ReportServiceStarted(const std::wstring& port, DWORD readError) {
  if (!port.empty()) {
    ReportServiceEvent<ServiceEvent::ServiceStarted>(port);
  } else if (readError == 0) {
    ReportServiceEvent<ServiceEvent::ServiceStarted>(L"(none: the queue is bound to no port)");
  } else {
    ReportServiceEvent<ServiceEvent::ServiceStarted>(L"(unknown: the queue could not be read, error " +
                                                     std::to_wstring(readError) + L")");
  }
}

// Whether the monitor thread outlived the stop (a shutdown).
bool MonitorThreadStillRunning() {
  const HANDLE thread = serviceState.monitorThread.Get();
  return serviceState.monitorThread && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

}  // namespace

int RunServiceProcess() {
  wchar_t serviceName[] = L"testserviceQ5M2K9";
  static_assert(sizeof serviceName == sizeof kDispatchServiceName);
  const SERVICE_TABLE_ENTRYW dispatchTable[] = {{serviceName, ServiceMain}, {nullptr, nullptr}};
  const BOOL connected = StartServiceCtrlDispatcherW(dispatchTable);
  // This thread ran the control handler, whose calls leave their own last
  // error behind: a service that ran and stopped shows 0, one that could not
  // connect the dispatcher's error.
  DebugLog(" MainError:%d\n", connected ? 0 : static_cast<int>(GetLastError()));
  // The service has reported STOPPED (or never ran): its event source goes.
  CloseServiceEventLog();
  // A monitor thread that outlived a shutdown may still use the state's
  // handles: the process ends here, before the static destructors would
  // close them under it.
  if (MonitorThreadStillRunning()) ExitProcess(0);
  return 0;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceState& state = serviceState;
  OpenServiceEventLog();
  // Probe: produces the open-failure diagnostics when the queue is missing.
  if (!GetPrinterHandle()) ReportQueueMissing(LastQueueError());
  const std::wstring port = GetPrinterPort();
  ReportServiceStarted(port, LastQueueError());

  state.serviceStatus = {};
  state.serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  state.serviceStatus.dwCurrentState = SERVICE_START_PENDING;
  state.serviceStatus.dwControlsAccepted = kControlsAccepted;
  state.serviceStatus.dwWaitHint = kStartWaitHintMs;

  // The events exist before any control can arrive.
  state.stopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  DWORD eventError = state.stopEvent ? static_cast<DWORD>(ERROR_SUCCESS) : GetLastError();
  if (state.stopEvent) {
    state.wakeEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!state.wakeEvent) eventError = GetLastError();
  }
  state.statusHandle = RegisterServiceCtrlHandlerExW(kHandlerServiceName, ServiceControlHandler, nullptr);
  if (!state.stopEvent || !state.wakeEvent) {
    // Without them the service could never be stopped in order, nor hear of
    // its printer: it does not run.
    DebugLog(" Stop event not created:%d\n", static_cast<int>(eventError));
    ReportStatus(state, SERVICE_STOPPED, kStartWaitHintMs, eventError);
    return;
  }
  RegisterForUsbArrivals(state);

  // The monitor thread exists before RUNNING is reported: only then can a
  // stop arrive, and the stop reads the thread's handle.
  state.monitorThread.Reset(CreateThread(nullptr, 0, StatusMonitorThread, nullptr, 0, nullptr));
  if (!state.monitorThread) {
    const DWORD error = GetLastError();
    DebugLog(" Monitor thread not created:%d\n", static_cast<int>(error));
    state.notifyHandle.Reset();
    ReportStatus(state, SERVICE_STOPPED, kStartWaitHintMs, error);
    return;
  }
  ReportStatus(state, SERVICE_RUNNING, kStartWaitHintMs);

  // The stop is carried out on this thread, which has nothing else to do:
  // it may wait for a Spooler that takes a minute to stop, far longer than
  // the control manager gives a control handler.
  CancelReadsUntilTheStop(state);
  StopMonitoring(state);
  ReportServiceEvent<ServiceEvent::ServiceStopped>(state.shuttingDown.load()
                                                       ? L"Windows is shutting down"
                                                       : L"a stop was requested through the service control manager");
  ReportStatus(state, SERVICE_STOPPED, kStartWaitHintMs);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
  ServiceState& state = serviceState;
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      return RequestStop(state, control == SERVICE_CONTROL_SHUTDOWN);
    case SERVICE_CONTROL_DEVICEEVENT:
      // A stopping service no longer acts on devices: its threads are
      // finishing, and nothing is left to mirror the queue afterwards.
      if (!Stopping(state)) HandleDeviceEvent(eventType, eventData);
      break;
    default:
      break;
  }
  // The control manager takes NO_ERROR as "handled"; a failed report is
  // passed on with its error code.
  return ReportCurrentStatus(state);
}
