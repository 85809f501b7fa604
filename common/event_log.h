// What the service did, in the Windows Event Log.
//
// The entries are those of the message table compiled into spoolsync.exe
// from windows/messages.mc (source "spoolsync", Application log): each id
// below is an entry there, with the same type and the same number of
// inserts (tests/event_log_test.cpp compares the two, and the Windows build
// compares the ids with the message compiler's header). An entry is written
// once per change of state, never per status pass.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "platform/win32_api.h"

// The event source, as installers register it under
// HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application.
inline constexpr wchar_t kEventSourceName[] = L"spoolsync";

// The ids an administrator sees in the event viewer.
enum class ServiceEvent : DWORD {
  ServiceStarted = 100,      // information: %1 the queue's port
  ServiceStopped = 101,      // information: %1 why it stopped
  PrinterUnplugged = 110,    // information: %1 the printer's device path
  PrinterBack = 111,         // information: %1 the printer's device path
  QueueRebound = 120,        // information: %1 the old port, %2 the new port, %3 what the Spooler did
  SpoolerStarted = 130,      // information: the Spooler start owed since 202 was made
  OfflineSet = 131,          // information: the offline status owed since 204 reached the queue
  SpoolerBack = 132,         // information: the Spooler runs again after 302
  QueueMissing = 200,        // warning: %1 Win32 error, %2 its text
  SpoolerStopRefused = 201,  // warning: %1 Win32 error, %2 its text, %3 the queue's new port
  SpoolerStartOwed = 202,    // warning
  PrinterRecordsLate = 203,  // warning: %1 the printer's device path, %2 seconds waited
  OfflineNotSet = 204,       // warning: %1 Win32 error, %2 its text
  RebindFailed = 300,        // error: %1 the port, %2 Win32 error, %3 its text
  PortWritesRefused = 301,   // error: %1 the port, %2 attempts, %3 Win32 error, %4 its text
  SpoolerNotBack = 302,      // error: %1 the Spooler's state, %2 Win32 error, %3 its text
};

struct ServiceEventDefinition {
  ServiceEvent id;
  WORD type;  // EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE or EVENTLOG_ERROR_TYPE
  std::size_t inserts;
};

inline constexpr ServiceEventDefinition kServiceEvents[] = {
    {ServiceEvent::ServiceStarted, EVENTLOG_INFORMATION_TYPE, 1},
    {ServiceEvent::ServiceStopped, EVENTLOG_INFORMATION_TYPE, 1},
    {ServiceEvent::PrinterUnplugged, EVENTLOG_INFORMATION_TYPE, 1},
    {ServiceEvent::PrinterBack, EVENTLOG_INFORMATION_TYPE, 1},
    {ServiceEvent::QueueRebound, EVENTLOG_INFORMATION_TYPE, 3},
    {ServiceEvent::SpoolerStarted, EVENTLOG_INFORMATION_TYPE, 0},
    {ServiceEvent::OfflineSet, EVENTLOG_INFORMATION_TYPE, 0},
    {ServiceEvent::SpoolerBack, EVENTLOG_INFORMATION_TYPE, 0},
    {ServiceEvent::QueueMissing, EVENTLOG_WARNING_TYPE, 2},
    {ServiceEvent::SpoolerStopRefused, EVENTLOG_WARNING_TYPE, 3},
    {ServiceEvent::SpoolerStartOwed, EVENTLOG_WARNING_TYPE, 0},
    {ServiceEvent::PrinterRecordsLate, EVENTLOG_WARNING_TYPE, 2},
    {ServiceEvent::OfflineNotSet, EVENTLOG_WARNING_TYPE, 2},
    {ServiceEvent::RebindFailed, EVENTLOG_ERROR_TYPE, 3},
    {ServiceEvent::PortWritesRefused, EVENTLOG_ERROR_TYPE, 4},
    {ServiceEvent::SpoolerNotBack, EVENTLOG_ERROR_TYPE, 3},
};

constexpr const ServiceEventDefinition& DefinitionOf(ServiceEvent id) {
  for (const ServiceEventDefinition& definition : kServiceEvents) {
    if (definition.id == id) return definition;
  }
  throw "an event without a definition";  // only reachable in constant evaluation, where it stops the build
}

// The id reported to ReportEventW: the message table's own, the severity
// (informational 1, warning 2, error 3) in its top two bits, as the message
// compiler numbers an entry; the event viewer shows its low 16 bits.
constexpr DWORD MessageIdOf(ServiceEvent id) {
  const WORD type = DefinitionOf(id).type;
  const DWORD severity = type == EVENTLOG_ERROR_TYPE ? 3u : type == EVENTLOG_WARNING_TYPE ? 2u : 1u;
  return (severity << 30) | static_cast<DWORD>(id);
}

// Registers the service's event source; at the service's start, before any
// other thread of the service runs. A source that cannot be registered
// leaves the entries unwritten.
void OpenServiceEventLog();

// Deregisters it; at the end, once the service has reported STOPPED. Entries
// reported afterwards are not written.
void CloseServiceEventLog();

// Writes entry `id` with its inserts (wide text; numbers formatted by the
// caller). Safe from any thread, also while another opens or closes the
// source. Returns whether the entry was written.
bool ReportServiceEventInserts(ServiceEvent id, std::span<const std::wstring> inserts);

// Writes entry Id with exactly the inserts its message has, checked when
// compiling: ReportServiceEvent<ServiceEvent::QueueRebound>(oldPort, newPort).
template <ServiceEvent Id, typename... Inserts>
bool ReportServiceEvent(const Inserts&... inserts) {
  static_assert(sizeof...(Inserts) == DefinitionOf(Id).inserts, "the message of this entry has another insert count");
  const std::array<std::wstring, sizeof...(Inserts)> texts = {std::wstring(std::wstring_view(inserts))...};
  return ReportServiceEventInserts(Id, texts);
}

// The system's text for a Win32 error, without its trailing line break; for
// a code the system has no text for, a sentence that says so.
std::wstring Win32ErrorText(DWORD error);
