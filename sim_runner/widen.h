// Narrow scenario text to the machine's wide names and back. Scenario files
// name queues, ports and devices in ASCII; each byte becomes one character.
#pragma once

#include <string>
#include <string_view>

namespace simrunner {

inline std::wstring Widen(std::string_view text) {
  std::wstring out;
  for (const char c : text) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return out;
}

inline std::string Narrow(std::wstring_view text) {
  std::string out;
  for (const wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

inline bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    const auto lower = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; };
    if (lower(x) != lower(y)) return false;
  }
  return true;
}

inline bool ContainsIgnoringCase(std::string_view text, std::string_view part) {
  if (part.size() > text.size()) return false;
  for (std::size_t i = 0; i + part.size() <= text.size(); ++i) {
    if (EqualIgnoringCase(text.substr(i, part.size()), part)) return true;
  }
  return false;
}

}  // namespace simrunner
