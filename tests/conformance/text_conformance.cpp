// The text calls: WideCharToMultiByte, MultiByteToWideChar, GetACP.
#include <climits>
#include <cstring>
#include <string>

#include "tests/conformance/conformance.h"

namespace conformance {
namespace {

const wchar_t kFoobar[] = L"foobar";

// WideCharToMultiByte into a buffer of `size` bytes filled with 'x': the
// result, the bytes written, the last error and lpUsedDefaultChar.
struct Narrowed {
  int result;
  std::string bytes;
  DWORD error;
  BOOL usedDefault;
};
Narrowed Narrow(UINT codePage, DWORD flags, const wchar_t* text, int count, int size, bool askUsed = true,
                const char* defaultChar = nullptr) {
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  BOOL used = 2;
  SetLastError(0xdeadbeef);
  const int result = WideCharToMultiByte(codePage, flags, text, count, size == 0 ? nullptr : buffer, size, defaultChar,
                                         askUsed ? &used : nullptr);
  const DWORD error = GetLastError();
  const std::size_t written = static_cast<std::size_t>(result > 0 ? result : 0);
  return {result, std::string(buffer, size == 0 ? 0 : written), error, used};
}

// MultiByteToWideChar into a buffer of `size` characters.
struct Widened {
  int result;
  std::wstring text;
  DWORD error;
};
Widened Widen(UINT codePage, DWORD flags, const char* bytes, int count, int size = 32) {
  wchar_t buffer[32];
  std::wmemset(buffer, L'#', 32);
  SetLastError(0xdeadbeef);
  const int result = MultiByteToWideChar(codePage, flags, bytes, count, size == 0 ? nullptr : buffer, size);
  const DWORD error = GetLastError();
  return {result, std::wstring(buffer, static_cast<std::size_t>(result > 0 && size != 0 ? result : 0)), error};
}

TEST_F(Conformance, WideCharToMultiByteBuffersAndLengths) {
  {
    // Windows: with a length of -1 the size counts the terminating NUL; a
    // buffer of that size or larger gets the text (Wine
    // dlls/kernel32/tests/codepage.c, test_destination_buffer).
    Behaviour b("WideCharToMultiByte", "-1 counts the NUL; a buffer of that size or more is filled");
    const int needed = WideCharToMultiByte(CP_ACP, 0, kFoobar, -1, nullptr, 0, nullptr, nullptr);
    EXPECT_EQ(needed, 7);
    EXPECT_EQ(Narrow(CP_ACP, 0, kFoobar, -1, needed).result, 7);
    EXPECT_EQ(Narrow(CP_ACP, 0, kFoobar, -1, needed + 1).bytes, std::string("foobar", 7));
  }
  {
    // Windows: a buffer too small fails with ERROR_INSUFFICIENT_BUFFER
    // (codepage.c, test_destination_buffer).
    Behaviour b("WideCharToMultiByte", "a buffer too small: ERROR_INSUFFICIENT_BUFFER");
    for (const int size : {6, 1}) {
      const Narrowed n = Narrow(CP_ACP, 0, kFoobar, -1, size);
      EXPECT_EQ(n.result, 0);
      EXPECT_EQ(n.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    }
  }
  {
    // Windows: no buffer with a size, or no source, is
    // ERROR_INVALID_PARAMETER (codepage.c, test_destination_buffer,
    // test_null_source and test_other_invalid_parameters).
    Behaviour b("WideCharToMultiByte", "no buffer with a size, or no source: ERROR_INVALID_PARAMETER");
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kFoobar, -1, nullptr, 7, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    for (const int count : {0, -1}) {
      SetLastError(0);
      EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, nullptr, count, nullptr, 0, nullptr, nullptr), 0);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
  }
  {
    // Windows: a source length of 0 is ERROR_INVALID_PARAMETER (codepage.c,
    // test_other_invalid_parameters).
    Behaviour b("WideCharToMultiByte", "a source length of 0: ERROR_INVALID_PARAMETER");
    const Narrowed n = Narrow(CP_ACP, 0, kFoobar, 0, 10, false);
    EXPECT_EQ(n.result, 0);
    EXPECT_EQ(n.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  {
    // Windows: any negative source length works as -1, and the last error is
    // left alone (codepage.c, test_negative_source_length).
    Behaviour b("WideCharToMultiByte", "a negative length other than -1 works as -1");
    const Narrowed n = Narrow(CP_ACP, 0, kFoobar, -2002, 10, false);
    EXPECT_EQ(n.result, 7);
    EXPECT_EQ(n.bytes, std::string("foobar", 7));
    EXPECT_EQ(n.error, 0xdeadbeefu);
  }
  {
    // Windows: a negative buffer size is ERROR_INVALID_PARAMETER; INT_MAX is
    // taken as it is (codepage.c, test_negative_dest_length).
    Behaviour b("WideCharToMultiByte", "a negative buffer size: ERROR_INVALID_PARAMETER; INT_MAX works");
    char buffer[16];
    for (const int size : {-1, -1000}) {
      SetLastError(0xdeadbeef);
      EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kFoobar, -1, buffer, size, nullptr, nullptr), 0);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kFoobar, -1, buffer, INT_MAX, nullptr, nullptr), 7);
    EXPECT_STREQ(buffer, "foobar");
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
  }
  {
    // Windows: source and destination may overlap (codepage.c,
    // test_overlapped_buffers); they may not be one buffer (Microsoft docs,
    // WideCharToMultiByte).
    Behaviour b("WideCharToMultiByte", "overlapping buffers work; the same buffer is ERROR_INVALID_PARAMETER");
    alignas(wchar_t) char buffer[256];
    const wchar_t text[] = L"just a test";
    std::memcpy(buffer + sizeof(wchar_t), text, sizeof text);
    SetLastError(0xdeadbeef);
    const auto* source = reinterpret_cast<const wchar_t*>(buffer + sizeof(wchar_t));
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, source, -1, buffer, sizeof buffer, nullptr, nullptr), 12);
    EXPECT_STREQ(buffer, "just a test");
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    wchar_t same[8] = L"abc";
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, same, -1, reinterpret_cast<char*>(same), sizeof same, nullptr, nullptr),
              0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
}

