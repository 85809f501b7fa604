// The service shell: process entry, service main function and control
// handler.
#pragma once

#include "platform/win32_api.h"

// Name in the dispatch table, and name the control handler is registered
// under.
inline constexpr wchar_t kDispatchServiceName[] = L"testserviceQ5M2K9";
inline constexpr wchar_t kHandlerServiceName[] = L"testservice";

// Status values the service reports besides the state.
inline constexpr DWORD kControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
inline constexpr DWORD kStartWaitHintMs = 60000;
// How long a stop waits for the monitor thread to finish its pass.
inline constexpr DWORD kMonitorStopTimeoutMs = 10000;

// The body of the process entry: connects to the service control manager and
// returns when the service has stopped (at once when the process was not
// started as a service). Always returns 0.
int RunServiceProcess();

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
