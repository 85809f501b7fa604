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
// How long a stop waits for the monitor thread to finish its pass. The pass
// can be a re-binding (at most 17.6 s of spooler waits), so the bound covers
// it and the whole stop stays within the control manager's 30 s.
inline constexpr DWORD kMonitorStopTimeoutMs = 20000;
// While it waits, the stop reports STOP_PENDING with this hint, and a new
// check point every kStopCheckPointMs.
inline constexpr DWORD kStopWaitHintMs = 22000;
inline constexpr DWORD kStopCheckPointMs = 1000;
// How long the stop waits for a spooler a re-binding left stopping, to start
// it again before the process ends. With the monitor thread's bound, the
// stop stays within the control manager's 30 s.
inline constexpr DWORD kOwedSpoolerStartWaitMs = 8000;
// How often a read in progress is cancelled while the stop waits: the
// monitor thread may only enter its read after the first cancel.
inline constexpr DWORD kStopPollMs = 100;

// The body of the process entry: connects to the service control manager and
// returns when the service has stopped (at once when the process was not
// started as a service). Always returns 0.
int RunServiceProcess();

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
