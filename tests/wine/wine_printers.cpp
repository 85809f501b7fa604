#include "tests/wine/wine_printers.h"

#include "windows/selftest/probes.h"

namespace wine_printers {

namespace {

constexpr wchar_t kDriverName[] = L"Wine PostScript Driver";

}  // namespace

DWORD EnsureDriver() {
  const DWORD error = selftest::InstallDriver(kDriverName);
  return error == ERROR_PRINTER_DRIVER_ALREADY_INSTALLED ? static_cast<DWORD>(ERROR_SUCCESS) : error;
}

DWORD AddQueue(const std::wstring& name, const std::wstring& port) {
  if (const DWORD error = EnsureDriver(); error != ERROR_SUCCESS) return error;
  return selftest::AddQueue(name, port, kDriverName);
}

DWORD DeleteQueue(const std::wstring& name) { return selftest::DeleteQueue(name); }

}  // namespace wine_printers
