// Event log calls of the simulated machine: event sources registered in
// the registry, and the entries programs report, each shown on the timeline.
#include <cstdio>
#include <string>

#include "platform/sim/machine_state.h"

namespace sim {

namespace {

// Entries are kept in the Application log; a source is registered there by
// its key with the file that holds its messages.
constexpr char kSecurityLog[] = "Security";

const char* TypeName(WORD type) {
  switch (type) {
    case EVENTLOG_SUCCESS:
      return "success";
    case EVENTLOG_ERROR_TYPE:
      return "error";
    case EVENTLOG_WARNING_TYPE:
      return "warning";
    case EVENTLOG_INFORMATION_TYPE:
      return "information";
    case EVENTLOG_AUDIT_SUCCESS:
      return "audit-success";
    case EVENTLOG_AUDIT_FAILURE:
      return "audit-failure";
    default:
      return nullptr;
  }
}

bool SourceRegistered(const MachineState& m, const std::wstring& source) {
  const auto key = m.registry.keys.find(Registry::Normalize(Machine::EventLogSourceKeyPath(source)));
  return key != m.registry.keys.end() && key->second.contains(Registry::Normalize("EventMessageFile"));
}

// An insert as the timeline shows it: in double quotes, a quote or a
// backslash escaped, a character beyond ASCII as \uXXXX.
std::string Quoted(std::wstring_view text) {
  std::string out = "\"";
  for (const wchar_t c : text) {
    if (c == L'"' || c == L'\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escape[16];
      std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
      out += escape;
    }
  }
  return out + '"';
}

}  // namespace

}  // namespace sim

using sim::Current;

// Windows: a remote server that cannot be reached fails with
// RPC_S_SERVER_UNAVAILABLE, no source name with ERROR_INVALID_PARAMETER
// (Wine dlls/advapi32/tests/eventlog.c, test_open_close, for OpenEventLog);
// the Security log is refused with ERROR_ACCESS_DENIED; a source that is not
// registered is still given a handle, and its entries go to the Application
// log without their messages (Microsoft docs, RegisterEventSourceW).
HANDLE WINAPI RegisterEventSourceW(LPCWSTR uncServerName, LPCWSTR sourceName) {
  sim::EnterCall(__func__);
  auto& m = Current();
  if (uncServerName != nullptr && *uncServerName != L'\0') {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);  // only the local machine is simulated
    return nullptr;
  }
  if (sourceName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (sim::EqualNoCase(sourceName, sim::Widen(sim::kSecurityLog))) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return m.handles.Add(sim::EventSourceObject{sourceName});
}

// Windows: a handle that is not an event source fails with
// ERROR_INVALID_HANDLE (Microsoft docs, DeregisterEventSource).
BOOL WINAPI DeregisterEventSource(HANDLE eventLog) {
  sim::EnterCall(__func__);
  auto& m = Current();
  if (m.handles.Find<sim::EventSourceObject>(eventLog) == nullptr) return sim::Fail(ERROR_INVALID_HANDLE);
  m.handles.Remove(eventLog);
  return TRUE;
}

// Windows: the entry is written whether or not the source is registered
// (the event viewer then cannot show its message); a handle that is not an
// event source fails with ERROR_INVALID_HANDLE; an event type that is none
// of the six fails with ERROR_CRC on Windows 7 and is taken by other
// versions (Microsoft docs, ReportEventW; Wine dlls/advapi32/tests/eventlog.c,
// test_readwrite). The simulation takes Windows 7's answer, and refuses a
// missing insert array or insert with ERROR_INVALID_PARAMETER (what Windows
// does there was not measured).
BOOL WINAPI ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID, WORD numStrings, DWORD,
                         LPCWSTR* strings, LPVOID) {
  sim::EnterCall(__func__);
  auto& m = Current();
  const sim::EventSourceObject* source = m.handles.Find<sim::EventSourceObject>(eventLog);
  if (source == nullptr) return sim::Fail(ERROR_INVALID_HANDLE);
  const char* typeName = sim::TypeName(type);
  if (typeName == nullptr) return sim::Fail(ERROR_CRC);
  if (numStrings != 0 && strings == nullptr) return sim::Fail(ERROR_INVALID_PARAMETER);
  sim::EventLogEntry entry{m.Now(), source->source, type, eventId, {}, sim::SourceRegistered(m, source->source)};
  std::string line = std::string(typeName) + " " + std::to_string(entry.ShownId());
  for (WORD i = 0; i < numStrings; ++i) {
    if (strings[i] == nullptr) return sim::Fail(ERROR_INVALID_PARAMETER);
    entry.inserts.emplace_back(strings[i]);
    line += " " + sim::Quoted(entry.inserts.back());
  }
  if (category != 0) line += " (category " + std::to_string(category) + ")";
  if (!entry.sourceRegistered) {
    line += "  [source " + sim::Narrow(entry.source) + " is not registered: no EventMessageFile under HKLM\\" +
            sim::Machine::EventLogSourceKeyPath(entry.source) + "]";
  }
  m.eventLog.push_back(std::move(entry));
  m.Log(sim::TraceEntry::Channel::Event, line);
  return TRUE;
}
