// The device-event record the control manager hands the service. The input
// is one flags byte, the record's dbcc_size field (32 bits, little-endian)
// and the record's bytes after that field. The record is allocated with
// exactly the size its field gives (at least the 12-byte header), so a read
// beyond it is caught; input bytes beyond that size are ignored, a record
// longer than the input is filled up as the flags say.
//
// InterfacePathFromEvent is checked on every record. With the flags' machine
// bit, HandleDeviceEvent also handles the record on a simulated machine that
// has the printer registered, its queue on USB001 and its port on USB002.
// That machine serves every input: after each, its queue, timeline and the
// service's state are put back as they were before the first. The handler
// runs on the machine's driver thread (this one): starting a process, and
// with it a thread, for every input cost more than all the rest.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/diagnostics.h"
#include "common/model.h"
#include "device/device_discovery.h"
#include "fuzz/fuzz_support.h"
#include "platform/sim/machine.h"
#include "service/device_events.h"
#include "service/service_state.h"
#include "spooler/port_binding.h"

namespace {

constexpr std::size_t kHeaderSize = sizeof(DEV_BROADCAST_HDR);
constexpr std::size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
// Records are kept below this size; larger size fields are folded into range.
constexpr std::uint32_t kMaxRecordSize = 1u << 16;

constexpr std::uint8_t kFlagRemoval = 0x01;
constexpr std::uint8_t kFlagOtherEvent = 0x02;
constexpr std::uint8_t kFlagFillNonZero = 0x04;
constexpr std::uint8_t kFlagOnMachine = 0x08;

constexpr wchar_t kPrinterPath[] = L"\\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr char kPrinterInstanceId[] = "USB\\VID_0483&PID_5741\\ABC123";
constexpr char kOtherInstanceId[] = "USB\\VID_04B8&PID_0202\\OTHER";
constexpr char kPrintInterfaceKeyFormat[] =
    "SYSTEM\\ControlSet001\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\%s\\#\\Device "
    "Parameters";

std::uint32_t ReadDword(const std::vector<BYTE>& record, std::size_t offset) {
  std::uint32_t value;
  std::memcpy(&value, record.data() + offset, sizeof value);
  return value;
}

// What the record carries, read independently: the name's characters up to
// its terminator, if it is a device-interface record with a terminated name.
std::optional<std::wstring> ExpectedPath(const std::vector<BYTE>& record) {
  const std::uint32_t size = ReadDword(record, 0);
  if (ReadDword(record, 4) != DBT_DEVTYP_DEVICEINTERFACE || size <= kNameOffset) return std::nullopt;
  std::wstring path;
  for (std::size_t offset = kNameOffset; offset + sizeof(wchar_t) <= size; offset += sizeof(wchar_t)) {
    wchar_t c;
    std::memcpy(&c, record.data() + offset, sizeof c);
    if (c == L'\0') return path;
    path.push_back(c);
  }
  return std::nullopt;
}

// `block` holds the record in a heap block of exactly its size.
void CheckPathFromEvent(const std::vector<BYTE>& record, const BYTE* block) {
  const std::optional<std::wstring> path = InterfacePathFromEvent(block);
  const std::optional<std::wstring> expected = ExpectedPath(record);
  FUZZ_CHECK(path == expected);
  if (path) {
    // The name and its terminator lie within the record.
    FUZZ_CHECK(kNameOffset + (path->size() + 1) * sizeof(wchar_t) <= ReadDword(record, 0));
    FUZZ_CHECK(path->find(L'\0') == std::wstring::npos);
  }
}

// Whether the service, looking the path up in the registry, finds the
// printer's print interface: the key path it formats names the printer's key
// (the registry compares without regard to ASCII case).
bool NamesPrinterInterface(const std::wstring& path) {
  if (path.find(L'#') == std::wstring::npos) return false;
  const std::wstring keyName = PrintInterfaceKeyName(path);
  if (keyName.empty()) return false;
  if (!fuzz::Narrowable(keyName)) return false;
  char keyPath[500];
  const std::string narrow = fuzz::NarrowCp1252(keyName);
  const int length = std::snprintf(keyPath, sizeof keyPath, kPrintInterfaceKeyFormat, narrow.c_str());
  if (length < 0 || static_cast<std::size_t>(length) >= sizeof keyPath) return false;
  return fuzz::RegistryKeyOf(keyPath) == fuzz::RegistryKeyOf(sim::Machine::PrintInterfaceKeyPath(kPrinterPath));
}

// The port the service should find for the path: the first whose device id
// equals the path's instance id (compared as far as their first NULs, without
// regard to ASCII case).
std::wstring ExpectedPort(const std::wstring& path) {
  const std::wstring id = DeviceInstanceIdFromPath(path);
  if (id.empty()) return {};
  const std::wstring_view compared = fuzz::UpToNul(id);
  const auto matches = [&](std::string_view deviceId) {
    return fuzz::EqualFoldingAscii(compared, std::wstring_view(std::wstring(deviceId.begin(), deviceId.end())));
  };
  if (matches(kOtherInstanceId)) return L"USB001";
  if (matches(kPrinterInstanceId)) return L"USB002";
  return {};
}

sim::Machine& SharedMachine() {
  static sim::Machine machine;
  static const bool ready = [] {
    machine.AddQueue(kModelNameWide, L"USB001");
    machine.AddPort(L"USB001", kOtherInstanceId);
    machine.AddPort(L"USB002", kPrinterInstanceId);
    machine.AddDevice(kPrinterPath, kModelName);
    return true;
  }();
  static_cast<void>(ready);
  return machine;
}

// What a handler may change, back as it was: the queue on USB001, resumed,
// with no status; an empty timeline and journal; the service's state zeroed.
void ForgetInput(sim::Machine& machine) {
  machine.DeleteQueue(kModelNameWide);
  machine.AddQueue(kModelNameWide, L"USB001");
  machine.ForgetHistory();
  ResetServiceState();
}

void HandleOnMachine(DWORD eventType, const std::vector<BYTE>& record, const BYTE* block) {
  sim::Machine& machine = SharedMachine();
  ResetServiceState();
  const int restartsBefore = machine.SpoolerRestarts();

  HandleDeviceEvent(eventType, block);

  const std::optional<std::wstring> path = ExpectedPath(record);
  const bool printer = path.has_value() && NamesPrinterInterface(*path);
  // The handler only queues the event; the monitor thread's part follows.
  const std::vector<DeviceEvent> queued = serviceState.deviceEvents;
  DeviceWork work;
  HandleDeviceEvents(serviceState, work);
  FUZZ_CHECK(serviceState.deviceEvents.empty());
  const auto queue = machine.Queue(kModelNameWide);
  FUZZ_CHECK(queue.has_value());
  if (eventType == DBT_DEVICEARRIVAL) {
    FUZZ_CHECK(queued.size() == 1 && queued[0].kind == DeviceEvent::Kind::Arrival);
    FUZZ_CHECK(queued[0].path == path.value_or(std::wstring()));
    FUZZ_CHECK(work.reopen);
    const std::wstring port = printer ? ExpectedPort(*path) : std::wstring();
    const bool rebind = !port.empty() && port != L"USB001";
    FUZZ_CHECK(queue->port == (rebind ? L"USB002" : L"USB001"));
    FUZZ_CHECK(machine.SpoolerRestarts() - restartsBefore == (rebind ? 1 : 0));
    FUZZ_CHECK(!queue->paused);
    // A re-binding, or a printer no port records, leaves the queue to be
    // resumed unless the status rules show the printer's state first.
    FUZZ_CHECK(work.resume == (rebind || (printer && port.empty())));
    if (!rebind) FUZZ_CHECK(machine.SpoolerJournal().empty());
  } else if (eventType == DBT_DEVICEREMOVECOMPLETE) {
    FUZZ_CHECK(queued.size() == (path.has_value() ? 1u : 0u));
    if (!queued.empty()) FUZZ_CHECK(queued[0].kind == DeviceEvent::Kind::Removal && queued[0].modelPrinter == printer);
    FUZZ_CHECK(!work.reopen);
    FUZZ_CHECK(queue->paused == printer);
    FUZZ_CHECK(queue->status == (printer ? kStatusOffline : 0u));
    FUZZ_CHECK(queue->port == L"USB001");
    FUZZ_CHECK(machine.SpoolerRestarts() == restartsBefore);
  } else {
    FUZZ_CHECK(queued.empty());
    FUZZ_CHECK(!work.reopen);
    FUZZ_CHECK(machine.SpoolerJournal().empty());
  }
  FUZZ_CHECK(machine.SpoolerRunning());
  // Whatever the handler opened, it closed.
  FUZZ_CHECK(machine.OpenHandles().Total() == 0);
  for (const sim::TraceEntry& entry : machine.Trace()) {
    if (entry.channel == sim::TraceEntry::Channel::Debug) FUZZ_CHECK(entry.text.size() < kDiagnosticBufferSize);
  }
  ForgetInput(machine);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint8_t flags = input.Byte();
  std::uint32_t sizeField = input.U32();
  if (sizeField > kMaxRecordSize) sizeField %= kMaxRecordSize + 1;
  const std::string_view body = input.Rest();

  std::vector<BYTE> record(std::max<std::size_t>(sizeField, kHeaderSize),
                           (flags & kFlagFillNonZero) != 0 ? BYTE{0x41} : BYTE{0});
  std::memcpy(record.data(), &sizeField, sizeof sizeField);
  std::memcpy(record.data() + sizeof sizeField, body.data(), std::min(body.size(), record.size() - sizeof sizeField));
  // The record as the control manager passes it: a heap block of its own
  // size, so a read beyond it is caught.
  const auto block = std::make_unique<BYTE[]>(record.size());
  std::memcpy(block.get(), record.data(), record.size());
  CheckPathFromEvent(record, block.get());

  if ((flags & kFlagOnMachine) != 0) {
    const DWORD eventType =
        (flags & kFlagOtherEvent) != 0
            ? DWORD{0x8001}  // DBT_DEVICEQUERYREMOVE: not handled
            : ((flags & kFlagRemoval) != 0 ? DWORD{DBT_DEVICEREMOVECOMPLETE} : DWORD{DBT_DEVICEARRIVAL});
    HandleOnMachine(eventType, record, block.get());
  }
  FUZZ_CHECK(std::memcmp(block.get(), record.data(), record.size()) == 0);  // read only
  return 0;
}
