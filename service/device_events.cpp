#include "service/device_events.h"

#include <cstddef>
#include <cstring>

#include "common/diagnostics.h"
#include "common/model.h"
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

void HandleArrival(const void* eventData) {
  ServiceState& state = serviceState;
  // Any USB arrival ends the offline suppression and asks for a reopen.
  state.deviceRemoved = 0;
  state.reopenDevice = 1;
  const std::optional<std::wstring> path = InterfacePathFromEvent(eventData);
  if (!IsModelDevicePath(path)) return;

  const std::vector<std::wstring> ports = EnumerateUsbPorts();
  const std::wstring found = FindUsbPortForDevice(ports, *path);
  state.currentPort = GetPrinterPort();
  if (found.empty()) {
    // An empty port is never written into the queue, but the queue is still
    // brought back as after a re-binding: its port read again and resumed.
    DebugLog(" No USB port records the device\n");
    if (!state.currentPort.empty()) {
      state.currentPort = GetPrinterPort();
      ResumePrinter();
    }
  } else if (!NamesEqual(found, state.currentPort)) {
    SetPrinterPortAndRestartSpooler(found);
    state.currentPort = GetPrinterPort();
    ResumePrinter();
  }
  // Asked again after the re-binding, so the device is reopened once the
  // spooler is back.
  state.reopenDevice = 1;
}

void HandleRemoval(const void* eventData) {
  if (!IsModelDevicePath(InterfacePathFromEvent(eventData))) return;
  SetPrinterErrorStatus(kStatusOffline);
  serviceState.deviceRemoved = 1;
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