TEST_F(Conformance, WideCharToMultiByteDefaultCharacters) {
  const wchar_t withRussian[] = {L'T', L'h', 1088, L'i', 0};
  {
    // Windows: a character 1252 has converts, lpUsedDefaultChar FALSE; one it
    // lacks (and has no best fit for) becomes '?', TRUE; the last error is
    // left alone (codepage.c, test_string_conversion).
    Behaviour b("WideCharToMultiByte", "1252: a known character converts; a lacking one is '?' and reported");
    const wchar_t aUmlaut = 228;
    const wchar_t russian = 1088;
    Narrowed n = Narrow(1252, 0, &aUmlaut, 1, 1);
    EXPECT_EQ(n.bytes, "\xe4");
    EXPECT_FALSE(n.usedDefault);
    EXPECT_EQ(n.error, 0xdeadbeefu);
    n = Narrow(1252, 0, &russian, 1, 1);
    EXPECT_EQ(n.bytes, "?");
    EXPECT_TRUE(n.usedDefault);
    EXPECT_EQ(n.error, 0xdeadbeefu);
  }
  {
    // Windows: a buffer too small gets what fits and fails;
    // lpUsedDefaultChar speaks of what was written (codepage.c,
    // test_string_conversion: 'T' written, the '?' not reached).
    Behaviour b("WideCharToMultiByte", "a short buffer gets what fits; the default reported for that only");
    const Narrowed n = Narrow(1252, 0, withRussian, -1, 1);
    EXPECT_EQ(n.result, 0);
    EXPECT_EQ(n.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(n.usedDefault);
    char first = 0;
    WideCharToMultiByte(1252, 0, withRussian, -1, &first, 1, nullptr, nullptr);
    EXPECT_EQ(first, 'T');
  }
  {
    // Windows: no NUL is added when the count leaves it out; a size query
    // reports the default character too (codepage.c,
    // test_string_conversion).
    Behaviour b("WideCharToMultiByte", "no NUL added; a size query reports the default character");
    Narrowed n = Narrow(1252, 0, withRussian, 3, 10);
    EXPECT_EQ(n.result, 3);
    EXPECT_EQ(n.bytes, "Th?");
    EXPECT_TRUE(n.usedDefault);
    n = Narrow(1252, 0, withRussian, -1, 0);
    EXPECT_EQ(n.result, 5);
    EXPECT_TRUE(n.usedDefault);
  }
  {
    // Windows: Chinese characters in 1252 become '?' each (codepage.c,
    // test_string_conversion).
    Behaviour b("WideCharToMultiByte", "Chinese characters in 1252 are one '?' each");
    const wchar_t chinese[] = {28953, 25152, 0};
    const Narrowed n = Narrow(1252, 0, chinese, 3, 10);
    EXPECT_EQ(n.bytes, std::string("??\0", 3));
    EXPECT_TRUE(n.usedDefault);
  }
  {
    // Windows: a double-byte character never goes half into a buffer: one
    // byte of room fails with ERROR_INSUFFICIENT_BUFFER and writes nothing
    // (codepage.c, test_string_conversion, in code page 950 as in 936).
    Behaviour b("WideCharToMultiByte", "936: a double-byte character is never cut in half");
    const wchar_t zhong = 0x4E2D;
    char buffer[2] = {'x', 'x'};
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WideCharToMultiByte(936, 0, &zhong, 1, buffer, 1, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(Narrow(936, 0, &zhong, 1, 0).result, 2);
  }
  {
    // Windows: lpDefaultChar is the character used for what the code page
    // lacks; in a double-byte code page a lead and a trail byte (Microsoft
    // docs, WideCharToMultiByte).
    Behaviour b("WideCharToMultiByte", "a two-byte default character in 936");
    const wchar_t thai[] = {L'A', 0x0E01, L'B'};
    const Narrowed n = Narrow(936, 0, thai, 3, 10, true, "\xA1\xA1");
    EXPECT_EQ(n.bytes,
              "A\xA1\xA1"
              "B");
    EXPECT_TRUE(n.usedDefault);
    EXPECT_EQ(Narrow(1252, 0, thai, 3, 10, true, "#").bytes, "A#B");
  }
}

TEST_F(Conformance, WideCharToMultiByteFlags) {
  const wchar_t latin[] = {0x0100, 0x0108, 0x0141, 0xFF21};  // A-macron, C-circumflex, L-stroke, fullwidth A
  {
    // Windows: without WC_NO_BEST_FIT_CHARS, characters 1252 lacks become a
    // look-alike from its best-fit table, not the default character
    // (Microsoft docs, WideCharToMultiByte; Microsoft's bestfit1252.txt).
    Behaviour b("WideCharToMultiByte", "1252 best fit: look-alikes, no default character reported");
    const Narrowed n = Narrow(1252, 0, latin, 4, 10);
    EXPECT_EQ(n.bytes, "ACLA");
    EXPECT_FALSE(n.usedDefault);
  }
  {
    // Windows: WC_NO_BEST_FIT_CHARS turns them into the default character
    // (Microsoft docs, WideCharToMultiByte).
    Behaviour b("WideCharToMultiByte", "WC_NO_BEST_FIT_CHARS: the default character instead");
    const Narrowed n = Narrow(1252, WC_NO_BEST_FIT_CHARS, latin, 4, 10);
    EXPECT_EQ(n.bytes, "????");
    EXPECT_TRUE(n.usedDefault);
  }
  const wchar_t composed[] = {L'e', 0x0301};
  const wchar_t uncomposable[] = {L'q', 0x0301};
  {
    // Windows: WC_COMPOSITECHECK turns a base character and its nonspacing
    // mark into the precomposed character (Microsoft docs,
    // WideCharToMultiByte).
    Behaviour b("WideCharToMultiByte", "WC_COMPOSITECHECK composes e + acute into e-acute");
    EXPECT_EQ(Narrow(1252, WC_COMPOSITECHECK, composed, 2, 10).bytes, "\xe9");
    EXPECT_EQ(Narrow(936, WC_COMPOSITECHECK, composed, 2, 10).bytes, "\xa8\xa6");
  }
  {
    // Windows: with no precomposed form, WC_SEPCHARS (the default) converts
    // both, WC_DISCARDNS drops the mark, WC_DEFAULTCHAR gives the default
    // character for the pair (Microsoft docs, WideCharToMultiByte, remarks).
    Behaviour b("WideCharToMultiByte", "no precomposed form: WC_SEPCHARS, WC_DISCARDNS, WC_DEFAULTCHAR");
    constexpr DWORD kCheck = WC_COMPOSITECHECK | WC_NO_BEST_FIT_CHARS;
    EXPECT_EQ(Narrow(1252, kCheck | WC_SEPCHARS, uncomposable, 2, 10).bytes, "q?");
    EXPECT_EQ(Narrow(1252, kCheck, uncomposable, 2, 10).bytes, "q?");
    EXPECT_EQ(Narrow(1252, kCheck | WC_DISCARDNS, uncomposable, 2, 10).bytes, "q");
    const Narrowed n = Narrow(1252, kCheck | WC_DEFAULTCHAR, uncomposable, 2, 10);
    EXPECT_EQ(n.bytes, "?");
    EXPECT_TRUE(n.usedDefault);
  }
  {
    // Windows: WC_DISCARDNS, WC_SEPCHARS and WC_DEFAULTCHAR go only with
    // WC_COMPOSITECHECK; WC_ERR_INVALID_CHARS only with UTF-8; an unknown
    // flag is refused: ERROR_INVALID_FLAGS (Microsoft docs,
    // WideCharToMultiByte).
    Behaviour b("WideCharToMultiByte", "flags out of place: ERROR_INVALID_FLAGS");
    for (const DWORD flags : {WC_DISCARDNS, WC_SEPCHARS, WC_DEFAULTCHAR, WC_ERR_INVALID_CHARS, 0x2u}) {
      const Narrowed n = Narrow(1252, flags, kFoobar, -1, 10, false);
      EXPECT_EQ(n.result, 0) << flags;
      EXPECT_EQ(n.error, static_cast<DWORD>(ERROR_INVALID_FLAGS)) << flags;
    }
  }
}

TEST_F(Conformance, WideCharToMultiByteUtf8) {
  const wchar_t lone[] = {L'A', static_cast<wchar_t>(0xD800), L'B'};
  {
    // Windows: for UTF-8 lpDefaultChar and lpUsedDefaultChar must be NULL,
    // else ERROR_INVALID_PARAMETER (codepage.c, test_other_invalid_parameters;
    // Microsoft docs, WideCharToMultiByte).
    Behaviour b("WideCharToMultiByte", "UTF-8 with a default-character pointer: ERROR_INVALID_PARAMETER");
    BOOL used = FALSE;
    char buffer[16];
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kFoobar, 7, buffer, 16, "?", nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, kFoobar, 7, buffer, 16, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  {
    // Windows: for UTF-8 dwFlags is 0 or WC_ERR_INVALID_CHARS, else
    // ERROR_INVALID_FLAGS (Microsoft docs, WideCharToMultiByte).
    Behaviour b("WideCharToMultiByte", "UTF-8 with other flags: ERROR_INVALID_FLAGS");
    for (const DWORD flags : {WC_NO_BEST_FIT_CHARS, WC_COMPOSITECHECK, WC_ERR_INVALID_CHARS | WC_NO_BEST_FIT_CHARS}) {
      const Narrowed n = Narrow(CP_UTF8, flags, kFoobar, -1, 10, false);
      EXPECT_EQ(n.result, 0) << flags;
      EXPECT_EQ(n.error, static_cast<DWORD>(ERROR_INVALID_FLAGS)) << flags;
    }
  }
  {
    // Windows: UTF-8 replaces an unpaired surrogate with U+FFFD; with
    // WC_ERR_INVALID_CHARS the call fails with ERROR_NO_UNICODE_TRANSLATION
    // (Microsoft docs, WideCharToMultiByte).
    Behaviour b("WideCharToMultiByte", "UTF-8: an unpaired surrogate is U+FFFD, or fails with WC_ERR_INVALID_CHARS");
    EXPECT_EQ(Narrow(CP_UTF8, 0, lone, 3, 10, false).bytes,
              "A\xEF\xBF\xBD"
              "B");
    const Narrowed n = Narrow(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 3, 10, false);
    EXPECT_EQ(n.result, 0);
    EXPECT_EQ(n.error, static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(Narrow(CP_UTF8, WC_ERR_INVALID_CHARS, kFoobar, -1, 10, false).result, 7);
  }
  {
    // Windows: UTF-8 writes one to four bytes per character, four for a
    // character beyond U+FFFF (a surrogate pair on Windows, one wchar_t
    // here) (Microsoft docs, Code Page Identifiers: 65001, UTF-8).
    Behaviour b("WideCharToMultiByte", "UTF-8 lengths: 1, 2, 3 and 4 bytes");
    const wchar_t text[] = {L'A', 0x00E9, 0x4E2D, static_cast<wchar_t>(0x1F5A8)};
    EXPECT_EQ(Narrow(CP_UTF8, 0, text, 4, 20, false).bytes, "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x96\xA8");
  }
  {
    // Windows: CP_ACP is the system code page GetACP gives, UTF-8 included;
    // CP_THREAD_ACP the thread's (codepage.c, test_threadcp; Microsoft docs,
    // GetACP).
    Behaviour b("GetACP", "gives the system code page, which CP_ACP converts with; 65001 included");
    machine.SetCodePages(CP_UTF8, 936);
    EXPECT_EQ(GetACP(), CP_UTF8);
    const wchar_t eAcute = 0x00E9;
    EXPECT_EQ(Narrow(CP_ACP, 0, &eAcute, 1, 10, false).bytes, "\xC3\xA9");
    EXPECT_EQ(Narrow(CP_THREAD_ACP, 0, &eAcute, 1, 10, false).bytes, "\xA8\xA6");
    machine.SetCodePages(1252, 1252);
    EXPECT_EQ(GetACP(), 1252u);
  }
}

TEST_F(Conformance, MultiByteToWideChar) {
  {
    // Windows: any negative length works as -1; with -1 a buffer without
    // room for the NUL fails with ERROR_INSUFFICIENT_BUFFER (codepage.c,
    // test_negative_source_length).
    Behaviour b("MultiByteToWideChar", "a negative length works as -1; no room for the NUL fails");
    const Widened w = Widen(CP_ACP, 0, "foobar", -2002, 10);
    EXPECT_EQ(w.result, 7);
    EXPECT_EQ(w.text, std::wstring(L"foobar", 7));
    EXPECT_EQ(w.error, 0xdeadbeefu);
    const Widened short6 = Widen(CP_ACP, 0, "foobar", -1, 6);
    EXPECT_EQ(short6.result, 0);
    EXPECT_EQ(short6.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  }
  {
    // Windows: a length of 0, or no buffer with a size, is
    // ERROR_INVALID_PARAMETER (codepage.c, test_other_invalid_parameters).
    Behaviour b("MultiByteToWideChar", "length 0, or no buffer with a size: ERROR_INVALID_PARAMETER");
    EXPECT_EQ(Widen(CP_ACP, 0, "Hello World", 0).error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "Hello World", 12, nullptr, 12), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  {
    // Windows: byte 0x90 of 1252 is a character (U+0090), also with
    // MB_ERR_INVALID_CHARS; 0xFF is none in 936: '?' without the flag,
    // ERROR_NO_UNICODE_TRANSLATION with it (codepage.c,
    // test_undefined_byte_char).
    Behaviour b("MultiByteToWideChar", "undefined bytes: 1252 0x90 is a character, 936 0xFF is none");
    EXPECT_EQ(Widen(1252, MB_ERR_INVALID_CHARS, "\x90", -1).text, std::wstring(L"\x0090", 2));
    EXPECT_EQ(Widen(936, 0, "\xff", -1).result, 2);
    const Widened w = Widen(936, MB_ERR_INVALID_CHARS, "\xff", -1);
    EXPECT_EQ(w.result, 0);
    EXPECT_EQ(w.error, static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  }
  {
    // Windows: 936 reads a lead and a trail byte as one character, with any
    // of MB_PRECOMPOSED, MB_COMPOSITE and MB_USEGLYPHCHARS; a lead byte with
    // no trail byte is '?', or fails with MB_ERR_INVALID_CHARS; a NUL after a
    // lead byte is read on its own (codepage.c, test_dbcs_to_widechar).
    Behaviour b("MultiByteToWideChar", "936: double-byte characters and a lone lead byte");
    const char bytes[] = {'\xbf', '\xb4', '\xc7', '\0', 'x'};
    for (const DWORD flags : {MB_PRECOMPOSED, MB_COMPOSITE, MB_PRECOMPOSED | MB_USEGLYPHCHARS}) {
      EXPECT_EQ(Widen(936, flags, bytes, 2).text, L"\x770b") << flags;
      EXPECT_EQ(Widen(936, flags, bytes, 3).text, L"\x770b?") << flags;
      EXPECT_EQ(Widen(936, flags, bytes, 5).text, std::wstring(L"\x770b?\0x", 4)) << flags;
      const Widened w = Widen(936, flags | MB_ERR_INVALID_CHARS, bytes, 3);
      EXPECT_EQ(w.result, 0) << flags;
      EXPECT_EQ(w.error, static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION)) << flags;
    }
  }
  {
    // Windows: MB_COMPOSITE gives decomposed characters: base character and
    // nonspacing mark (Microsoft docs, MultiByteToWideChar).
    Behaviour b("MultiByteToWideChar", "MB_COMPOSITE: e-acute becomes e + acute");
    EXPECT_EQ(Widen(1252, MB_COMPOSITE, "caf\xe9", 4).text, L"cafe\x0301");
  }
  {
    // Windows: MB_USEGLYPHCHARS gives glyphs for control characters, as
    // U+263A for 0x01 (Microsoft docs, MultiByteToWideChar).
    NotModelled b("MultiByteToWideChar", "MB_USEGLYPHCHARS gives glyphs for control characters",
                  "the glyph table is not simulated; the flag is accepted and changes nothing");
    EXPECT_EQ(Widen(1252, MB_USEGLYPHCHARS, "\x01", 1).text, L"\x263a");
  }
  {
    // Windows: for UTF-8 dwFlags is 0 or MB_ERR_INVALID_CHARS, else
    // ERROR_INVALID_FLAGS (Microsoft docs, MultiByteToWideChar).
    Behaviour b("MultiByteToWideChar", "UTF-8 with other flags: ERROR_INVALID_FLAGS");
    for (const DWORD flags : {MB_PRECOMPOSED, MB_COMPOSITE, MB_USEGLYPHCHARS}) {
      EXPECT_EQ(Widen(CP_UTF8, flags, "a", 1).error, static_cast<DWORD>(ERROR_INVALID_FLAGS)) << flags;
    }
  }
  {
    // Windows: UTF-8 reads one to four bytes per character (one wchar_t here
    // for a character beyond U+FFFF); an ill-formed sequence becomes U+FFFD,
    // or fails with MB_ERR_INVALID_CHARS and ERROR_NO_UNICODE_TRANSLATION,
    // an encoded surrogate included (Microsoft docs, MultiByteToWideChar).
    Behaviour b("MultiByteToWideChar", "UTF-8: characters, U+FFFD, and MB_ERR_INVALID_CHARS");
    EXPECT_EQ(Widen(CP_UTF8, 0, "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x96\xA8", 10).text,
              (std::wstring{L'A', 0xE9, 0x4E2D, static_cast<wchar_t>(0x1F5A8)}));
    EXPECT_EQ(Widen(CP_UTF8, 0,
                    "A\xFF"
                    "B",
                    3)
                  .text,
              L"A\xFFFD"
              "B");
    for (const char* bad : {"A\xFF", "\xED\xA0\x80", "\xC0\xAF", "\xE4\xB8"}) {
      const Widened w = Widen(CP_UTF8, MB_ERR_INVALID_CHARS, bad, -1);
      EXPECT_EQ(w.result, 0) << bad;
      EXPECT_EQ(w.error, static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION)) << bad;
    }
  }
}

}  // namespace
}  // namespace conformance
