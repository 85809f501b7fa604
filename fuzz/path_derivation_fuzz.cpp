// The names derived from a device interface path: the print interface's
// registry key name and the device instance id. The input is the path as
// UTF-16LE code units, any of them (NUL included).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "device/device_discovery.h"
#include "fuzz/fuzz_support.h"
#include "spooler/port_binding.h"

namespace {

constexpr std::wstring_view kPrintInterfaceClassSuffix = L"#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
constexpr std::size_t kDevicePathPrefixLength = 4;  // "\\?\"

void CheckKeyName(std::wstring_view path) {
  const std::wstring key = PrintInterfaceKeyName(path);

  // The separators made "#", the last part cut off.
  std::wstring joined(path);
  for (wchar_t& c : joined) {
    if (c == L'\\') c = L'#';
  }
  const std::size_t cut = joined.rfind(L'#');
  if (cut == std::wstring::npos || cut == 0) {
    FUZZ_CHECK(key.empty());
    return;
  }
  FUZZ_CHECK(key.size() == cut + kPrintInterfaceClassSuffix.size());
  FUZZ_CHECK(std::wstring_view(key).ends_with(kPrintInterfaceClassSuffix));
  FUZZ_CHECK(std::wstring_view(key).substr(0, cut) == std::wstring_view(joined).substr(0, cut));
  FUZZ_CHECK(key.find(L'\\') == std::wstring::npos);
  // Deriving it again from a path already in key form gives the same name:
  // the class suffix is the part that is cut.
  FUZZ_CHECK(PrintInterfaceKeyName(key) == key);
}

void CheckInstanceId(std::wstring_view path) {
  const std::wstring id = DeviceInstanceIdFromPath(path);
  FUZZ_CHECK(id.find(L'#') == std::wstring::npos);

  const std::size_t cut = path.rfind(L'#');
  if (cut == std::wstring_view::npos || cut <= kDevicePathPrefixLength) {
    FUZZ_CHECK(id.empty());
    return;
  }
  // What lies between the "\\?\" prefix and the last "#", its "#" made "\".
  FUZZ_CHECK(id.size() == cut - kDevicePathPrefixLength);
  for (std::size_t i = 0; i < id.size(); ++i) {
    const wchar_t c = path[kDevicePathPrefixLength + i];
    FUZZ_CHECK(id[i] == (c == L'#' ? L'\\' : c));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::wstring path = fuzz::WideFromUtf16(input.Rest());
  CheckKeyName(path);
  CheckInstanceId(path);

  // When both are cut at the same "#", the two names of one device agree: the
  // key name is the instance id with the prefix kept and "#" for every
  // separator.
  const std::wstring key = PrintInterfaceKeyName(path);
  const std::wstring id = DeviceInstanceIdFromPath(path);
  const std::size_t lastSeparator = path.find_last_of(L"#\\");
  if (!key.empty() && !id.empty() && lastSeparator == path.rfind(L'#')) {
    std::wstring idAsKey = id;
    for (wchar_t& c : idAsKey) {
      if (c == L'\\') c = L'#';
    }
    const std::wstring_view keyBody = std::wstring_view(key).substr(0, key.size() - kPrintInterfaceClassSuffix.size());
    FUZZ_CHECK(keyBody.size() >= kDevicePathPrefixLength);
    FUZZ_CHECK(keyBody.substr(kDevicePathPrefixLength) == idAsKey);
  }
  return 0;
}
