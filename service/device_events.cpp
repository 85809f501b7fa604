#include "service/device_events.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

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
bool IsModelDevicePath(const std::optional<std::wstring>& path) {
  return path.has_value() && path->find(L'#') != std::wstring::npos && IsModelDevice(*path);
}

// A device with the model's USB numbers whose path the device checks can
// work with, whether or not its print interface is known yet.
bool CarriesModelUsbNumbers(const std::wstring& path) {
  return path.find(L'#') != std::wstring::npos && HasModelUsbNumbers(path);
}

// ---- The printer's presence, under the queue lock.

// An offline status that reached the queue, or a queue that does not exist
// to show it: nothing is owed.
bool OfflineSettled(DWORD error) { return error == ERROR_SUCCESS || error == ERROR_INVALID_PRINTER_NAME; }

// The printer that arrived with `arrival` is recognised: unless it was
// unplugged since, the queue's offline status is no longer owed.
void PrinterIsBack(ServiceState& state, const PendingArrival& arrival) {
  const ExclusiveLock hold(state.queueLock);
  if (state.removals.load() == arrival.removalsAt) state.offlineOwed = false;
}

// Resumes the queue after a re-binding, unless the printer was unplugged
// since it arrived: the queue of a printer that has gone stays offline.
void ResumeUnlessUnpluggedSince(ServiceState& state, const PendingArrival& arrival) {
  const ExclusiveLock hold(state.queueLock);
  if (state.removals.load() == arrival.removalsAt) ResumePrinter();
}

// ---- Re-binding.

enum class Binding {
  Bound,           // the queue is on the printer's port (moved there if need be)
  NotRecognised,   // no print interface reports the model name (yet)
  NoPortRecorded,  // no USB port records the printer (yet)
  PortsUnknown,    // the Spooler cannot list its ports now
  Waits,           // the other thread is re-binding, or a stop was asked for
  Gone,            // no longer current: unplugged, or arrived again, since
};

enum class Look { First, Again };

bool StillPending(ServiceState& state, const PendingArrival& arrival);

// The one place that decides whether a re-binding may start: not once a stop
// was asked for, not for an arrival no longer current (its printer was
// unplugged, or arrived again, since), and not while the other thread
// re-binds. The port lock is taken without waiting, and held for the whole
// re-binding: the control handler must answer within 30 s, so it never waits
// out the monitor thread's re-binding (the monitor thread looks at the
// arrival on its next pass instead), nor the reverse.
class RebindingPermit {
 public:
  RebindingPermit(ServiceState& state, const PendingArrival& arrival, Look look) : port_(state.portLock) {
    if (StopRequested(state)) {
      refusal_ = Binding::Waits;
    } else if (look == Look::Again && !StillPending(state, arrival)) {
      refusal_ = Binding::Gone;
    } else if (!port_.Owned()) {
      refusal_ = Binding::Waits;
    }
  }
  [[nodiscard]] std::optional<Binding> Refusal() const { return refusal_; }

 private:
  TryExclusiveLock port_;
  std::optional<Binding> refusal_;
};

