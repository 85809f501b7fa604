// The Setup API calls: SetupDiGetClassDevsW, SetupDiEnumDeviceInterfaces,
// SetupDiGetDeviceInterfaceDetailW, SetupDiDestroyDeviceInfoList.
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "tests/conformance/conformance.h"

namespace conformance {
namespace {

constexpr GUID kUsbInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
constexpr GUID kUsbSetupClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr wchar_t kPath[] = L"\\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

bool Same(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class SetupApi : public Conformance {
 protected:
  SetupApi() {
    machine.AddDevice(kPath, "KX310MQ47H");
    machine.Plug(kPath);
    set_ = SetupDiGetClassDevsW(&kUsbInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    interface_.cbSize = sizeof interface_;
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set_, nullptr, &kUsbInterface, 0, &interface_));
  }
  ~SetupApi() override { SetupDiDestroyDeviceInfoList(set_); }
  static DWORD Expected() {
    return static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                              (std::wstring_view(kPath).size() + 1) * sizeof(WCHAR));
  }
  HDEVINFO set_ = nullptr;
  SP_DEVICE_INTERFACE_DATA interface_ = {};
};

TEST_F(SetupApi, SetupDiGetClassDevsW) {
  {
    // Windows: without DIGCF_ALLCLASSES a class GUID is needed:
    // ERROR_INVALID_PARAMETER (Microsoft docs, SetupDiGetClassDevsW).
    Behaviour b("SetupDiGetClassDevsW", "no class and no DIGCF_ALLCLASSES: ERROR_INVALID_PARAMETER");
    EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  {
    // Windows: DIGCF_ALLCLASSES lists the interfaces of every class, the USB
    // device's among them (Microsoft docs, SetupDiGetClassDevsW).
    Behaviour b("SetupDiGetClassDevsW", "DIGCF_ALLCLASSES lists every class's interfaces");
    HDEVINFO all =
        SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE | DIGCF_ALLCLASSES);
    ASSERT_NE(all, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(all, nullptr, &kUsbInterface, 0, &data));
    SetupDiDestroyDeviceInfoList(all);
  }
}

TEST_F(SetupApi, SetupDiEnumDeviceInterfaces) {
  {
    // Windows: an interface enumerated carries the class asked for; past the
    // last one the call fails with ERROR_NO_MORE_ITEMS (Wine
    // dlls/setupapi/tests/devinst.c, check_device_iface).
    Behaviour b("SetupDiEnumDeviceInterfaces", "the class asked for; past the last: ERROR_NO_MORE_ITEMS");
    EXPECT_TRUE(Same(interface_.InterfaceClassGuid, kUsbInterface));
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set_, nullptr, &kUsbInterface, 1, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  }
  {
    // Windows: cbSize must be this build's size of the record:
    // ERROR_INVALID_USER_BUFFER (Microsoft docs, SP_DEVICE_INTERFACE_DATA and
    // SetupDiEnumDeviceInterfaces).
    Behaviour b("SetupDiEnumDeviceInterfaces", "another cbSize: ERROR_INVALID_USER_BUFFER");
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = 28;  // the 32-bit size
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set_, nullptr, &kUsbInterface, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  }
  {
    // Windows: with a device's SP_DEVINFO_DATA the call enumerates that
    // device's interfaces (devinst.c, test_device_iface).
    NotModelled b("SetupDiEnumDeviceInterfaces", "enumerates the interfaces of one device",
                  "device information elements (SetupDiEnumDeviceInfo) are not simulated");
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    SetupDiGetDeviceInterfaceDetailW(set_, &interface_, nullptr, 0, nullptr, &device);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set_, &device, &kUsbInterface, 0, &data));
  }
}

TEST_F(SetupApi, SetupDiGetDeviceInterfaceDetailW) {
  {
    // Windows: no set is ERROR_INVALID_HANDLE; no interface
    // ERROR_INVALID_PARAMETER (devinst.c, test_device_iface_detail).
    Behaviour b("SetupDiGetDeviceInterfaceDetailW",
                "no set: ERROR_INVALID_HANDLE; no interface: ERROR_INVALID_PARAMETER");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(nullptr, nullptr, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set_, nullptr, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  {
    // Windows: no buffer fails with ERROR_INSUFFICIENT_BUFFER and gives the
    // size, the record's fixed part and the path with its NUL; a size with no
    // buffer is ERROR_INVALID_USER_BUFFER (devinst.c, test_device_iface_detail).
    Behaviour b("SetupDiGetDeviceInterfaceDetailW", "size query; a size without a buffer: ERROR_INVALID_USER_BUFFER");
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set_, &interface_, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set_, &interface_, nullptr, 100, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    DWORD size = 0xdeadbeef;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set_, &interface_, nullptr, 0, &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(size, Expected());
  }
  {
    // Windows: a record whose cbSize is not the fixed size is
    // ERROR_INVALID_USER_BUFFER, and the size is left alone; with the right
    // cbSize a buffer of the size or twice it gets the path, in lower case,
    // and the size (devinst.c, test_device_iface_detail and
    // check_device_iface).
    Behaviour b("SetupDiGetDeviceInterfaceDetailW", "cbSize checked; the path, in lower case, and its size");
    std::vector<BYTE> buffer(Expected() * 2);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = 0;
    DWORD size = 0xdeadbeef;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set_, &interface_, detail, Expected() * 2, &size, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_EQ(size, 0xdeadbeefu);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    for (const DWORD given : {Expected(), Expected() * 2}) {
      size = 0xdeadbeef;
      EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set_, &interface_, detail, given, &size, nullptr));
      EXPECT_EQ(size, Expected());
      const std::wstring path(detail->DevicePath);
      EXPECT_EQ(path.size(), std::wstring_view(kPath).size());
      for (const wchar_t c : path) EXPECT_FALSE(c >= L'A' && c <= L'Z') << "upper case in the path";
    }
  }
  {
    // Windows: the size query fills in the device's SP_DEVINFO_DATA too
    // (devinst.c, test_device_iface_detail).
    Behaviour b("SetupDiGetDeviceInterfaceDetailW", "the size query fills in SP_DEVINFO_DATA");
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    DWORD size = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set_, &interface_, nullptr, 0, &size, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(Same(device.ClassGuid, kUsbSetupClass));
    EXPECT_NE(device.DevInst, 0u);
  }
}

TEST_F(SetupApi, SetupDiDestroyDeviceInfoList) {
  // Windows: a set is destroyed once; again, or a handle that is none, fails
  // with ERROR_INVALID_HANDLE (Microsoft docs, SetupDiDestroyDeviceInfoList).
  Behaviour b("SetupDiDestroyDeviceInfoList", "a second destroy: ERROR_INVALID_HANDLE");
  HDEVINFO set = SetupDiGetClassDevsW(&kUsbInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
}  // namespace conformance
