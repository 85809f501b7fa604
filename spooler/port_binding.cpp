#include "spooler/port_binding.h"

#include <algorithm>

#include "common/diagnostics.h"
#include "common/unique_resource.h"
#include "common/wide_text.h"
#include "spooler/printer_queue.h"

namespace {

constexpr char kUsbMonitorPortKeyFormat[] = "SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\%ls";
constexpr std::size_t kKeyPathBufferSize = 500;
constexpr char kSpoolerServiceName[] = "Spooler";
constexpr std::size_t kDevicePathPrefixLength = 4;  // "\\?\"

ServiceHandle OpenServiceManager() {
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) DebugLog(" OpenSCManager failed:%d\n", static_cast<int>(GetLastError()));
  return manager;
}

// Waits until the spooler reports that it has stopped, polling its state.
// Gives up when the state cannot be read or the bound has passed.
void WaitForSpoolerStopped(SC_HANDLE spooler) {
  SERVICE_STATUS status = {};
  for (DWORD waited = 0;; waited += kSpoolerStopPollMs) {
    if (!QueryServiceStatus(spooler, &status)) {
      DebugLog(" Spooler state unknown:%d\n", static_cast<int>(GetLastError()));
      return;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) return;
    if (waited >= kSpoolerStopTimeoutMs) {
      DebugLog(" Spooler did not stop within %u ms\n", static_cast<unsigned>(kSpoolerStopTimeoutMs));
      return;
    }
    Sleep(kSpoolerStopPollMs);
  }
}

}  // namespace

void StopSpooler() {
  const ServiceHandle manager = OpenServiceManager();
  if (!manager) return;
  const ServiceHandle spooler(OpenServiceA(manager.Get(), kSpoolerServiceName, SERVICE_ALL_ACCESS));
  SERVICE_STATUS status = {};
  ControlService(spooler.Get(), SERVICE_CONTROL_STOP, &status);
  Sleep(kSpoolerStopPauseMs);
  WaitForSpoolerStopped(spooler.Get());
}

void StartSpooler() {
  const ServiceHandle manager = OpenServiceManager();
  if (!manager) return;
  {
    const ServiceHandle spooler(OpenServiceA(manager.Get(), kSpoolerServiceName, SERVICE_ALL_ACCESS));
    if (!StartServiceA(spooler.Get(), 0, nullptr)) {
      DebugLog(" Spooler start failed:%d\n", static_cast<int>(GetLastError()));
    }
  }
  Sleep(kSpoolerStartPauseMs);
  Sleep(kSpoolerSettlePauseMs);
}

std::vector<std::wstring> EnumerateUsbPorts() {
  DWORD needed = 0;
  DWORD returned = 0;
  EnumPortsW(nullptr, 2, nullptr, 0, &needed, &returned);
  if (needed == 0) return {};
  std::vector<BYTE> buffer(needed);
  if (!EnumPortsW(nullptr, 2, buffer.data(), needed, &needed, &returned)) return {};
  const std::size_t count = std::min<std::size_t>(returned, buffer.size() / sizeof(PORT_INFO_2W));
  const auto* entries = reinterpret_cast<const PORT_INFO_2W*>(buffer.data());
  std::vector<std::wstring> ports;
  for (std::size_t i = 0; i < count; ++i) {
    const wchar_t* name = entries[i].pPortName;
    if (name != nullptr && std::wcsstr(name, L"USB") != nullptr) ports.emplace_back(name);
  }
  return ports;
}

std::wstring DeviceInstanceIdFromPath(std::wstring_view path) {
  const std::size_t cut = path.rfind(L'#');
  if (cut == std::wstring_view::npos || cut <= kDevicePathPrefixLength) return {};
  std::wstring id(path.substr(0, cut));
  std::replace(id.begin(), id.end(), L'#', L'\\');
  return id.substr(kDevicePathPrefixLength);
}

std::wstring FindUsbPortForDevice(const std::vector<std::wstring>& ports, std::wstring_view path) {
  const std::wstring id = DeviceInstanceIdFromPath(path);
  if (id.empty()) {
    DebugLog(" No device instance id in the device path\n");
    return {};
  }
  for (const std::wstring& port : ports) {
    char keyPath[kKeyPathBufferSize];
    if (!FormatBounded(keyPath, sizeof keyPath, kUsbMonitorPortKeyFormat, port.c_str())) {
      DebugLog(" USB monitor key path rejected: too long or not narrowable\n");
      continue;
    }
    const auto deviceId = ReadRegistryText(keyPath, "Device Id", true);
    if (deviceId.has_value() && NamesEqual(*deviceId, id)) return port;
  }
  return {};
}

void SetPrinterPortAndRestartSpooler(const std::wstring& port) {
  if (port.empty()) {
    DebugLog(" Refusing to bind the queue to an empty port\n");
    return;
  }
  {
    const PrinterHandle queue = OpenQueue();
    if (!queue) return;
    auto info = ReadQueueInfo(queue.Get());
    if (!info) return;
    std::wstring newPort = port;
    info->Get()->pPortName = newPort.data();
    int failedWrites = 0;
    while (!SetPrinterW(queue.Get(), 2, reinterpret_cast<LPBYTE>(info->Get()), 0)) {
      if (++failedWrites == kPortWriteAttempts) {
        DebugLog(" Port write failed %d times:%d\n", failedWrites, static_cast<int>(GetLastError()));
        return;
      }
    }
  }
  // The queue handle is closed before the restart: the spooler that issued it
  // is about to go away.
  StopSpooler();
  StartSpooler();
}
