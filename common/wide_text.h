// Wide text helpers: narrowing and widening with the system code page, and
// reading text values from the registry.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/win32_api.h"

// Narrows `text` with the system (ANSI) code page, the one the "A" calls
// (RegOpenKeyExA, OutputDebugStringA) read their text in, UTF-8 included.
// Nothing when a character has no exact counterpart in that code page (no
// best-fit substitutes, no default character, no U+FFFD for what UTF-8
// cannot hold) or `text` holds a NUL, so the narrowed text always names what
// the wide text named. The result does not depend on the C runtime: the same
// in every build.
std::optional<std::string> NarrowSystemCodePage(std::wstring_view text);

// How NarrowSystemCodePage calls WideCharToMultiByte on this machine: the
// code page, the flags, and whether it passes lpUsedDefaultChar (it passes
// no lpDefaultChar). The self-test records Windows' answer to this call.
struct NarrowingCall {
  UINT codePage;
  DWORD flags;
  bool reportsReplaced;
};
NarrowingCall SystemCodePageNarrowing();

// Widens 8-bit text with the system (ANSI) code page, the one RegQueryValueExA
// narrows registry text with.
std::wstring WidenSystemCodePage(std::string_view text);

// Case-insensitive comparison of names, as the platform compares them.
bool NamesEqual(const std::wstring& a, const std::wstring& b);

// The text held in `size` bytes of a registry value: up to the first NUL, and
// never beyond `size`, so a value stored without its terminating NUL is read
// safely.
std::string_view RegistryValueText(const char* data, std::size_t size);

// Writes `prefix`, `name` narrowed with NarrowSystemCodePage, and `suffix`
// into `buffer` of `size` bytes. Returns false, leaving an empty string, when
// `name` does not narrow or the path does not fit (terminating NUL included).
bool FormatKeyPath(char* buffer, std::size_t size, std::string_view prefix, std::wstring_view name,
                   std::string_view suffix);

// Size of the buffer an 8-bit registry text value is read into.
inline constexpr std::size_t kRegistryValueBufferSize = 200;

// Reads the 8-bit text value `valueName` of key `keyPath` under
// HKEY_LOCAL_MACHINE into a buffer of kRegistryValueBufferSize bytes and
// widens it. A failed query is logged as "GetLastError:<code>"; a key that
// cannot be opened is logged the same way only when `logMissingKey` is set.
std::optional<std::wstring> ReadRegistryText(const char* keyPath, const char* valueName, bool logMissingKey);
