// Print spooler calls of the simulated machine. Every call fails while the
// Spooler service is not running, and a handle opened before a restart of
// the Spooler is stale afterwards.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <optional>

#include "platform/sim/machine_state.h"

namespace sim {

SimQueue* Spooler::FindQueue(std::wstring_view name) {
  const auto it =
      std::find_if(queues.begin(), queues.end(), [&](const SimQueue& q) { return EqualNoCase(q.name, name); });
  return it == queues.end() ? nullptr : &*it;
}

bool Spooler::HasPort(std::wstring_view name) const {
  return std::any_of(ports.begin(), ports.end(), [&](const SimPort& p) { return EqualNoCase(p.name, name); });
}

std::vector<BYTE> DriverDevMode(std::wstring_view queueName) {
  // The driver's private part follows the public record.
  constexpr WORD kDriverExtra = 16;
  DEVMODEW settings = {};
  const std::size_t nameLength = std::min<std::size_t>(queueName.size(), CCHDEVICENAME - 1);
  std::wmemcpy(settings.dmDeviceName, queueName.data(), nameLength);
  settings.dmSpecVersion = DM_SPECVERSION;
  settings.dmDriverVersion = 0x0400;
  settings.dmSize = sizeof(DEVMODEW);
  settings.dmDriverExtra = kDriverExtra;
  settings.dmFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES;
  settings.dmOrientation = DMORIENT_PORTRAIT;
  settings.dmPaperSize = DMPAPER_A4;
  settings.dmCopies = 1;
  std::vector<BYTE> bytes(sizeof settings + kDriverExtra, 0x5A);
  std::memcpy(bytes.data(), &settings, sizeof settings);
  return bytes;
}

namespace {

constexpr wchar_t kDriverName[] = L"Generic / Text Only";
constexpr wchar_t kPrintProcessor[] = L"winprint";
constexpr wchar_t kDatatype[] = L"RAW";

// Lays records out the way the spooler does: fixed-size records first, the
// strings they point to packed after them.
class RecordWriter {
 public:
  RecordWriter(BYTE* buffer, std::size_t stringsOffset) : buffer_(buffer), next_(stringsOffset) {}
  static std::size_t StringSize(std::wstring_view text) { return (text.size() + 1) * sizeof(wchar_t); }
  LPWSTR Put(std::wstring_view text) {
    auto* target = reinterpret_cast<wchar_t*>(buffer_ + next_);
    std::memcpy(target, text.data(), text.size() * sizeof(wchar_t));
    target[text.size()] = L'\0';
    next_ += StringSize(text);
    return target;
  }

