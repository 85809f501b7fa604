#include "service/service_main.h"

#include "common/diagnostics.h"
#include "common/event_log.h"
#include "common/model.h"
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

void ReportStopPending(ServiceState& state) {
  state.serviceStatus.dwCurrentState = SERVICE_STOP_PENDING;
  state.serviceStatus.dwWaitHint = kStopWaitHintMs;
  ++state.serviceStatus.dwCheckPoint;
  SetServiceStatus(state.statusHandle, &state.serviceStatus);
}

// Waits for the monitor thread to end, cancelling a status read it may be
// blocked in. Returns whether it ended within the bound.
bool WaitForMonitorThread(ServiceState& state) {
  const HANDLE thread = state.monitorThread.Get();
  for (DWORD waited = 0, reported = 0;; waited += kStopPollMs) {
    CancelSynchronousIo(thread);
    if (WaitForSingleObject(thread, kStopPollMs) != WAIT_TIMEOUT) return true;
    if (waited >= kMonitorStopTimeoutMs) return false;
    if (waited - reported >= kStopCheckPointMs) {
      reported = waited;
      ReportStopPending(state);
    }
  }
}

// A re-binding that left the spooler stopping owes it a start, which the
// monitor thread would have made; the process is about to end, so the stop
// makes it, waiting a bounded time for the spooler to have stopped.
void StartOwedSpooler(ServiceState& state) {
  for (DWORD waited = 0, reported = 0; state.spoolerStartOwed.load(); waited += kStopPollMs) {
    if (StartSpoolerOnceStopped()) {
      state.spoolerStartOwed = false;
      return;
    }
    if (waited >= kOwedSpoolerStartWaitMs) {
      DebugLog(" Spooler still stopping after %u ms: not started\n", static_cast<unsigned>(kOwedSpoolerStartWaitMs));
      return;
    }
    Sleep(kStopPollMs);
    if (waited - reported >= kStopCheckPointMs) {
      reported = waited;
      ReportStopPending(state);
    }
  }
}

// Ends the monitor thread (it closes the device on its way out) and stops
// the device notifications. A monitor thread that does not end within the
// bound keeps everything it may still use: the process then ends without
// closing it.
void StopMonitoring(ServiceState& state) {
  ReportStopPending(state);
  if (state.stopEvent) SetEvent(state.stopEvent.Get());
  if (state.monitorThread) {
    if (!WaitForMonitorThread(state)) {
      DebugLog(" Monitor thread did not stop within %u ms\n", static_cast<unsigned>(kMonitorStopTimeoutMs));
      state.notifyHandle.Reset();
      return;
    }
    state.monitorThread.Reset();
  }
  state.stopEvent.Reset();
  state.notifyHandle.Reset();
  StartOwedSpooler(state);
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

// Whether the monitor thread outlived the stop.
bool MonitorThreadStillRunning() {
  const HANDLE thread = serviceState.monitorThread.Get();
  return serviceState.monitorThread && WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
}

}  // namespace

int RunServiceProcess() {
  wchar_t serviceName[] = L"testserviceQ5M2K9";
  static_assert(sizeof serviceName == sizeof kDispatchServiceName);
  const SERVICE_TABLE_ENTRYW dispatchTable[] = {{serviceName, ServiceMain}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(dispatchTable);
  DebugLog(" MainError:%d\n", static_cast<int>(GetLastError()));
  // The service has reported STOPPED (or never ran): its event source goes.
  CloseServiceEventLog();
  // A monitor thread that outlived the stop may still use the state's
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
  state.currentPort = GetPrinterPort();
  ReportServiceStarted(state.currentPort, LastQueueError());

  state.serviceStatus = {};
  state.serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  state.serviceStatus.dwCurrentState = SERVICE_START_PENDING;
  state.serviceStatus.dwControlsAccepted = kControlsAccepted;
  state.serviceStatus.dwWaitHint = kStartWaitHintMs;

  // The stop event exists before any control can arrive.
  state.stopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  state.statusHandle = RegisterServiceCtrlHandlerExW(kHandlerServiceName, ServiceControlHandler, nullptr);
  RegisterForUsbArrivals(state);

  // The monitor thread exists before RUNNING is reported: only then can a
  // stop arrive, and the stop reads the thread's handle.
  state.monitorThread.Reset(CreateThread(nullptr, 0, StatusMonitorThread, nullptr, 0, nullptr));
  state.serviceStatus.dwCurrentState = SERVICE_RUNNING;
  SetServiceStatus(state.statusHandle, &state.serviceStatus);
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
  ServiceState& state = serviceState;
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      // A second stop while the first is under way has nothing left to do.
      if (state.serviceStatus.dwCurrentState == SERVICE_STOP_PENDING) break;
      StopMonitoring(state);
      ReportServiceEvent<ServiceEvent::ServiceStopped>(
          control == SERVICE_CONTROL_SHUTDOWN ? L"Windows is shutting down"
                                              : L"a stop was requested through the service control manager");
      state.serviceStatus.dwCurrentState = SERVICE_STOPPED;
      state.serviceStatus.dwCheckPoint = 0;
      state.serviceStatus.dwWaitHint = kStartWaitHintMs;
      break;
    case SERVICE_CONTROL_DEVICEEVENT:
      HandleDeviceEvent(eventType, eventData);
      break;
    default:
      break;
  }
  // The control manager takes NO_ERROR as "handled"; a failed report is
  // passed on with its error code.
  return SetServiceStatus(state.statusHandle, &state.serviceStatus) ? static_cast<DWORD>(NO_ERROR) : GetLastError();
}
