// The smallest service, built as spoolsync.exe is (same toolchain, static
// runtime, same flags), to measure the footprint spoolsync adds: it reports
// RUNNING, waits for the stop control and reports STOPPED.
#include "common/unique_resource.h"
#include "platform/win32_api.h"

namespace {

wchar_t kName[] = L"spoolsyncMinimal";
SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
UniqueHandle gStopEvent;

void Report(DWORD state) {
  SERVICE_STATUS status = {};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  SetServiceStatus(gStatusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) SetEvent(gStopEvent.Get());
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  gStatusHandle = RegisterServiceCtrlHandlerExW(kName, Handler, nullptr);
  if (gStatusHandle == nullptr) return;
  gStopEvent.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Report(SERVICE_RUNNING);
  WaitForSingleObject(gStopEvent.Get(), INFINITE);
  gStopEvent.Reset();
  Report(SERVICE_STOPPED);
}

}  // namespace

int main() {
  SERVICE_TABLE_ENTRYW table[] = {{kName, ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
