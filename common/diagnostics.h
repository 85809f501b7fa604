// The service's diagnostic output: the debugger channel and standard output.
//
// No format here takes wide text (%ls): how printf narrows it depends on the C
// runtime (MinGW's stops at the first character it cannot narrow and reports
// success, glibc's and MSVC's fail). Wide text goes through DebugLogWide,
// which narrows it the same way in every build.
#pragma once

#include <cstddef>
#include <string_view>

#if defined(__GNUC__) || defined(__clang__)
#define SPOOLSYNC_PRINTF_FORMAT(formatIndex, firstArg) __attribute__((format(printf, formatIndex, firstArg)))
#else
#define SPOOLSYNC_PRINTF_FORMAT(formatIndex, firstArg)
#endif

// Every diagnostic line is formatted into a buffer of this many bytes
// (terminating NUL included); longer text is cut off at the buffer's end.
inline constexpr std::size_t kDiagnosticBufferSize = 100;
using DiagnosticLine = char[kDiagnosticBufferSize];

// The line sent in place of one that cannot be formatted.
inline constexpr char kUnformattableDiagnostic[] = " (unformattable diagnostic)\n";

// Formats with printf rules into `line`, cut off at its end; a format that
// fails gives kUnformattableDiagnostic.
void FormatDiagnostic(DiagnosticLine& line, const char* format, ...) SPOOLSYNC_PRINTF_FORMAT(2, 3);

// `prefix`, `text` narrowed with the system code page and `suffix`, cut off
// at the end of `line`; kUnformattableDiagnostic when `text` does not narrow.
void FormatWideDiagnostic(DiagnosticLine& line, const char* prefix, std::wstring_view text, const char* suffix);

// Formats with printf rules and sends the text to the debugger channel.
void DebugLog(const char* format, ...) SPOOLSYNC_PRINTF_FORMAT(1, 2);

// Sends FormatWideDiagnostic's line to the debugger channel.
void DebugLogWide(const char* prefix, std::wstring_view text, const char* suffix);

// Writes `text` to standard output, cut off like a diagnostic line. The text
// is written as it stands: it is never used as a format. A process without
// standard output (a service) writes nothing.
void ConsoleMessage(const char* text);