 private:
  BYTE* buffer_;
  std::size_t next_;
};

// Resolves a printer handle for a call, or sets the error the spooler gives.
SimQueue* QueueForCall(MachineState& m, HANDLE printer, PrinterObject** object = nullptr) {
  PrinterObject* open = m.handles.Find<PrinterObject>(printer);
  if (open == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!m.SpoolerUp()) {
    SetLastError(RPC_S_SERVER_UNAVAILABLE);
    return nullptr;
  }
  if (open->spoolerEpoch != m.scm.spooler.epoch) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  SimQueue* queue = m.spooler.FindQueue(open->queue);
  if (queue == nullptr) {
    SetLastError(ERROR_INVALID_PRINTER_NAME);
    return nullptr;
  }
  if (object != nullptr) *object = open;
  return queue;
}

void Record(MachineState& m, const std::wstring& queue, SpoolerCommand::Kind kind, DWORD value,
            const std::wstring& port, bool ok) {
  const DWORD error = ok ? 0 : GetLastError();
  m.spooler.journal.push_back({m.Now(), queue, kind, value, port, ok, error});
  std::string text = Narrow(queue) + " ";
  switch (kind) {
    case SpoolerCommand::Kind::Pause:
      text += "pause";
      break;
    case SpoolerCommand::Kind::Resume:
      text += "resume";
      break;
    case SpoolerCommand::Kind::SetStatus:
      text += "set status " + Hex(value);
      break;
    case SpoolerCommand::Kind::SetPort:
      text += "set port \"" + Narrow(port) + "\"";
      break;
    case SpoolerCommand::Kind::Other:
      text += "command " + std::to_string(value);
      break;
  }
  text += ok ? " -> ok" : " -> error " + std::to_string(error);
  m.Log(TraceEntry::Channel::Spooler, std::move(text));
}

BOOL ControlQueue(MachineState& m, HANDLE printer, LPBYTE info, DWORD command) {
  PrinterObject* open = nullptr;
  SimQueue* queue = QueueForCall(m, printer, &open);
  const std::wstring name = open != nullptr ? open->queue : std::wstring(L"?");
  SpoolerCommand::Kind kind = SpoolerCommand::Kind::Other;
  DWORD value = command;
  switch (command) {
    case PRINTER_CONTROL_PAUSE:
      kind = SpoolerCommand::Kind::Pause;
      break;
    case PRINTER_CONTROL_RESUME:
      kind = SpoolerCommand::Kind::Resume;
      break;
    case PRINTER_CONTROL_SET_STATUS:
      kind = SpoolerCommand::Kind::SetStatus;
      value = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(info));
      break;
    default:
      break;
  }
  if (queue == nullptr) {
    Record(m, name, kind, value, {}, false);
    return FALSE;
  }
  if ((open->access & PRINTER_ACCESS_ADMINISTER) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    Record(m, name, kind, value, {}, false);
    return FALSE;
  }
  switch (command) {
    case PRINTER_CONTROL_PAUSE:
      queue->paused = true;
      break;
    case PRINTER_CONTROL_RESUME:
      queue->paused = false;
      break;
    case PRINTER_CONTROL_PURGE:
      break;
    case PRINTER_CONTROL_SET_STATUS:
      queue->status = value;
      break;
    default:
      SetLastError(ERROR_INVALID_PRINTER_COMMAND);
      Record(m, name, kind, value, {}, false);
      return FALSE;
  }
  Record(m, name, kind, value, {}, true);
  return TRUE;
}

// The settings a level-2 write carries, whole with the driver's private
// part; nothing for a record too short or too long to be a DEVMODEW.
std::optional<std::vector<BYTE>> DevModeBytes(const DEVMODEW& settings) {
  constexpr std::size_t kShortest = offsetof(DEVMODEW, dmFields) + sizeof(DWORD);
  if (settings.dmSize < kShortest || settings.dmSize > sizeof(DEVMODEW)) return std::nullopt;
  const auto* bytes = reinterpret_cast<const BYTE*>(&settings);
  return std::vector<BYTE>(bytes, bytes + settings.dmSize + settings.dmDriverExtra);
}

// Windows: a level-2 write sets the queue's data from the whole record, its
// settings (pDevMode) with it when it carries them (Microsoft docs,
// SetPrinter and PRINTER_INFO_2).
BOOL WriteQueueInfo(MachineState& m, HANDLE printer, LPBYTE info, DWORD command) {
  PrinterObject* open = nullptr;
  SimQueue* queue = QueueForCall(m, printer, &open);
  const auto* record = reinterpret_cast<const PRINTER_INFO_2W*>(info);
  const std::wstring port = record != nullptr && record->pPortName != nullptr ? record->pPortName : L"";
  const std::wstring name = open != nullptr ? open->queue : std::wstring(L"?");
  const auto settings = record != nullptr && record->pDevMode != nullptr
                            ? DevModeBytes(*record->pDevMode)
                            : std::optional<std::vector<BYTE>>(std::vector<BYTE>());
  bool ok = false;
  if (queue == nullptr) {
    // error already set
  } else if (record == nullptr || command != 0 || !settings) {
    SetLastError(ERROR_INVALID_PARAMETER);
  } else if ((open->access & PRINTER_ACCESS_ADMINISTER) == 0) {
    SetLastError(ERROR_ACCESS_DENIED);
  } else if (m.spooler.portWriteError != 0) {
    SetLastError(m.spooler.portWriteError);
  } else if (!m.spooler.HasPort(port)) {
    SetLastError(ERROR_UNKNOWN_PORT);
  } else {
    queue->port = port;
    if (!settings->empty()) queue->devMode = *settings;
    ok = true;
  }
  Record(m, name, SpoolerCommand::Kind::SetPort, 0, port, ok);
  return ok ? TRUE : FALSE;
}

}  // namespace

