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
// While a stop waits for the monitor thread, it reports STOP_PENDING with
// this hint and a new check point every kStopCheckPointMs; a normal stop
// waits as long as the monitor thread needs (it may owe a slow Spooler its
// start), a shutdown at most kShutdownStopMs (the machine is going down).
inline constexpr DWORD kStopWaitHintMs = 5000;
inline constexpr DWORD kStopCheckPointMs = 1000;
inline constexpr DWORD kShutdownStopMs = 3000;
// How often a read in progress is cancelled while the stop waits: the
// monitor thread may only enter its read after the first cancel.
inline constexpr DWORD kStopPollMs = 100;

// The body of the process entry: connects to the service control manager and
// returns when the service has stopped (at once when the process was not
// started as a service). Always returns 0.
int RunServiceProcess();

// Sets the service up, reports it running, then waits for a stop and carries
// it out: the control handler only asks for it, since a stop may wait longer
// than a handler may take.
void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);
