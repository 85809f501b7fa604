#include "common/event_log.h"

#include <vector>

#include "common/scoped_lock.h"
#include "common/unique_resource.h"

namespace {

// The source is opened before the monitor thread exists and closed after it
// ended; the lock still guards it, since a monitor thread that outlives the
// stop's bound may report while the stop closes the source.
SRWLOCK sourceLock = SRWLOCK_INIT;
EventSource source;

// Longer than any system message text.
constexpr DWORD kErrorTextCapacity = 512;

}  // namespace

void OpenServiceEventLog() {
  HANDLE opened = RegisterEventSourceW(nullptr, kEventSourceName);
  const ExclusiveLock hold(sourceLock);
  source.Reset(opened);
}

void CloseServiceEventLog() {
  EventSource closing;
  {
    const ExclusiveLock hold(sourceLock);
    closing = std::move(source);
  }
}

bool ReportServiceEventInserts(ServiceEvent id, std::span<const std::wstring> inserts) {
  std::vector<LPCWSTR> strings;
  strings.reserve(inserts.size());
  for (const std::wstring& insert : inserts) strings.push_back(insert.c_str());
  const ExclusiveLock hold(sourceLock);
  if (!source) return false;
  return ReportEventW(source.Get(), DefinitionOf(id).type, 0, MessageIdOf(id), nullptr,
                      static_cast<WORD>(strings.size()), 0, strings.empty() ? nullptr : strings.data(),
                      nullptr) != FALSE;
}

std::wstring Win32ErrorText(DWORD error) {
  wchar_t text[kErrorTextCapacity];
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                      text, kErrorTextCapacity, nullptr);
  std::wstring trimmed(text, length);
  while (!trimmed.empty() && (trimmed.back() == L'\r' || trimmed.back() == L'\n' || trimmed.back() == L' ')) {
    trimmed.pop_back();
  }
  if (trimmed.empty()) return L"Windows has no text for this error code.";
  return trimmed;
}