// Puts the queue on the port that records the arrived printer and restarts
// the Spooler when the port changes. The control handler (the first look)
// and the monitor thread's re-check (looking again) both come here.
Binding BindQueueToPrinter(ServiceState& state, const PendingArrival& arrival, Look look) {
  if (!IsModelDevice(arrival.path)) return Binding::NotRecognised;
  PrinterIsBack(state, arrival);
  // Once per arrival: when it is first recognised.
  if (look == Look::First || !arrival.recognised) ReportServiceEvent<ServiceEvent::PrinterBack>(arrival.path);
  const RebindingPermit permit(state, arrival, look);
  if (const auto refusal = permit.Refusal()) return *refusal;
  // Ports that cannot be listed (the Spooler is down) record nothing yet;
  // looking again while they cannot stays quiet.
  const auto ports = ListUsbPorts();
  if (!ports) {
    if (look == Look::Again) return Binding::PortsUnknown;
    DebugLog(" USB ports cannot be listed:%d\n", static_cast<int>(GetLastError()));
  }
  const std::wstring found = ports ? FindUsbPortForDevice(*ports, arrival.path) : std::wstring();
  state.currentPort = GetPrinterPort();
  if (found.empty()) {
    if (ports) DebugLog(" No USB port records the device\n");
    // An empty port is never written into the queue, but at the arrival the
    // queue is still brought back as after a re-binding: its port read again
    // and resumed. Looking again does not repeat that: the status rules own
    // the queue meanwhile.
    if (look == Look::First && !state.currentPort.empty()) {
      state.currentPort = GetPrinterPort();
      ResumeUnlessUnpluggedSince(state, arrival);
    }
    return ports ? Binding::NoPortRecorded : Binding::PortsUnknown;
  }
  if (!NamesEqual(found, state.currentPort)) {
    const std::wstring oldPort = state.currentPort;
    // A stop asked for meanwhile cuts the restart short; the start the
    // Spooler may then be owed is made on the monitor thread's way out, and
    // a stopping service leaves the queue as it is.
    if (SetPrinterPortAndRestartSpooler(found, state.stopEvent.Get()) == SpoolerRestart::StartOwed &&
        !state.spoolerStartOwed.exchange(true)) {
      ReportServiceEvent<ServiceEvent::SpoolerStartOwed>();
    }
    if (StopRequested(state)) return Binding::Bound;
    state.currentPort = GetPrinterPort();
    if (NamesEqual(state.currentPort, found)) ReportServiceEvent<ServiceEvent::QueueRebound>(oldPort, found);
    ResumeUnlessUnpluggedSince(state, arrival);
  }
  return Binding::Bound;
}

// ---- Arrivals the monitor thread looks at again, under the arrival lock.

std::vector<PendingArrival>::iterator FindPending(ServiceState& state, const std::wstring& path) {
  return std::find_if(state.pendingArrivals.begin(), state.pendingArrivals.end(),
                      [&](const PendingArrival& p) { return NamesEqual(p.path, path); });
}

// Another device with the same USB numbers arriving meanwhile (another
// printer on the same chip) does not make the service forget the first.
void RememberArrival(ServiceState& state, const PendingArrival& arrival) {
  const ExclusiveLock hold(state.arrivalLock);
  if (const auto it = FindPending(state, arrival.path); it != state.pendingArrivals.end()) {
    state.pendingArrivals.erase(it);
  }
  if (state.pendingArrivals.size() == kMaxPendingArrivals) state.pendingArrivals.erase(state.pendingArrivals.begin());
  state.pendingArrivals.push_back(arrival);
  state.arrivalPending = true;
}

// Whether `arrival` is still the one pending for its device: the control
// handler forgets it at an unplug and replaces it at another arrival.
bool StillPending(ServiceState& state, const PendingArrival& arrival) {
  const ExclusiveLock hold(state.arrivalLock);
  const auto it = FindPending(state, arrival.path);
  return it != state.pendingArrivals.end() && it->removalsAt == arrival.removalsAt;
}

void ForgetArrival(ServiceState& state, const std::wstring& path) {
  const ExclusiveLock hold(state.arrivalLock);
  if (const auto it = FindPending(state, path); it != state.pendingArrivals.end()) state.pendingArrivals.erase(it);
  state.arrivalPending = !state.pendingArrivals.empty();
}

// The arrivals still worth a look, oldest first: those whose window has
// passed are given up.
std::vector<PendingArrival> CurrentArrivals(ServiceState& state) {
  const ExclusiveLock hold(state.arrivalLock);
  const DWORD now = GetTickCount();
  std::erase_if(state.pendingArrivals, [now](const PendingArrival& p) {
    if (now - p.since <= kArrivalRecheckWindowMs) return false;
    DebugLog(" Printer records did not appear within %u ms\n", static_cast<unsigned>(kArrivalRecheckWindowMs));
    ReportServiceEvent<ServiceEvent::PrinterRecordsLate>(p.path, std::to_wstring(kArrivalRecheckWindowMs / 1000));
    return true;
  });
  state.arrivalPending = !state.pendingArrivals.empty();
  // A copy: the re-binding runs without the lock, and the control handler
  // may add or remove entries meanwhile.
  return state.pendingArrivals;
}

