// Keeping the queue bound to the USB port its printer sits on.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32_api.h"

// Number of times a port write is tried before the re-binding gives up.
inline constexpr int kPortWriteAttempts = 21;
// Pauses around the spooler restart, in milliseconds.
inline constexpr DWORD kSpoolerStopPauseMs = 300;
inline constexpr DWORD kSpoolerStartPauseMs = 300;
inline constexpr DWORD kSpoolerSettlePauseMs = 1000;
// After the stop request, and after the start request, the spooler's state
// is polled this often until it has stopped, or runs, for at most these
// bounds, measured on the clock from the request (the pause included). The
// re-binding runs inside the control handler, which the control manager
// gives 30 s: with control-manager calls of 500 ms each (13 of them), all
// waits, calls and pauses of the restart come to at most
// 6,000 + 6,000 + 13 x 500 + 2 x 100 + 1,000 = 19,700 ms.
inline constexpr DWORD kSpoolerPollMs = 100;
inline constexpr DWORD kSpoolerStopTimeoutMs = 6000;
inline constexpr DWORD kSpoolerStartTimeoutMs = 6000;

// The spooler's ports whose names contain "USB" (case-sensitive), in the
// spooler's order; nothing when the ports cannot be listed (the Spooler is
// not running), which is not the same as a list without a USB port.
std::optional<std::vector<std::wstring>> ListUsbPorts();
// The same, empty when the ports cannot be listed.
std::vector<std::wstring> EnumerateUsbPorts();

// The device instance id in a device interface path:
// \\?\USB#VID_0483&PID_5741#ABC123#{...} gives USB\VID_0483&PID_5741\ABC123.
// Empty when the path has no "#" or is too short to hold the "\\?\" prefix.
std::wstring DeviceInstanceIdFromPath(std::wstring_view path);

// The first of `ports` whose USB monitor "Device Id" is the device's instance
// id (compared without regard to case), or an empty string.
std::wstring FindUsbPortForDevice(const std::vector<std::wstring>& ports, std::wstring_view path);

// How a start of the Spooler ended.
enum class SpoolerRestart {
  Done,       // started (or starting), or not needed
  StartOwed,  // the spooler it stopped is not running again yet (still stopping,
              // or the control manager could not start it): start it later
  NotBack,    // refused for good, or stopped again: left to the administrator
              // (error 302 written)
};

// What writing a port into the queue did.
struct PortChange {
  // The queue has the new port.
  bool written = false;
  // The Spooler refused to stop with this error (a service that depends on
  // it runs): the new port waits for its next restart.
  DWORD stopRefused = ERROR_SUCCESS;
  // How the Spooler's start ended.
  SpoolerRestart restart = SpoolerRestart::Done;
};

// The two halves of the spooler restart, with failures written to the
// debugger channel. Once `abandon` (an event: the service is stopping) is
// signalled, their waits end and they make no new request of the Spooler: a
// start the restart then owes is left to the caller.
// StopSpooler asks the Spooler service to stop and waits (bounded) until it
// has; it returns whether the Spooler took the request, and gives the error
// of a refused request in `refusal`.
// StartSpooler starts a stopped Spooler and, with `waitUntilRunning`, waits
// (bounded) until it reports RUNNING and gives it time to settle. A Spooler
// that runs, or is starting, is left alone; one still stopping is reported as
// StartOwed (and logged, unless `quietWhileStopping`: the caller is trying
// again), and so is one that could not be started when `stoppedByUs` (the
// service never leaves a Spooler it stopped stopped) and the failure may pass
// (the control manager could not be reached, its database was locked).
bool StopSpooler(HANDLE abandon = nullptr, DWORD* refusal = nullptr);
SpoolerRestart StartSpooler(bool waitUntilRunning = true, bool stoppedByUs = false, HANDLE abandon = nullptr,
                            bool quietWhileStopping = false);

// Whether the Spooler service reports RUNNING; false too once `abandon` is
// signalled (each call may take as long as the control manager does).
bool SpoolerRunning(HANDLE abandon = nullptr);

// Writes `port` into the queue and restarts the spooler so that the change
// takes effect. An empty port is refused. When the spooler rejects every
// write, the spooler is left alone. A spooler that refuses to stop (a
// service that depends on it runs) keeps running with the new port.
PortChange SetPrinterPortAndRestartSpooler(const std::wstring& port, HANDLE abandon = nullptr);
