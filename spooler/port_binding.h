// Keeping the queue bound to the USB port its printer sits on.
#pragma once

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
// While the spooler stops, its state is polled this often, for at most this long.
inline constexpr DWORD kSpoolerStopPollMs = 100;
inline constexpr DWORD kSpoolerStopTimeoutMs = 30000;

// The spooler's ports whose names contain "USB" (case-sensitive), in the
// spooler's order. Empty when the ports cannot be listed.
std::vector<std::wstring> EnumerateUsbPorts();

// The device instance id in a device interface path:
// \\?\USB#VID_0483&PID_5741#ABC123#{...} gives USB\VID_0483&PID_5741\ABC123.
// Empty when the path has no "#" or is too short to hold the "\\?\" prefix.
std::wstring DeviceInstanceIdFromPath(std::wstring_view path);

// The first of `ports` whose USB monitor "Device Id" is the device's instance
// id (compared without regard to case), or an empty string.
std::wstring FindUsbPortForDevice(const std::vector<std::wstring>& ports, std::wstring_view path);

// The two halves of the spooler restart: ask the Spooler service to stop and
// wait (bounded) until it has; start it and give it time to settle. Failures
// are written to the debugger channel.
void StopSpooler();
void StartSpooler();

// Writes `port` into the queue and restarts the spooler so that the change
// takes effect. An empty port is refused. When the spooler rejects every
// write, the spooler is left alone.
void SetPrinterPortAndRestartSpooler(const std::wstring& port);
