#include "service/device_events.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "common/diagnostics.h"
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

void ResumeUnlessRemoved(ServiceState& state) {
  const ExclusiveLock hold(state.queueLock);
  if (state.deviceRemoved.load() == 0) ResumePrinter();
}

enum class Binding {
  Bound,           // the queue is on the printer's port (moved there if need be)
  NotRecognised,   // no print interface reports the model name (yet)
  NoPortRecorded,  // no USB port records the printer (yet)
};

enum class Look { First, Again };

// Puts the queue on the port that records the arrived printer and restarts
// the spooler when the port changes. Both the control handler (the first
// look) and the monitor thread's re-check (looking again) come here, one at
// a time.
Binding BindQueueToPrinter(ServiceState& state, const std::wstring& path, Look look) {
  if (!IsModelDevice(path)) return Binding::NotRecognised;
  // The printer is back: the status rules own the queue again.
  state.offlineOwed = false;
  const ExclusiveLock hold(state.portLock);
  const std::vector<std::wstring> ports = EnumerateUsbPorts();
  const std::wstring found = FindUsbPortForDevice(ports, path);
  state.currentPort = GetPrinterPort();
  if (found.empty()) {
    DebugLog(" No USB port records the device\n");
    // An empty port is never written into the queue, but at the arrival the
    // queue is still brought back as after a re-binding: its port read again
    // and resumed. Looking again does not repeat that: the status rules own
    // the queue meanwhile.
    if (look == Look::First && !state.currentPort.empty()) {
      state.currentPort = GetPrinterPort();
      ResumeUnlessRemoved(state);
    }
    return Binding::NoPortRecorded;
  }
  if (!NamesEqual(found, state.currentPort)) {
    if (SetPrinterPortAndRestartSpooler(found) == SpoolerRestart::StartOwed) state.spoolerStartOwed = true;
    state.currentPort = GetPrinterPort();
    ResumeUnlessRemoved(state);
  }
  return Binding::Bound;
}

std::vector<ServiceState::PendingArrival>::iterator FindPending(ServiceState& state, const std::wstring& path) {
  return std::find_if(state.pendingArrivals.begin(), state.pendingArrivals.end(),
                      [&](const ServiceState::PendingArrival& p) { return NamesEqual(p.path, path); });
}

// Another device with the same USB numbers arriving meanwhile (another
// printer on the same chip) does not make the service forget the first.
void SetPendingArrival(ServiceState& state, const std::wstring& path, bool recognised) {
  const ExclusiveLock hold(state.arrivalLock);
  if (const auto it = FindPending(state, path); it != state.pendingArrivals.end()) state.pendingArrivals.erase(it);
  if (state.pendingArrivals.size() == kMaxPendingArrivals) state.pendingArrivals.erase(state.pendingArrivals.begin());
  state.pendingArrivals.push_back({path, GetTickCount(), recognised});
  state.arrivalPending = true;
}

void ClearPendingArrival(ServiceState& state, const std::wstring& path) {
  const ExclusiveLock hold(state.arrivalLock);
  if (const auto it = FindPending(state, path); it != state.pendingArrivals.end()) state.pendingArrivals.erase(it);
  state.arrivalPending = !state.pendingArrivals.empty();
}

void HandleArrival(const void* eventData) {
  ServiceState& state = serviceState;
  // Any USB arrival ends the offline suppression and asks for a reopen.
  state.deviceRemoved = 0;
  state.reopenDevice = 1;
  const std::optional<std::wstring> path = InterfacePathFromEvent(eventData);
  if (!path || !CarriesModelUsbNumbers(*path)) return;

  // The printer class driver registers the print interface, and the USB port
  // monitor records the port, after the device itself arrives: when either
  // is missing yet, the monitor thread looks again, and this handler returns
  // at once.
  const Binding binding = BindQueueToPrinter(state, *path, Look::First);
  if (binding == Binding::Bound) {
    ClearPendingArrival(state, *path);
  } else {
    SetPendingArrival(state, *path, binding == Binding::NoPortRecorded);
  }
  // Asked again after the re-binding, so the device is reopened once the
  // spooler is back.
  state.reopenDevice = 1;
}

void HandleRemoval(const void* eventData) {
  ServiceState& state = serviceState;
  const std::optional<std::wstring> path = InterfacePathFromEvent(eventData);
  if (path) ClearPendingArrival(state, *path);
  if (!IsModelDevicePath(path)) return;
  const ExclusiveLock hold(state.queueLock);
  state.offlineOwed = !SetPrinterErrorStatus(kStatusOffline);
  state.deviceRemoved = 1;
  ++state.removals;
}

// An unplugged printer's queue must end offline even when the spooler was
// down at the unplug: nothing else would send those commands again.
// Another USB device arriving meanwhile does not change that; the printer's
// return does.
void SendOwedOffline(ServiceState& state) {
  if (!state.offlineOwed.load()) return;
  const ExclusiveLock hold(state.queueLock);
  if (state.offlineOwed.load() && SetPrinterErrorStatus(kStatusOffline)) state.offlineOwed = false;
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

void RecheckPendingArrival() {
  ServiceState& state = serviceState;
  if (state.spoolerStartOwed.load() && StartSpoolerOnceStopped()) state.spoolerStartOwed = false;
  SendOwedOffline(state);

  // Nearly every pass has nothing pending; an arrival recorded just after
  // this look is looked at on the next pass.
  if (!state.arrivalPending.load()) return;
  // A copy: the re-binding runs without the lock, and the control handler
  // may add or clear entries meanwhile.
  std::vector<ServiceState::PendingArrival> pending;
  {
    const ExclusiveLock hold(state.arrivalLock);
    const DWORD now = GetTickCount();
    std::erase_if(state.pendingArrivals, [now](const ServiceState::PendingArrival& p) {
      if (now - p.since <= kArrivalRecheckWindowMs) return false;
      DebugLog(" Printer records did not appear within %u ms\n", static_cast<unsigned>(kArrivalRecheckWindowMs));
      return true;
    });
    state.arrivalPending = !state.pendingArrivals.empty();
    pending = state.pendingArrivals;
  }
  for (const ServiceState::PendingArrival& arrival : pending) {
    const Binding binding = BindQueueToPrinter(state, arrival.path, Look::Again);
    if (binding == Binding::NotRecognised) continue;
    // Recognised now: the printer is opened (its status mirrored) even while
    // no port records it yet.
    if (binding == Binding::Bound || !arrival.recognised) state.reopenDevice = 1;
    if (binding == Binding::Bound) {
      ClearPendingArrival(state, arrival.path);
    } else {
      const ExclusiveLock hold(state.arrivalLock);
      if (const auto it = FindPending(state, arrival.path); it != state.pendingArrivals.end()) it->recognised = true;
    }
  }
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
