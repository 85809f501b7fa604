// Setup API calls of the simulated machine: listing the present USB device
// interfaces, in the order they were plugged in.
#include <cstddef>
#include <cstring>

#include "platform/sim/machine_state.h"

using sim::Current;

namespace {

// The device setup class of a USB device (GUID_DEVCLASS_USB).
constexpr GUID kUsbSetupClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

}  // namespace

// Windows: a class GUID is needed unless DIGCF_ALLCLASSES asks for every
// class, which here are the USB device interfaces (Microsoft docs,
// SetupDiGetClassDevsW).
HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* classGuid, LPCWSTR, HWND, DWORD flags) {
  sim::EnterCall(__func__);
  auto& m = Current();
  const bool allClasses = (flags & DIGCF_ALLCLASSES) != 0;
  if ((classGuid == nullptr && !allClasses) || (flags & DIGCF_DEVICEINTERFACE) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);  // only device-interface listings are simulated
    return INVALID_HANDLE_VALUE;
  }
  sim::DeviceInfoSetObject set;
  if (allClasses || sim::SameGuid(*classGuid, sim::kUsbDeviceClass)) {
    if ((flags & DIGCF_PRESENT) != 0) {
      set.paths = m.devices.presentOrder;
    } else {
      for (const auto& device : m.devices.all) set.paths.push_back(device.path);
    }
  }
  // The interface paths are the symbolic link names the system keeps, which
  // are lower case whatever the case of the hardware id.
  for (std::wstring& path : set.paths) path = sim::Cased(path, sim::PathCase::Lower);
  return m.handles.Add(std::move(set));
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID* interfaceClass,
                                        DWORD index, PSP_DEVICE_INTERFACE_DATA interfaceData) {
  sim::EnterCall(__func__);
  auto& m = Current();
  const sim::DeviceInfoSetObject* open = m.handles.Find<sim::DeviceInfoSetObject>(set);
  if (open == nullptr) return sim::Fail(ERROR_INVALID_HANDLE);
  if (interfaceData == nullptr || interfaceClass == nullptr || deviceInfo != nullptr)
    return sim::Fail(ERROR_INVALID_PARAMETER);
  if (interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return sim::Fail(ERROR_INVALID_USER_BUFFER);
  if (!sim::SameGuid(*interfaceClass, sim::kUsbDeviceClass) || index >= open->paths.size())
    return sim::Fail(ERROR_NO_MORE_ITEMS);
  interfaceData->InterfaceClassGuid = *interfaceClass;
  interfaceData->Flags = 1;  // SPINT_ACTIVE
  interfaceData->Reserved = static_cast<ULONG_PTR>(index) + 1;
  return TRUE;
}

// Windows: the size query fails with ERROR_INSUFFICIENT_BUFFER and gives the
// size; a size without a buffer, or a record whose cbSize is not this
// build's, is an invalid user buffer and leaves the size alone; the device's
// SP_DEVINFO_DATA is filled in, on the size query too (Wine
// dlls/setupapi/tests/devinst.c, test_device_iface_detail).
BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                             PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo) {
  sim::EnterCall(__func__);
  auto& m = Current();
  const sim::DeviceInfoSetObject* open = m.handles.Find<sim::DeviceInfoSetObject>(set);
  if (open == nullptr) return sim::Fail(ERROR_INVALID_HANDLE);
  if (interfaceData == nullptr || interfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
    return sim::Fail(interfaceData == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_USER_BUFFER);
  const ULONG_PTR entry = interfaceData->Reserved;
  if (entry == 0 || entry > open->paths.size()) return sim::Fail(ERROR_INVALID_PARAMETER);
  const std::wstring& path = open->paths[entry - 1];
  if (deviceInfo != nullptr) {
    if (deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA)) return sim::Fail(ERROR_INVALID_USER_BUFFER);
    deviceInfo->ClassGuid = kUsbSetupClass;
    deviceInfo->DevInst = static_cast<DWORD>(entry);
    deviceInfo->Reserved = entry;
  }
  constexpr std::size_t kPathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
  const auto required = static_cast<DWORD>(kPathOffset + (path.size() + 1) * sizeof(wchar_t));
  if (detail == nullptr) {
    if (detailSize != 0) return sim::Fail(ERROR_INVALID_USER_BUFFER);
    if (requiredSize != nullptr) *requiredSize = required;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return sim::Fail(ERROR_INVALID_USER_BUFFER);
  if (requiredSize != nullptr) *requiredSize = required;
  if (detailSize < required) return sim::Fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(reinterpret_cast<BYTE*>(detail) + kPathOffset, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
  return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  sim::EnterCall(__func__);
  auto& m = Current();
  if (m.handles.Find<sim::DeviceInfoSetObject>(set) == nullptr) return sim::Fail(ERROR_INVALID_HANDLE);
  m.handles.Remove(set);
  return TRUE;
}
