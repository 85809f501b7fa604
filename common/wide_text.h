// Wide text helpers: widening 8-bit text and reading text values from the
// registry.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Widens 8-bit text with the thread's code page.
std::wstring WidenThreadCodePage(std::string_view text);

// Case-insensitive comparison of names, as the platform compares them.
bool NamesEqual(const std::wstring& a, const std::wstring& b);

// The text held in `size` bytes of a registry value: up to the first NUL, and
// never beyond `size`, so a value stored without its terminating NUL is read
// safely.
std::string_view RegistryValueText(const char* data, std::size_t size);

// Size of the buffer an 8-bit registry text value is read into.
inline constexpr std::size_t kRegistryValueBufferSize = 200;

// Reads the 8-bit text value `valueName` of key `keyPath` under
// HKEY_LOCAL_MACHINE into a buffer of kRegistryValueBufferSize bytes and
// widens it. A failed query is logged as "GetLastError:<code>"; a key that
// cannot be opened is logged the same way only when `logMissingKey` is set.
std::optional<std::wstring> ReadRegistryText(const char* keyPath, const char* valueName, bool logMissingKey);
