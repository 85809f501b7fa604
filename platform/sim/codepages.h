// The code pages of the simulated machine: Windows-1252, 936 (GBK) and
// 65001 (UTF-8), converted the way WideCharToMultiByte, MultiByteToWideChar
// and the registry's "A" calls convert them. The calls themselves (their
// parameters, flags and errors) live in kernel.cpp and registry.cpp.
//
// Wide characters are 32 bits here: a character above U+FFFF is one wchar_t,
// and a wchar_t from 0xD800 to 0xDFFF is a surrogate on its own (unpaired),
// which no code page holds.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/win32_decls.h"

namespace sim {

bool IsSimulatedCodePage(UINT codePage);
// Whether `byte` starts a two-byte character in `codePage`.
bool IsLeadByte(UINT codePage, unsigned char byte);

// How a conversion to a code page treats what the code page lacks, as
// WideCharToMultiByte's flags and arguments ask.
struct NarrowRules {
  // A look-alike from the code page's best-fit table (without
  // WC_NO_BEST_FIT_CHARS).
  bool bestFit = true;
  // A base character and the nonspacing mark after it become the
  // precomposed character (WC_COMPOSITECHECK); when there is none, the
  // pair is converted as `uncomposable` says: WC_SEPCHARS (each on its own),
  // WC_DISCARDNS (the mark is dropped) or WC_DEFAULTCHAR (the pair becomes
  // the default character).
  bool compose = false;
  DWORD uncomposable = WC_SEPCHARS;
  // One byte, or a lead and a trail byte in a two-byte code page.
  std::string defaultChar = "?";
  // UTF-8: a surrogate or a value beyond U+10FFFF fails the conversion
  // (WC_ERR_INVALID_CHARS) instead of becoming U+FFFD.
  bool failOnInvalid = false;
};

// One character of the source as the code page writes it. A conversion
// writes whole characters only, and says whether it used the default
// character for the ones it wrote.
struct NarrowedChar {
  std::string bytes;
  bool usedDefault = false;
};

// Nothing when `rules.failOnInvalid` and the text holds what UTF-8 cannot.
std::optional<std::vector<NarrowedChar>> NarrowText(UINT codePage, std::wstring_view text, const NarrowRules& rules);

struct WidenRules {
  // Precomposed characters become base character and nonspacing mark
  // (MB_COMPOSITE).
  bool decompose = false;
  // A byte sequence that is no character fails the conversion
  // (MB_ERR_INVALID_CHARS) instead of becoming a replacement character
  // ('?' in 936, U+FFFD in UTF-8).
  bool failOnInvalid = false;
};

std::optional<std::wstring> WidenText(UINT codePage, std::string_view text, const WidenRules& rules);

// The conversions of the registry's "A" calls, with the default rules.
std::wstring FromCodePage(UINT codePage, std::string_view text);
std::string ToCodePage(UINT codePage, std::wstring_view text);

}  // namespace sim
