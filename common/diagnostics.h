// The service's diagnostic output: the debugger channel and standard output.
#pragma once

#include <cstddef>

#if defined(__GNUC__) || defined(__clang__)
#define SPOOLSYNC_PRINTF_FORMAT(formatIndex, firstArg) __attribute__((format(printf, formatIndex, firstArg)))
#else
#define SPOOLSYNC_PRINTF_FORMAT(formatIndex, firstArg)
#endif
// For functions that take a va_list: the format is checked where the
// arguments are given.
#define SPOOLSYNC_VPRINTF_FORMAT(formatIndex) SPOOLSYNC_PRINTF_FORMAT(formatIndex, 0)

// Every diagnostic line is formatted into a buffer of this many bytes
// (terminating NUL included); longer text is cut off at the buffer's end.
inline constexpr std::size_t kDiagnosticBufferSize = 100;

// Formats with printf rules and sends the text to the debugger channel.
void DebugLog(const char* format, ...) SPOOLSYNC_PRINTF_FORMAT(1, 2);

// Writes `text` to standard output, cut off like a diagnostic line. The text
// is written as it stands: it is never used as a format.
void ConsoleMessage(const char* text);

// Formats into `buffer` of `size` bytes. Returns false, leaving an empty
// string, when the result does not fit or cannot be formatted (for example
// wide text that does not narrow); the buffer is always NUL-terminated.
bool FormatBounded(char* buffer, std::size_t size, const char* format, ...) SPOOLSYNC_PRINTF_FORMAT(3, 4);