// Windows: a queue's pause is the printer object's own state, set only by
// PRINTER_CONTROL_PAUSE and RESUME ("PRINTER_STATUS_PAUSED ... not valid
// status values to set", Microsoft docs, SetPrinter); the local spooler keeps
// it with the printer's settings in the registry, which it loads at each
// start, so a paused queue is paused again after a restart. A status set with
// PRINTER_CONTROL_SET_STATUS is what a monitor reports while the spooler runs,
// in its memory only: the new spooler starts with none. (Not measured on a
// till; Wine 8.0 cannot tell: its SetPrinterW level 0 fails with 124, as
// measured for the Wine tests, so a queue in Wine's spooler has neither to
// keep.)
void ForgetSpoolerMemory(MachineState& m) {
  if (!m.scm.spooler.forgetsStatus) return;
  for (SimQueue& queue : m.spooler.queues) {
    if (queue.status == 0) continue;
    m.Log(TraceEntry::Channel::Scm, "the status of " + Narrow(queue.name) + " (" + Hex(queue.status) +
                                        ") went with the Spooler; its pause is kept");
    queue.status = 0;
  }
}

}  // namespace sim

using sim::Current;

BOOL WINAPI OpenPrinterW(LPWSTR printerName, LPHANDLE printer, LPPRINTER_DEFAULTSW defaults) {
  sim::EnterCall(__func__);
  auto& m = Current();
  sim::TakeTime(m, m.scm.spooler.callLatency);
  if (printer == nullptr) return sim::Fail(ERROR_INVALID_PARAMETER);
  *printer = nullptr;
  if (!m.SpoolerUp()) return sim::Fail(RPC_S_SERVER_UNAVAILABLE);
  // Windows: no name asks for the print server, which this spooler does not
  // open (Wine dlls/winspool.drv/tests/info.c, test_OpenPrinter, records
  // both a server handle and this refusal).
  if (printerName == nullptr) return sim::Fail(ERROR_INVALID_PARAMETER);
  const sim::SimQueue* queue = m.spooler.FindQueue(printerName);
  if (queue == nullptr) return sim::Fail(ERROR_INVALID_PRINTER_NAME);
  const ACCESS_MASK access =
      defaults != nullptr && defaults->DesiredAccess != 0 ? defaults->DesiredAccess : PRINTER_ACCESS_USE;
  // The access asked for is checked here, at the open: everyone may use a
  // printer and read its security, anything more needs administer rights.
  constexpr ACCESS_MASK kEveryone = PRINTER_ACCESS_USE | READ_CONTROL;
  if ((access & ~kEveryone) != 0 && !m.spooler.mayAdminister) return sim::Fail(ERROR_ACCESS_DENIED);
  *printer = m.handles.Add(sim::PrinterObject{queue->name, m.scm.spooler.epoch, access});
  return TRUE;
}

// Windows: level 2 carries the printer's settings, the driver's DEVMODEW
// with its private part, in the buffer with the strings (Microsoft docs,
// PRINTER_INFO_2; Wine dlls/winspool.drv/tests/info.c, test_GetPrinter and
// test_OpenPrinter_defaults).
BOOL WINAPI GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD bufferSize, LPDWORD needed) {
  sim::EnterCall(__func__);
  auto& m = Current();
  sim::TakeTime(m, m.scm.spooler.callLatency);
  const sim::SimQueue* queue = sim::QueueForCall(m, printer);
  if (queue == nullptr) return FALSE;
  if (needed == nullptr) return sim::Fail(ERROR_INVALID_PARAMETER);
  if (level != 2) return sim::Fail(ERROR_INVALID_LEVEL);
  using sim::RecordWriter;
  const std::wstring_view strings[] = {queue->name, L"", queue->port,          sim::kDriverName, L"",
                                       L"",         L"", sim::kPrintProcessor, sim::kDatatype,   L""};
  // The settings follow the record, the strings follow the settings, each
  // where its alignment wants it.
  constexpr std::size_t kDevModeOffset = sizeof(PRINTER_INFO_2W);
  const std::size_t stringsOffset = sim::AlignUp(kDevModeOffset + queue->devMode.size(), alignof(PRINTER_INFO_2W));
  std::size_t size = stringsOffset;
  for (const auto text : strings) size += RecordWriter::StringSize(text);
  *needed = static_cast<DWORD>(size);
  if (buffer == nullptr || bufferSize < size) return sim::Fail(ERROR_INSUFFICIENT_BUFFER);
  PRINTER_INFO_2W info = {};
  RecordWriter writer(buffer, stringsOffset);
  info.pServerName = nullptr;
  info.pPrinterName = writer.Put(strings[0]);
  info.pShareName = writer.Put(strings[1]);
  info.pPortName = writer.Put(strings[2]);
  info.pDriverName = writer.Put(strings[3]);
  info.pComment = writer.Put(strings[4]);
  info.pLocation = writer.Put(strings[5]);
  std::memcpy(buffer + kDevModeOffset, queue->devMode.data(), queue->devMode.size());
  info.pDevMode = reinterpret_cast<LPDEVMODEW>(buffer + kDevModeOffset);
  info.pSepFile = writer.Put(strings[6]);
  info.pPrintProcessor = writer.Put(strings[7]);
  info.pDatatype = writer.Put(strings[8]);
  info.pParameters = writer.Put(strings[9]);
  info.pSecurityDescriptor = nullptr;
  info.Priority = 1;
  info.DefaultPriority = 1;
  info.Status = queue->status | (queue->paused ? PRINTER_STATUS_PAUSED : 0);
  std::memcpy(buffer, &info, sizeof info);
  return TRUE;
}

