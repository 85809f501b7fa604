#include "common/wide_text.h"

#include <cstring>

#include "common/diagnostics.h"
#include "common/unique_resource.h"
#include "platform/win32_api.h"

std::wstring WidenThreadCodePage(std::string_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  const int written = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), length, wide.data(), needed);
  wide.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return wide;
}

bool NamesEqual(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

std::string_view RegistryValueText(const char* data, std::size_t size) {
  const void* nul = std::memchr(data, '\0', size);
  return {data, nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - data) : size};
}

std::optional<std::wstring> ReadRegistryText(const char* keyPath, const char* valueName, bool logMissingKey) {
  HKEY opened = nullptr;
  const LSTATUS openResult = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &opened);
  if (openResult != ERROR_SUCCESS) {
    if (logMissingKey) DebugLog("GetLastError:%d\r\n", static_cast<int>(openResult));
    return std::nullopt;
  }
  const RegistryKey key(opened);
  char buffer[kRegistryValueBufferSize] = {};
  DWORD type = REG_SZ;
  DWORD size = sizeof buffer;
  const LSTATUS queryResult =
      RegQueryValueExA(key.Get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  if (queryResult != ERROR_SUCCESS) {
    DebugLog("GetLastError:%d\r\n", static_cast<int>(queryResult));
    return std::nullopt;
  }
  return WidenThreadCodePage(RegistryValueText(buffer, size < sizeof buffer ? size : sizeof buffer));
}
