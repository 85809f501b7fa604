#include "common/diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "common/wide_text.h"
#include "platform/win32_api.h"

namespace {

// Formats into a diagnostic buffer, cutting off what does not fit. Text that
// cannot be formatted at all is replaced by a line that says so, so that a
// diagnostic is never silently lost.
void FormatDiagnosticArgs(DiagnosticLine& line, const char* format, std::va_list args) SPOOLSYNC_PRINTF_FORMAT(2, 0);
void FormatDiagnosticArgs(DiagnosticLine& line, const char* format, std::va_list args) {
  const int written = std::vsnprintf(line, sizeof line, format, args);
  if (written < 0) std::snprintf(line, sizeof line, "%s", kUnformattableDiagnostic);
}

}  // namespace

void FormatDiagnostic(DiagnosticLine& line, const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  FormatDiagnosticArgs(line, format, args);
  va_end(args);
}

void FormatWideDiagnostic(DiagnosticLine& line, const char* prefix, std::wstring_view text, const char* suffix) {
  const std::optional<std::string> narrow = NarrowSystemCodePage(text);
  if (!narrow) {
    std::snprintf(line, sizeof line, "%s", kUnformattableDiagnostic);
    return;
  }
  FormatDiagnostic(line, "%s%s%s", prefix, narrow->c_str(), suffix);
}

void DebugLog(const char* format, ...) {
  DiagnosticLine line;
  std::va_list args;
  va_start(args, format);
  FormatDiagnosticArgs(line, format, args);
  va_end(args);
  OutputDebugStringA(line);
}

void DebugLogWide(const char* prefix, std::wstring_view text, const char* suffix) {
  DiagnosticLine line;
  FormatWideDiagnostic(line, prefix, text, suffix);
  OutputDebugStringA(line);
}

void ConsoleMessage(const char* text) {
  DiagnosticLine line;
  std::snprintf(line, sizeof line, "%s", text);
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;  // a service has no standard output
  DWORD written = 0;
  WriteFile(output, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
}
