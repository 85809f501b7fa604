#include "device/device_discovery.h"

#include "common/diagnostics.h"
#include "common/model.h"
#include "common/wide_text.h"
#include "platform/win32_api.h"

namespace {

constexpr wchar_t kVendorNumber[] = L"0483";
constexpr wchar_t kProductNumber[] = L"5741";
constexpr wchar_t kPrintInterfaceClassSuffix[] = L"#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
constexpr char kPrintInterfaceKeyPrefix[] =
    "SYSTEM\\ControlSet001\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\";
constexpr char kPrintInterfaceKeySuffix[] = "\\#\\Device Parameters";
constexpr std::size_t kKeyPathBufferSize = 500;
// Room added to the detail record beyond the size the size query reports.
constexpr DWORD kDetailSlack = 100;

}  // namespace

bool HasModelUsbNumbers(std::wstring_view path) {
  return path.find(kVendorNumber) != std::wstring_view::npos && path.find(kProductNumber) != std::wstring_view::npos;
}

std::wstring PrintInterfaceKeyName(std::wstring_view path) {
  std::wstring key(path);
  for (wchar_t& c : key) {
    if (c == L'\\') c = L'#';
  }
  const std::size_t cut = key.rfind(L'#');
  if (cut == std::wstring::npos || cut == 0) return {};
  key.resize(cut);
  key += kPrintInterfaceClassSuffix;
  return key;
}

PrintInterface ReadPrintInterface(std::wstring_view path) {
  const std::wstring keyName = PrintInterfaceKeyName(path);
  if (keyName.empty()) {
    DebugLog(" Not a device interface path\n");
    return PrintInterface::Unknown;
  }
  char keyPath[kKeyPathBufferSize];
  if (!FormatKeyPath(keyPath, sizeof keyPath, kPrintInterfaceKeyPrefix, keyName, kPrintInterfaceKeySuffix)) {
    DebugLog(" Print interface key path rejected: too long or not narrowable\n");
    return PrintInterface::Unknown;
  }
  const auto description = ReadRegistryText(keyPath, "Port Description", false);
  if (!description) return PrintInterface::Unknown;
  return NamesEqual(*description, kModelNameWide) ? PrintInterface::Model : PrintInterface::OtherModel;
}

bool IsModelDevice(std::wstring_view path) { return ReadPrintInterface(path) == PrintInterface::Model; }

namespace {

// Calls `visit` with the path of each present USB device interface, in the
// Setup API's order, until it returns true.
template <typename Visit>
void ForEachPresentUsbDevice(Visit visit) {
  const DeviceInfoSet devices(
      SetupDiGetClassDevsW(&kUsbDeviceInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
  if (!devices) return;

  SP_DEVICE_INTERFACE_DATA interfaceData = {};
  interfaceData.cbSize = sizeof interfaceData;
  for (DWORD index = 0;
       SetupDiEnumDeviceInterfaces(devices.Get(), nullptr, &kUsbDeviceInterfaceClass, index, &interfaceData); ++index) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(devices.Get(), &interfaceData, nullptr, 0, &required, nullptr);
    const DWORD detailSize = required + kDetailSlack;
    const GlobalMemory detailMemory(GlobalAlloc(GMEM_ZEROINIT, detailSize));
    if (!detailMemory) continue;
    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailMemory.Get());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(devices.Get(), &interfaceData, detail, detailSize, &required, nullptr)) {
      continue;
    }
    // The record was zero-filled with room to spare, so the path is terminated
    // even if the call wrote less than it reported.
    if (visit(static_cast<const wchar_t*>(detail->DevicePath))) return;
  }
}

}  // namespace

UniqueHandle OpenPrinterDevice(std::wstring* path) {
  UniqueHandle opened;
  ForEachPresentUsbDevice([&](const wchar_t* devicePath) {
    if (!HasModelUsbNumbers(devicePath)) return false;
    DebugLogWide(" DevicePath:", devicePath, "\n");
    if (!IsModelDevice(devicePath)) return false;

    const HANDLE device = CreateFileW(devicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_NO_BUFFERING, nullptr);
    if (device == nullptr || device == INVALID_HANDLE_VALUE) {
      DebugLog(" Printer device open failed:%d\n", static_cast<int>(GetLastError()));
    }
    if (path != nullptr) *path = devicePath;
    opened = UniqueHandle(device);
    return true;
  });
  return opened;
}

std::vector<std::wstring> PresentModelUsbDevices() {
  std::vector<std::wstring> paths;
  ForEachPresentUsbDevice([&](const wchar_t* devicePath) {
    if (HasModelUsbNumbers(devicePath)) paths.emplace_back(devicePath);
    return false;
  });
  return paths;
}
