// What the control handler does when a USB device arrives or is removed, and
// what of it the monitor thread finishes: a re-binding that had to wait for
// the printer's records, a Spooler start, an offline status.
#pragma once

#include <optional>
#include <string>

#include "platform/win32_api.h"

struct ServiceState;

// The device interface path carried by a device-interface notification
// record, read no further than the record's own size. Nothing when the record
// is not a device-interface record or its name is not terminated within it.
std::optional<std::wstring> InterfacePathFromEvent(const void* eventData);

// How long after the printer's arrival, or after the Spooler last could not
// list its ports, the service keeps looking for the printer's print interface
// and its port record.
inline constexpr DWORD kArrivalRecheckWindowMs = 30000;
// How often the monitor thread, on its way out, tries again to start a
// Spooler it owes a start.
inline constexpr DWORD kOwedStartRetryMs = 1000;

// Handles one SERVICE_CONTROL_DEVICEEVENT: re-binds the queue and asks for a
// reopen when the printer arrives, marks the queue offline when it leaves.
void HandleDeviceEvent(DWORD eventType, const void* eventData);

// ---- Run by the monitor thread, each pass.

// Looks again at the printers whose records were missing at their arrival,
// or whose re-binding had to wait, and re-binds the queue once they are
// there. Stops looking once a stop is asked for.
void RecheckPendingArrivals(ServiceState& state);

// Sends the pause and offline status an unplug could not (the Spooler was
// down), until they reach the queue or the printer is back.
void SendOwedOffline(ServiceState& state);

// Makes the Spooler start a re-binding owes, once the Spooler has stopped:
// one try each pass; on the monitor thread's way out (`leaving`), tries until
// it is made, since a stop must not leave the Spooler stopped, unless the
// machine is shutting down.
void StartOwedSpooler(ServiceState& state, bool leaving);
