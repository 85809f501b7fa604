// USB devices arriving and going: what the control handler records of them,
// and what the monitor thread then does (the re-binding, kept for another
// look while the printer's records are missing; the offline status; the
// Spooler start a re-binding owes).
#pragma once

#include <optional>
#include <string>
#include <vector>

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

// ---- The control handler's part.

// One SERVICE_CONTROL_DEVICEEVENT: an arrival or a removal is queued for the
// monitor thread, which is woken. Nothing else: no queue command, no port
// listing, no Spooler call. A removal's device is asked whether it is the
// model's printer now, while its print interface's entries are still there.
void HandleDeviceEvent(DWORD eventType, const void* eventData);

// ---- The monitor thread's part.

// What the device events and re-checks of one pass leave for the rest of it.
struct DeviceWork {
  // The printer is to be looked for and opened again.
  bool reopen = false;
  // The queue is to be resumed unless the status rules run on a fresh
  // record in this pass: a re-binding moved it, or its printer arrived with
  // no port recording it.
  bool resume = false;
  // Devices with the model's USB numbers looked at in this pass.
  std::vector<std::wstring> looked;
  // Printers that arrived and whose queue is now on their port: they are
  // back once they are opened.
  std::vector<std::wstring> bound;
};

// Takes the queued device events and handles them in order (a removal of the
// printer: the device closed and the queue offline; an arrival: a reopen
// asked for and, for the model's printer, the re-binding), then any queued
// meanwhile. Once a stop is asked for, only removals are handled.
void HandleDeviceEvents(ServiceState& state, DeviceWork& work);

// Whether device events wait to be taken.
bool DeviceEventsWaiting(ServiceState& state);

// Looks again at the printers whose records were missing at their arrival,
// and re-binds the queue once they are there. Stops once a stop is asked
// for.
void RecheckPendingArrivals(ServiceState& state, DeviceWork& work);

// The printer at `path` was found, and `opened` or not (another program holds
// it). A printer opened that arrived in this pass and whose queue is on its
// port is back. At the `start`, unless an arrival was looked at (or one
// waits for its records), its port is checked as at an arrival: a printer
// moved while the service was not running, or before it listened for
// arrivals, brings no arrival. Later reopens follow another device's
// arrival: the printer's own arrivals were looked at, and the queue follows
// the one that arrived last, not the one found first.
void PrinterFound(ServiceState& state, const std::wstring& path, bool opened, bool start, DeviceWork& work);

// At the start: a device with the model's USB numbers whose print interface
// is not known yet (its driver registers it after the service started, as at
// boot) is looked at again as an arrival would be.
void RememberPresentDevices(ServiceState& state);

// Says when the Spooler runs again after it did not come back.
void WatchSpoolerNotBack(ServiceState& state);

// While the printer is unplugged, keeps its queue paused and offline: sends
// again what the unplug could not (the Spooler was down), until it reaches
// the queue, and what a Spooler restarted since forgot.
void KeepQueueOffline(ServiceState& state);

// The printer is back (recognised, or opened): its queue is no longer kept
// offline.
void PrinterIsBack(ServiceState& state);

// Makes the Spooler start a re-binding owes, once the Spooler has stopped:
// one try each pass; on the monitor thread's way out (`leaving`), tries until
// it is made, since a stop must not leave the Spooler stopped, unless the
// machine is shutting down.
void StartOwedSpooler(ServiceState& state, bool leaving);
