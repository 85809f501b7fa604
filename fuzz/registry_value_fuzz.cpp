// The registry values the service reads as text, with any bytes, type and
// length stored: "Port Description" (through IsModelDevice) and "Device Id"
// (through FindUsbPortForDevice). One simulated machine serves every input:
// each input stores its value, is checked, and leaves the registry empty
// again, as a new machine's is (checked too, so no input sees another's).
//
// Input: a flags byte (bit 0: "Device Id", else "Port Description"), the
// value's type (32 bits), then 16-bit-length-prefixed chunks: the value's
// bytes, the device path (UTF-16LE; empty for the printer's path), and for
// "Device Id" the port name (UTF-16LE; empty for "USB002").
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "common/diagnostics.h"
#include "common/model.h"
#include "common/wide_text.h"
#include "device/device_discovery.h"
#include "fuzz/fuzz_support.h"
#include "platform/sim/machine.h"
#include "spooler/port_binding.h"

namespace {

constexpr wchar_t kPrinterPath[] = L"\\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
// The key paths the service formats, around the part it formats in.
struct KeyPathForm {
  const char* before;
  const char* after;
};
constexpr KeyPathForm kPrintInterfaceKey = {
    "SYSTEM\\ControlSet001\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\",
    "\\#\\Device Parameters"};
constexpr KeyPathForm kUsbMonitorPortKey = {"SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\",
                                            ""};
constexpr std::size_t kKeyPathBufferSize = 500;
// A port listed before the fuzzed one, with no key of its own.
constexpr wchar_t kPortWithoutKey[] = L"USB001";

// The key path the service formats for `part`, normalised as the registry
// files it; empty when formatting fails (text that does not narrow, or a path
// too long for the service's buffer).
std::string ServiceKeyPath(const KeyPathForm& form, std::wstring_view part) {
  if (!fuzz::Narrowable(part)) return {};
  std::string keyPath;
  keyPath.reserve(kKeyPathBufferSize);
  keyPath.append(form.before).append(fuzz::NarrowCp1252(part)).append(form.after);
  if (keyPath.size() >= kKeyPathBufferSize) return {};
  return fuzz::RegistryKeyOf(keyPath);
}

// The text the service makes of a stored value: nothing when it does not fit
// the read buffer; otherwise the bytes up to the first NUL, widened.
std::optional<std::wstring> ValueText(std::string_view bytes) {
  if (bytes.size() > kRegistryValueBufferSize) return std::nullopt;
  std::wstring text;
  text.reserve(bytes.size());
  for (const char c : fuzz::UpToNul(bytes)) text.push_back(fuzz::WidenCp1252(static_cast<unsigned char>(c)));
  return text;
}

sim::Machine& SharedMachine() {
  static sim::Machine machine;
  return machine;
}

void CheckDebugLines(const sim::Machine& machine) {
  for (const sim::TraceEntry& entry : machine.Trace()) {
    if (entry.channel == sim::TraceEntry::Channel::Debug) FUZZ_CHECK(entry.text.size() < kDiagnosticBufferSize);
  }
}

// Every stored key lies under this one; a new machine has none.
constexpr char kRegistryRoot[] = "SYSTEM";

// Back to a new machine's registry and an empty timeline for the next input.
void ForgetInput(sim::Machine& machine) {
  machine.DeleteRegistryKey(kRegistryRoot);
  machine.ForgetHistory();
  HKEY key = nullptr;
  FUZZ_CHECK(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRegistryRoot, 0, KEY_READ, &key) == ERROR_FILE_NOT_FOUND);
}

void CheckPortDescription(DWORD type, std::string_view bytes, const std::wstring& path) {
  sim::Machine& machine = SharedMachine();
  const std::string storedKey = sim::Machine::PrintInterfaceKeyPath(path);
  machine.SetRegistryValue(storedKey, "Port Description", type, std::string(bytes));

  const bool model = IsModelDevice(path);

  const std::wstring keyName = PrintInterfaceKeyName(path);
  bool expected = false;
  if (!keyName.empty() && ServiceKeyPath(kPrintInterfaceKey, keyName) == fuzz::RegistryKeyOf(storedKey)) {
    const auto text = ValueText(bytes);
    expected = text.has_value() && fuzz::EqualFoldingAscii(fuzz::UpToNul(*text), std::wstring_view(kModelNameWide));
  }
  FUZZ_CHECK(model == expected);
  FUZZ_CHECK(machine.OpenHandles().Total() == 0);
  CheckDebugLines(machine);
  ForgetInput(machine);
}

void CheckDeviceId(DWORD type, std::string_view bytes, const std::wstring& path, const std::wstring& port) {
  sim::Machine& machine = SharedMachine();
  const std::string storedKey = sim::Machine::UsbMonitorPortKeyPath(port);
  machine.SetRegistryValue(storedKey, "Device Id", type, std::string(bytes));
  const std::vector<std::wstring> ports = {kPortWithoutKey, port};

  const std::wstring found = FindUsbPortForDevice(ports, path);

  const std::wstring id = DeviceInstanceIdFromPath(path);
  std::wstring expected;
  if (!id.empty()) {
    const auto text = ValueText(bytes);
    const bool idMatches = text.has_value() && fuzz::EqualFoldingAscii(fuzz::UpToNul(*text), fuzz::UpToNul(id));
    const std::string stored = fuzz::RegistryKeyOf(storedKey);
    for (const std::wstring& candidate : ports) {
      if (idMatches && ServiceKeyPath(kUsbMonitorPortKey, candidate) == stored) {
        expected = candidate;
        break;
      }
    }
  }
  FUZZ_CHECK(found == expected);
  FUZZ_CHECK(machine.OpenHandles().Total() == 0);
  CheckDebugLines(machine);
  ForgetInput(machine);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  const std::uint8_t flags = input.Byte();
  const DWORD type = input.U32();
  const std::string_view bytes = input.Chunk();
  std::wstring path = fuzz::WideFromUtf16(input.Chunk());
  if (path.empty()) path = kPrinterPath;
  if ((flags & 0x01) == 0) {
    CheckPortDescription(type, bytes, path);
  } else {
    std::wstring port = fuzz::WideFromUtf16(input.Chunk());
    if (port.empty()) port = L"USB002";
    CheckDeviceId(type, bytes, path, port);
  }
  return 0;
}
