#include "service/device_events.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "common/diagnostics.h"
#include "common/event_log.h"
#include "common/model.h"
#include "common/scoped_lock.h"
#include "common/wide_text.h"
#include "device/device_discovery.h"
#include "service/service_state.h"
#include "spooler/port_binding.h"
#include "spooler/printer_queue.h"

namespace {

// A path the device checks can work with: a USB device interface path always
// has "#" between its parts.
bool IsModelDevicePath(const std::wstring& path) {
  return path.find(L'#') != std::wstring::npos && IsModelDevice(path);
}

// A device with the model's USB numbers whose path the device checks can
// work with, whether or not its print interface is known yet.
bool CarriesModelUsbNumbers(const std::wstring& path) {
  return path.find(L'#') != std::wstring::npos && HasModelUsbNumbers(path);
}

// An offline status that reached the queue, or a queue that does not exist
// to show it: nothing is owed.
bool OfflineSettled(DWORD error) { return error == ERROR_SUCCESS || error == ERROR_INVALID_PRINTER_NAME; }

// Sends the unplugged printer's pause and offline status; warning 204 once
// when they do not reach the queue, 131 once they do after it.
void SendOffline(ServiceState& state) {
  const DWORD error = SetPrinterErrorStatus(kStatusOffline);
  if (OfflineSettled(error)) {
    if (std::exchange(state.offlineOwed, false) && error == ERROR_SUCCESS) {
      ReportServiceEvent<ServiceEvent::OfflineSet>();
    }
    return;
  }
  if (!std::exchange(state.offlineOwed, true)) {
    ReportServiceEvent<ServiceEvent::OfflineNotSet>(std::to_wstring(error), Win32ErrorText(error));
  }
}

// ---- The control handler's part.

void QueueDeviceEvent(ServiceState& state, DeviceEvent event) {
  const ExclusiveLock hold(state.eventLock);
  if (state.deviceEvents.size() == kMaxQueuedDeviceEvents) {
    DebugLog(" Device events dropped: too many waiting\n");
    state.deviceEvents.erase(state.deviceEvents.begin());
  }
  state.deviceEvents.push_back(std::move(event));
  SetEvent(state.wakeEvent.Get());
}

// ---- Re-binding, on the monitor thread.

enum class Binding {
  Bound,           // the queue is on the printer's port (moved there if need be),
                   // or moving it failed for good (an error entry says so)
  NotRecognised,   // no print interface reports a name (yet)
  OtherModel,      // its print interface reports another model: not our printer
  NoPortRecorded,  // no USB port records the printer (yet)
  PortsUnknown,    // the Spooler cannot list its ports now
  Stopping,        // a stop was asked for: no re-binding starts
};

// Why the printer's port is looked at.
enum class Look {
  Arrival,  // it arrived
  Again,    // its records were missing, and are looked for again
  Opened,   // it was opened without an arrival telling of it
};

// The last sentence of entry 120: what the Spooler did after the port was
// written.
std::wstring HowTheSpoolerTookIt(const PortChange& change) {
  if (change.stopRefused != ERROR_SUCCESS) {
    return L"The Spooler service refused to stop (warning 201): the change takes effect when it restarts.";
  }
  switch (change.restart) {
    case SpoolerRestart::StartOwed:
      return L"The Spooler service was still stopping (warning 202): it is started as soon as it has stopped.";
    case SpoolerRestart::NotBack:
      return L"The Spooler service was stopped for the change and did not come back (error 302).";
    case SpoolerRestart::Done:
      break;
  }
  return L"The Spooler service was restarted for the change to take effect.";
}

// Puts the queue on the port that records the printer at `arrival.path` and
// restarts the Spooler when the port changes. Leaves the error of a port
// listing that failed in `arrival.portsError`.
Binding BindQueueToPrinter(ServiceState& state, PendingArrival& arrival, Look look, DeviceWork& work) {
  work.looked.push_back(arrival.path);
  switch (ReadPrintInterface(arrival.path)) {
    case PrintInterface::Unknown:
      return Binding::NotRecognised;
    case PrintInterface::OtherModel:
      return Binding::OtherModel;
    case PrintInterface::Model:
      break;
  }
  // The printer is back: the queue is no longer kept offline.
  PrinterIsBack(state);
  if (StopRequested(state)) return Binding::Stopping;
  // Ports that cannot be listed (the Spooler is down) record nothing yet.
  // Each lasting condition is logged at the arrival, not at each look again.
  const auto ports = ListUsbPorts();
  arrival.portsError = ports ? ERROR_SUCCESS : GetLastError();
  if (!ports) {
    if (look == Look::Again) return Binding::PortsUnknown;
    DebugLog(" USB ports cannot be listed:%d\n", static_cast<int>(arrival.portsError));
  }
  const std::wstring found = ports ? FindUsbPortForDevice(*ports, arrival.path) : std::wstring();
  const std::wstring currentPort = GetPrinterPort();
  // Each of these calls may take as long as the Spooler does to answer.
  if (StopRequested(state)) return Binding::Stopping;
  // Once per arrival: when its queue is on its port, and it is opened.
  const auto bound = [&] {
    if (look != Look::Opened && arrival.arrived) work.bound.push_back(arrival.path);
    return Binding::Bound;
  };
  if (found.empty()) {
    if (ports && look != Look::Again) DebugLog(" No USB port records the device\n");
    // An empty port is never written into the queue, but at the arrival the
    // queue is still brought back as after a re-binding: its port read again
    // and resumed, unless the status rules show the printer's state in this
    // pass. Looking again does not repeat that: the status rules own the
    // queue meanwhile.
    if (look != Look::Again && !currentPort.empty()) {
      static_cast<void>(GetPrinterPort());
      work.resume = true;
    }
    return ports ? Binding::NoPortRecorded : Binding::PortsUnknown;
  }
  if (NamesEqual(found, currentPort)) return bound();
  // A stop asked for meanwhile cuts the restart short; the start the Spooler
  // may then be owed is made on the monitor thread's way out, and a stopping
  // service leaves the queue as it is.
  const PortChange change = SetPrinterPortAndRestartSpooler(found, state.stopEvent.Get());
  if (change.restart == SpoolerRestart::StartOwed && !std::exchange(state.spoolerStartOwed, true)) {
    ReportServiceEvent<ServiceEvent::SpoolerStartOwed>();
  }
  if (change.restart == SpoolerRestart::NotBack) state.spoolerNotBack = true;
  // Every move the queue made, whatever the Spooler did after it.
  if (change.written) {
    ReportServiceEvent<ServiceEvent::QueueRebound>(currentPort, found, HowTheSpoolerTookIt(change));
  }
  if (StopRequested(state)) return Binding::Bound;
  work.resume = true;
  // A port write that failed for good was reported (300 or 301): the
  // arrival is settled, but its queue is not set right.
  return change.written ? bound() : Binding::Bound;
}

// ---- Arrivals looked at again.

std::vector<PendingArrival>::iterator FindPending(ServiceState& state, const std::wstring& path) {
  return std::find_if(state.pendingArrivals.begin(), state.pendingArrivals.end(),
                      [&](const PendingArrival& p) { return NamesEqual(p.path, path); });
}

void ForgetPending(ServiceState& state, const std::wstring& path) {
  if (const auto it = FindPending(state, path); it != state.pendingArrivals.end()) state.pendingArrivals.erase(it);
}

// Another device with the same USB numbers arriving meanwhile (another
// printer on the same chip) does not make the service forget the first.
void RememberPending(ServiceState& state, const PendingArrival& arrival) {
  ForgetPending(state, arrival.path);
  if (state.pendingArrivals.size() == kMaxPendingArrivals) state.pendingArrivals.erase(state.pendingArrivals.begin());
  state.pendingArrivals.push_back(arrival);
}

bool LookedAt(const DeviceWork& work, const std::wstring& path) {
  return std::any_of(work.looked.begin(), work.looked.end(),
                     [&](const std::wstring& p) { return NamesEqual(p, path); });
}

// Whether a look that ended with `binding` leaves the arrival for another.
bool LooksAgain(Binding binding) {
  return binding == Binding::NotRecognised || binding == Binding::NoPortRecorded || binding == Binding::PortsUnknown;
}

// Keeps `arrival` for another look unless `binding` settled it.
void KeepUnlessSettled(ServiceState& state, PendingArrival arrival, Binding binding) {
  if (!LooksAgain(binding)) return;
  arrival.recognised = binding != Binding::NotRecognised;
  RememberPending(state, arrival);
}

// ---- The events.

void HandleArrival(ServiceState& state, const std::wstring& path, DWORD arrivedAt, DeviceWork& work) {
  // Any USB arrival asks for a reopen: the printer may be back.
  work.reopen = true;
  if (!CarriesModelUsbNumbers(path)) return;
  // The printer class driver registers the print interface, and the USB port
  // monitor records the port, after the device itself arrives: when either
  // is missing yet, the arrival is looked at again each pass.
  PendingArrival arrival{path, arrivedAt, false, ERROR_SUCCESS, true};
  ForgetPending(state, path);
  const Binding binding = BindQueueToPrinter(state, arrival, Look::Arrival, work);
  // The queue follows the printer that arrived last: those that arrived
  // before it and still wait for their records are not followed any more.
  if (binding == Binding::Bound) state.pendingArrivals.clear();
  KeepUnlessSettled(state, arrival, binding);
}

void HandleRemoval(ServiceState& state, const DeviceEvent& event, DeviceWork& work) {
  ForgetPending(state, event.path);
  if (!event.modelPrinter) return;
  // What the printer that has gone reported is mirrored no more, and a
  // resume owed to its arrival is not sent.
  state.deviceHandle.Reset();
  state.statusRecord.reset();
  work.resume = false;
  state.printerGone = true;
  const DWORD error = SetPrinterErrorStatus(kStatusOffline);
  ReportServiceEvent<ServiceEvent::PrinterUnplugged>(event.path);
  // Once until it clears, however many passes try again.
  if (!OfflineSettled(error) && !std::exchange(state.offlineOwed, true)) {
    ReportServiceEvent<ServiceEvent::OfflineNotSet>(std::to_wstring(error), Win32ErrorText(error));
  }
}

// The events queued so far; the wake event is reset with them, unless the
// stop keeps it signalled.
std::vector<DeviceEvent> TakeDeviceEvents(ServiceState& state) {
  const ExclusiveLock hold(state.eventLock);
  std::vector<DeviceEvent> events;
  events.swap(state.deviceEvents);
  if (!StopRequested(state)) ResetEvent(state.wakeEvent.Get());
  return events;
}

}  // namespace

