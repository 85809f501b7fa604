// What the control handler does when a USB device arrives or is removed.
#pragma once

#include <optional>
#include <string>

#include "platform/win32_api.h"

// The device interface path carried by a device-interface notification
// record, read no further than the record's own size. Nothing when the record
// is not a device-interface record or its name is not terminated within it.
std::optional<std::wstring> InterfacePathFromEvent(const void* eventData);

// How long after the printer's arrival the service keeps looking for its
// print interface and its port record.
inline constexpr DWORD kArrivalRecheckWindowMs = 30000;

// Run by the monitor thread each pass: re-binds the queue for a printer whose
// records appeared after its arrival, starts a spooler a re-binding left
// stopping, and marks the queue offline when the unplug could not.
void RecheckPendingArrival();

// Handles one SERVICE_CONTROL_DEVICEEVENT: re-binds the queue and asks for a
// reopen when the printer arrives, marks the queue offline when it leaves.
void HandleDeviceEvent(DWORD eventType, const void* eventData);