// What a look at `arrival` leaves behind: the arrival kept for another look
// or forgotten, and the printer reopened once it is recognised.
void AfterLook(ServiceState& state, const PendingArrival& arrival, Binding binding) {
  const bool recognisedNow = binding != Binding::NotRecognised && binding != Binding::Gone && !arrival.recognised;
  if (binding == Binding::Bound || recognisedNow) state.reopenDevice = 1;
  const ExclusiveLock hold(state.arrivalLock);
  const auto it = FindPending(state, arrival.path);
  // The control handler forgot it meanwhile (an unplug) or replaced it (it
  // arrived again): that is what counts now.
  if (it == state.pendingArrivals.end() || it->removalsAt != arrival.removalsAt) return;
  if (binding == Binding::Bound || binding == Binding::Gone) {
    state.pendingArrivals.erase(it);
    state.arrivalPending = !state.pendingArrivals.empty();
    return;
  }
  it->recognised = binding != Binding::NotRecognised;
  // While the Spooler cannot list its ports, nothing is known of the port
  // record: the window starts again once it can.
  if (binding == Binding::PortsUnknown) it->since = GetTickCount();
}

// ---- The events.

void HandleArrival(const void* eventData) {
  ServiceState& state = serviceState;
  // Any USB arrival asks for a reopen: the printer may be back.
  state.reopenDevice = 1;
  const std::optional<std::wstring> path = InterfacePathFromEvent(eventData);
  if (!path || !CarriesModelUsbNumbers(*path)) return;

  // The printer class driver registers the print interface, and the USB port
  // monitor records the port, after the device itself arrives: when either
  // is missing yet, or the monitor thread is re-binding the queue, the
  // monitor thread looks again, and this handler returns at once.
  const PendingArrival arrival{*path, GetTickCount(), state.removals.load(), false};
  const Binding binding = BindQueueToPrinter(state, arrival, Look::First);
  if (binding == Binding::Bound) {
    ForgetArrival(state, *path);
  } else {
    RememberArrival(state, {arrival.path, arrival.since, arrival.removalsAt, binding != Binding::NotRecognised});
  }
  // Asked again after the re-binding, so the device is reopened once the
  // spooler is back.
  state.reopenDevice = 1;
}

void HandleRemoval(const void* eventData) {
  ServiceState& state = serviceState;
  const std::optional<std::wstring> path = InterfacePathFromEvent(eventData);
  if (path) ForgetArrival(state, *path);
  if (!IsModelDevicePath(path)) return;
  DWORD error = ERROR_SUCCESS;
  bool newlyOwed = false;
  {
    // Counted and marked offline as one step: a status pass or a re-binding
    // that began before the unplug sends nothing after it.
    const ExclusiveLock hold(state.queueLock);
    ++state.removals;
    error = SetPrinterErrorStatus(kStatusOffline);
    const bool owed = !OfflineSettled(error);
    newlyOwed = owed && !state.offlineOwed;
    state.offlineOwed = owed;
  }
  ReportServiceEvent<ServiceEvent::PrinterUnplugged>(*path);
  // Once until it clears, however many passes try again.
  if (newlyOwed) ReportServiceEvent<ServiceEvent::OfflineNotSet>(std::to_wstring(error), Win32ErrorText(error));
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
  switch (eventType) {
    case DBT_DEVICEARRIVAL:
      HandleArrival(eventData);
      break;
    case DBT_DEVICEREMOVECOMPLETE:
      HandleRemoval(eventData);
      break;
    default:
      break;
  }
}

void RecheckPendingArrivals(ServiceState& state) {
  // Nearly every pass has nothing pending; an arrival recorded just after
  // this look is looked at on the next pass.
  if (!state.arrivalPending.load()) return;
  for (const PendingArrival& arrival : CurrentArrivals(state)) {
    // No re-binding starts once a stop was asked for; the rest is left.
    if (StopRequested(state)) return;
    AfterLook(state, arrival, BindQueueToPrinter(state, arrival, Look::Again));
  }
}

void SendOwedOffline(ServiceState& state) {
  if (!state.offlineOwed.load()) return;
  const ExclusiveLock hold(state.queueLock);
  if (state.offlineOwed && OfflineSettled(SetPrinterErrorStatus(kStatusOffline))) state.offlineOwed = false;
}

void StartOwedSpooler(ServiceState& state, bool leaving) {
  while (state.spoolerStartOwed.load()) {
    // The machine is going down: nothing is started on the way out.
    if (leaving && state.shuttingDown.load()) return;
    if (StartSpoolerOnceStopped()) {
      state.spoolerStartOwed = false;
      return;
    }
    if (!leaving) return;
    Sleep(kOwedStartRetryMs);
  }
}