std::optional<std::wstring> InterfacePathFromEvent(const void* eventData) {
  if (eventData == nullptr) return std::nullopt;
  const auto* bytes = static_cast<const BYTE*>(eventData);
  DEV_BROADCAST_HDR header;
  std::memcpy(&header, bytes, sizeof header);
  constexpr std::size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
  if (header.dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE || header.dbch_size <= kNameOffset) return std::nullopt;

  const std::size_t capacity = (header.dbch_size - kNameOffset) / sizeof(wchar_t);
  std::wstring path;
  for (std::size_t i = 0; i < capacity; ++i) {
    wchar_t c;
    std::memcpy(&c, bytes + kNameOffset + i * sizeof(wchar_t), sizeof c);
    if (c == L'\0') return path;
    path.push_back(c);
  }
  return std::nullopt;  // not terminated within the record
}

void HandleDeviceEvent(DWORD eventType, const void* eventData) {
  if (eventType != DBT_DEVICEARRIVAL && eventType != DBT_DEVICEREMOVECOMPLETE) return;
  std::optional<std::wstring> path = InterfacePathFromEvent(eventData);
  DeviceEvent event;
  event.at = GetTickCount();
  if (eventType == DBT_DEVICEREMOVECOMPLETE) {
    // A removal without a readable path names no device to forget.
    if (!path) return;
    event.kind = DeviceEvent::Kind::Removal;
    event.modelPrinter = IsModelDevicePath(*path);
  }
  // An arrival asks for a reopen even when its record cannot be read: the
  // printer may be back.
  if (path) event.path = std::move(*path);
  QueueDeviceEvent(serviceState, std::move(event));
}

