// What the control handler does when a USB device arrives or is removed.
#pragma once

#include <optional>
#include <string>

#include "platform/win32_api.h"

// The device interface path carried by a device-interface notification
// record, read no further than the record's own size. Nothing when the record
// is not a device-interface record or its name is not terminated within it.
std::optional<std::wstring> InterfacePathFromEvent(const void* eventData);

// Handles one SERVICE_CONTROL_DEVICEEVENT: re-binds the queue and asks for a
// reopen when the printer arrives, marks the queue offline when it leaves.
void HandleDeviceEvent(DWORD eventType, const void* eventData);
