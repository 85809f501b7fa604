#include "common/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/win32_api.h"

namespace {

// Formats into a diagnostic buffer, cutting off what does not fit. Text that
// cannot be formatted at all is replaced by a line that says so, so that a
// diagnostic is never silently lost.
SPOOLSYNC_VPRINTF_FORMAT(2)
void FormatDiagnostic(char (&buffer)[kDiagnosticBufferSize], const char* format, std::va_list args) {
  const int written = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (written < 0) std::snprintf(buffer, sizeof buffer, " (unformattable diagnostic)\n");
}

}  // namespace

void DebugLog(const char* format, ...) {
  char buffer[kDiagnosticBufferSize];
  std::va_list args;
  va_start(args, format);
  FormatDiagnostic(buffer, format, args);
  va_end(args);
  OutputDebugStringA(buffer);
}

void ConsoleMessage(const char* text) {
  char buffer[kDiagnosticBufferSize];
  std::snprintf(buffer, sizeof buffer, "%s", text);
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;  // a service usually has no console
  DWORD written = 0;
  WriteFile(output, buffer, static_cast<DWORD>(std::strlen(buffer)), &written, nullptr);
}

bool FormatBounded(char* buffer, std::size_t size, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const int written = std::vsnprintf(buffer, size, format, args);
  va_end(args);
  if (written < 0 || static_cast<std::size_t>(written) >= size) {
    if (size > 0) buffer[0] = '\0';
    return false;
  }
  return true;
}