void HandleDeviceEvents(ServiceState& state, DeviceWork& work) {
  for (;;) {
    const std::vector<DeviceEvent> events = TakeDeviceEvents(state);
    if (events.empty()) return;
    for (const DeviceEvent& event : events) {
      // A stopping service re-binds no more, but a printer unplugged before
      // the stop still leaves its queue offline; at a shutdown nothing is
      // sent: the machine is going down.
      if (StopRequested(state) && (event.kind == DeviceEvent::Kind::Arrival || state.shuttingDown.load())) continue;
      if (event.kind == DeviceEvent::Kind::Arrival) {
        HandleArrival(state, event.path, event.at, work);
      } else {
        HandleRemoval(state, event, work);
      }
    }
  }
}

bool DeviceEventsWaiting(ServiceState& state) {
  const ExclusiveLock hold(state.eventLock);
  return !state.deviceEvents.empty();
}

// Gives up on an arrival whose window has passed: error 300 when the
// Spooler's ports could not be listed at its last look, else 203.
void GiveUp(const PendingArrival& p) {
  if (p.portsError != ERROR_SUCCESS) {
    // The Spooler ran all along but would not list its ports.
    ReportServiceEvent<ServiceEvent::RebindFailed>(
        L"(unknown: the Spooler's ports could not be listed for the printer " + p.path + L")",
        std::to_wstring(p.portsError), Win32ErrorText(p.portsError));
    return;
  }
  DebugLog(" Printer records did not appear within %u ms\n", static_cast<unsigned>(kArrivalRecheckWindowMs));
  ReportServiceEvent<ServiceEvent::PrinterRecordsLate>(p.path, std::to_wstring(kArrivalRecheckWindowMs / 1000));
}

