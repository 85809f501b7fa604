#include "service/service_main.h"

#include "common/diagnostics.h"
#include "common/model.h"
#include "monitor/status_monitor.h"
#include "service/device_events.h"
#include "service/service_state.h"
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

// Ends the monitor thread (it closes the device on its way out) and stops
// the device notifications. A monitor thread stuck in a read is given a
// bounded time; the process ends it if it has not finished by then.
void StopMonitoring(ServiceState& state) {
  if (state.stopEvent) SetEvent(state.stopEvent.Get());
  bool monitorEnded = true;
  if (state.monitorThread) {
    monitorEnded = WaitForSingleObject(state.monitorThread.Get(), kMonitorStopTimeoutMs) == WAIT_OBJECT_0;
    if (!monitorEnded) {
      DebugLog(" Monitor thread did not stop within %u ms\n", static_cast<unsigned>(kMonitorStopTimeoutMs));
    }
    state.monitorThread.Reset();
  }
  // A monitor thread that is still running may still wait on the event.
  if (monitorEnded) state.stopEvent.Reset();
  state.notifyHandle.Reset();
}

}  // namespace

int RunServiceProcess() {
  wchar_t serviceName[] = L"testserviceQ5M2K9";
  static_assert(sizeof serviceName == sizeof kDispatchServiceName);
  const SERVICE_TABLE_ENTRYW dispatchTable[] = {{serviceName, ServiceMain}, {nullptr, nullptr}};
  StartServiceCtrlDispatcherW(dispatchTable);
  DebugLog(" MainError:%d\n", static_cast<int>(GetLastError()));
  return 0;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  ServiceState& state = serviceState;
  // Probe: produces the open-failure diagnostics when the queue is missing.
  GetPrinterHandle();
  state.currentPort = GetPrinterPort();

  state.serviceStatus = {};
  state.serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  state.serviceStatus.dwCurrentState = SERVICE_START_PENDING;
  state.serviceStatus.dwControlsAccepted = kControlsAccepted;
  state.serviceStatus.dwWaitHint = kStartWaitHintMs;

  // The stop event exists before any control can arrive.
  state.stopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  state.statusHandle = RegisterServiceCtrlHandlerExW(kHandlerServiceName, ServiceControlHandler, nullptr);
  RegisterForUsbArrivals(state);

  state.serviceStatus.dwCurrentState = SERVICE_RUNNING;
  SetServiceStatus(state.statusHandle, &state.serviceStatus);
  state.monitorThread.Reset(CreateThread(nullptr, 0, StatusMonitorThread, nullptr, 0, nullptr));
}

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
  ServiceState& state = serviceState;
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      StopMonitoring(state);
      state.serviceStatus.dwCurrentState = SERVICE_STOPPED;
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
