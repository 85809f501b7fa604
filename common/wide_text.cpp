#include "common/wide_text.h"

#include <climits>
#include <cstring>

#include "common/diagnostics.h"
#include "common/unique_resource.h"
#include "platform/win32_api.h"

// The registry's "A" calls convert key names and value text with the system
// code page in both directions, whatever the thread's code page is. Using the
// same code page here is what makes a narrowed name open the key it names and
// a read value widen back to the text stored.
constexpr UINT kRegistryCodePage = CP_ACP;

NarrowingCall SystemCodePageNarrowing() {
  // A system code page of UTF-8 holds every character, and Windows takes for
  // it only the flag WC_ERR_INVALID_CHARS and no default character: what is
  // no character (an unpaired surrogate) then fails the call instead of
  // becoming U+FFFD. Other code pages: no best-fit look-alikes, and a
  // replaced character reported. UTF-8 is named as such, whichever way
  // CP_ACP would have its flags checked.
  if (GetACP() == CP_UTF8) return {CP_UTF8, WC_ERR_INVALID_CHARS, false};
  return {kRegistryCodePage, WC_NO_BEST_FIT_CHARS, true};
}

std::optional<std::string> NarrowSystemCodePage(std::wstring_view text) {
  if (text.empty()) return std::string();
  if (text.find(L'\0') != std::wstring_view::npos || text.size() > static_cast<std::size_t>(INT_MAX)) {
    return std::nullopt;
  }
  const NarrowingCall call = SystemCodePageNarrowing();
  BOOL replaced = FALSE;
  BOOL* const reportReplaced = call.reportsReplaced ? &replaced : nullptr;
  const int length = static_cast<int>(text.size());
  const int needed =
      WideCharToMultiByte(call.codePage, call.flags, text.data(), length, nullptr, 0, nullptr, reportReplaced);
  if (needed <= 0 || replaced) return std::nullopt;
  std::string narrow(static_cast<std::size_t>(needed), '\0');
  const int written = WideCharToMultiByte(call.codePage, call.flags, text.data(), length, narrow.data(), needed,
                                          nullptr, reportReplaced);
  if (written != needed || replaced) return std::nullopt;
  return narrow;
}

std::wstring WidenSystemCodePage(std::string_view text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(kRegistryCodePage, 0, text.data(), length, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(needed), L'\0');
  const int written = MultiByteToWideChar(kRegistryCodePage, 0, text.data(), length, wide.data(), needed);
  wide.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return wide;
}

bool FormatKeyPath(char* buffer, std::size_t size, std::string_view prefix, std::wstring_view name,
                   std::string_view suffix) {
  if (size == 0) return false;
  buffer[0] = '\0';
  const std::optional<std::string> narrow = NarrowSystemCodePage(name);
  if (!narrow) return false;
  const std::size_t length = prefix.size() + narrow->size() + suffix.size();
  if (length >= size) return false;
  std::memcpy(buffer, prefix.data(), prefix.size());
  std::memcpy(buffer + prefix.size(), narrow->data(), narrow->size());
  std::memcpy(buffer + prefix.size() + narrow->size(), suffix.data(), suffix.size());
  buffer[length] = '\0';
  return true;
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
  return WidenSystemCodePage(RegistryValueText(buffer, size < sizeof buffer ? size : sizeof buffer));
}