void RecheckPendingArrivals(ServiceState& state, DeviceWork& work) {
  for (std::size_t i = 0; i < state.pendingArrivals.size();) {
    if (StopRequested(state)) return;
    PendingArrival& arrival = state.pendingArrivals[i];
    // An arrival handled in this pass is looked at again in the next.
    if (LookedAt(work, arrival.path)) {
      ++i;
      continue;
    }
    // A last look before giving up: the pass may have waited long (a read
    // that hung) since the one before.
    const Binding binding = BindQueueToPrinter(state, arrival, Look::Again, work);
    // The printer is opened once it is recognised, even while its port
    // record is still missing.
    if (binding == Binding::Bound || (binding != Binding::NotRecognised && !arrival.recognised)) work.reopen = true;
    if (binding == Binding::Stopping) return;
    if (binding == Binding::Bound) {
      // It and those that arrived before it are settled: the queue follows
      // the printer that arrived last.
      state.pendingArrivals.erase(state.pendingArrivals.begin(), state.pendingArrivals.begin() + i + 1);
      i = 0;
      continue;
    }
    if (!LooksAgain(binding)) {
      state.pendingArrivals.erase(state.pendingArrivals.begin() + i);
      continue;
    }
    arrival.recognised = binding != Binding::NotRecognised;
    // While the Spooler is down, nothing is known of the port record: the
    // window starts again once it runs. A Spooler that runs and will not
    // list its ports is not waited for beyond the window.
    if (StopRequested(state)) return;
    if (binding == Binding::PortsUnknown && !SpoolerRunning(state.stopEvent.Get())) arrival.since = GetTickCount();
    if (GetTickCount() - arrival.since > kArrivalRecheckWindowMs) {
      GiveUp(arrival);
      state.pendingArrivals.erase(state.pendingArrivals.begin() + i);
      continue;
    }
    ++i;
  }
}

void PrinterFound(ServiceState& state, const std::wstring& path, bool opened, bool start, DeviceWork& work) {
  for (const std::wstring& arrived : work.bound) {
    if (opened && NamesEqual(arrived, path)) ReportServiceEvent<ServiceEvent::PrinterBack>(arrived);
  }
  // A printer that arrived, in this pass or waiting for its records, is the
  // one the queue follows.
  if (!start || !work.looked.empty() || !state.pendingArrivals.empty()) return;
  PendingArrival present{path, GetTickCount(), true, ERROR_SUCCESS, false};
  KeepUnlessSettled(state, present, BindQueueToPrinter(state, present, Look::Opened, work));
}

void RememberPresentDevices(ServiceState& state) {
  for (const std::wstring& path : PresentModelUsbDevices()) {
    if (path.find(L'#') == std::wstring::npos || ReadPrintInterface(path) != PrintInterface::Unknown) continue;
    RememberPending(state, PendingArrival{path, GetTickCount(), false, ERROR_SUCCESS, false});
  }
}

void WatchSpoolerNotBack(ServiceState& state) {
  if (state.spoolerNotBack && SpoolerRunning(state.stopEvent.Get())) {
    state.spoolerNotBack = false;
    ReportServiceEvent<ServiceEvent::SpoolerBack>();
  }
}

void KeepQueueOffline(ServiceState& state) {
  if (!state.printerGone) return;
  if (state.offlineOwed) {
    SendOffline(state);
    return;
  }
  // A Spooler restarted since (by a re-binding, or by anyone) forgot the
  // status and kept the pause. The queue is looked at quietly: while the
  // Spooler is down, or the queue missing, there is nothing to set.
  const std::optional<DWORD> status = QueueStatus();
  constexpr DWORD kOffline = PRINTER_STATUS_PAUSED | kStatusOffline;
  if (status && (*status & kOffline) != kOffline && !StopRequested(state)) SendOffline(state);
}

void PrinterIsBack(ServiceState& state) {
  state.printerGone = false;
  state.offlineOwed = false;
}

void StartOwedSpooler(ServiceState& state, bool leaving) {
  while (state.spoolerStartOwed) {
    // The machine is going down: nothing is started on the way out.
    if (leaving && state.shuttingDown.load()) return;
    // A start tried during a pass gives way to a stop (each call may take as
    // long as the control manager does); the one on the way out is made.
    switch (StartSpooler(false, true, leaving ? nullptr : state.stopEvent.Get(), true)) {
      case SpoolerRestart::Done:
        state.spoolerStartOwed = false;
        ReportServiceEvent<ServiceEvent::SpoolerStarted>();
        return;
      case SpoolerRestart::NotBack:
        state.spoolerStartOwed = false;
        state.spoolerNotBack = true;
        return;
      case SpoolerRestart::StartOwed:
        break;
    }
    if (!leaving) return;
    Sleep(kOwedStartRetryMs);
  }
}