BOOL WINAPI SetPrinterW(HANDLE printer, DWORD level, LPBYTE info, DWORD command) {
  sim::EnterCall(__func__);
  auto& m = Current();
  sim::TakeTime(m, m.scm.spooler.callLatency);
  switch (level) {
    case 0:
      return sim::ControlQueue(m, printer, info, command);
    case 2:
      return sim::WriteQueueInfo(m, printer, info, command);
    default:
      SetLastError(ERROR_INVALID_LEVEL);
      return FALSE;
  }
}

BOOL WINAPI ClosePrinter(HANDLE printer) {
  sim::EnterCall(__func__);
  auto& m = Current();
  sim::TakeTime(m, m.scm.spooler.callLatency);
  // The client side lets the handle go even when the spooler cannot be reached.
  if (!m.handles.Find<sim::PrinterObject>(printer)) return sim::Fail(ERROR_INVALID_HANDLE);
  m.handles.Remove(printer);
  return TRUE;
}

// Windows: levels 1 and 2; a missing count pointer is an RPC null
// reference; a buffer one byte short fails with the size needed (Wine
// dlls/winspool.drv/tests/info.c, test_EnumPorts).
BOOL WINAPI EnumPortsW(LPWSTR serverName, DWORD level, LPBYTE buffer, DWORD bufferSize, LPDWORD needed,
                       LPDWORD returned) {
  sim::EnterCall(__func__);
  auto& m = Current();
  sim::TakeTime(m, m.scm.spooler.callLatency);
  if (needed == nullptr || returned == nullptr) return sim::Fail(RPC_X_NULL_REF_POINTER);
  *returned = 0;
  if (serverName != nullptr && *serverName != L'\0') {
    SetLastError(ERROR_INVALID_PARAMETER);  // only the local spooler is simulated
    return FALSE;
  }
  if (!m.SpoolerUp()) return sim::Fail(RPC_S_SERVER_UNAVAILABLE);
  if (m.spooler.enumPortsError != 0) {
    *needed = 0;
    SetLastError(m.spooler.enumPortsError);
    return FALSE;
  }
  if (level != 1 && level != 2) return sim::Fail(ERROR_INVALID_LEVEL);
  using sim::RecordWriter;
  const auto& ports = m.spooler.ports;
  const std::size_t recordSize = level == 1 ? sizeof(PORT_INFO_1W) : sizeof(PORT_INFO_2W);
  std::size_t size = ports.size() * recordSize;
  for (const auto& port : ports) {
    size += RecordWriter::StringSize(port.name);
    if (level == 2) size += RecordWriter::StringSize(port.monitor) + RecordWriter::StringSize(port.description);
  }
  *needed = static_cast<DWORD>(size);
  if (buffer == nullptr || bufferSize < size) return sim::Fail(ERROR_INSUFFICIENT_BUFFER);
  RecordWriter writer(buffer, ports.size() * recordSize);
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (level == 1) {
      const PORT_INFO_1W entry = {writer.Put(ports[i].name)};
      std::memcpy(buffer + i * recordSize, &entry, sizeof entry);
      continue;
    }
    PORT_INFO_2W entry = {};
    entry.pPortName = writer.Put(ports[i].name);
    entry.pMonitorName = writer.Put(ports[i].monitor);
    entry.pDescription = writer.Put(ports[i].description);
    entry.fPortType = PORT_TYPE_WRITE | PORT_TYPE_READ;
    std::memcpy(buffer + i * recordSize, &entry, sizeof entry);
  }
  *returned = static_cast<DWORD>(ports.size());
  return TRUE;
}
