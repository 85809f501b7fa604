// The diagnostic output and the text helpers: DebugLog with the service's
// formats and arguments from the input, ConsoleMessage with any text,
// DebugLogWide with wide text from the input, FormatKeyPath with the registry
// key-path forms into buffers of any size, RegistryValueText and
// WidenSystemCodePage on any bytes.
//
// Input: a mode byte, then what the mode reads (see the functions below).
// Wide text is UTF-16LE.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/diagnostics.h"
#include "common/wide_text.h"
#include "fuzz/fuzz_support.h"
#include "platform/sim/machine.h"

namespace {

constexpr char kUnformattableLine[] = " (unformattable diagnostic)\n";

// The text a diagnostic line should hold: `full` cut to what the buffer holds.
std::string CutToBuffer(const std::string& full) { return full.substr(0, kDiagnosticBufferSize - 1); }

// The whole text printf makes, however long.
std::string Printed(const char* format, ...) SPOOLSYNC_PRINTF_FORMAT(1, 2);
std::string Printed(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  FUZZ_CHECK(length >= 0);
  std::vector<char> text(static_cast<std::size_t>(length) + 1);
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  return std::string(text.data(), static_cast<std::size_t>(length));
}

// Mode 0: a line chosen by a byte, an int, an 8-bit text chunk and the rest
// as wide text. Lines with wide text are expected with the text narrowed
// here; text that does not narrow expects the unformattable line.
void CheckDebugLog(fuzz::Input& input) {
  sim::Machine machine;
  const std::uint8_t which = input.Byte();
  const int number = static_cast<int>(input.U32());
  const std::string narrowArg(fuzz::UpToNul(input.Chunk()));
  const std::wstring wideArg(fuzz::UpToNul(fuzz::WideFromUtf16(input.Rest())));
  const bool narrowable = fuzz::Narrowable(wideArg);
  const std::string narrowed = narrowable ? fuzz::NarrowCp1252(wideArg) : std::string();

  std::string expected;
  switch (which % 7) {
    case 0:
      DebugLogWide(" DevicePath:", wideArg, "\n");
      expected = narrowable ? " DevicePath:" + narrowed + "\n" : kUnformattableLine;
      break;
    case 1:
      DebugLog("GetLastError:%d\r\n", number);
      expected = Printed("GetLastError:%d\r\n", number);
      break;
    case 2:
      DebugLog(" Port write failed %d times:%d\n", number, number / 3);
      expected = Printed(" Port write failed %d times:%d\n", number, number / 3);
      break;
    case 3:
      DebugLog(" Spooler did not stop within %u ms\n", static_cast<unsigned>(number));
      expected = Printed(" Spooler did not stop within %u ms\n", static_cast<unsigned>(number));
      break;
    case 4:
      DebugLog("%s", narrowArg.c_str());
      expected = narrowArg;
      break;
    case 5:
      DebugLogWide("", wideArg, "");
      expected = narrowable ? narrowed : kUnformattableLine;
      break;
    default:
      DebugLogWide((" " + narrowArg + ":").c_str(), wideArg, "%d\n");
      expected = narrowable ? " " + narrowArg + ":" + narrowed + "%d\n" : kUnformattableLine;
      break;
  }
  const std::vector<std::string> lines = machine.DebugLines();
  FUZZ_CHECK(lines.size() == 1);
  FUZZ_CHECK(lines[0].size() < kDiagnosticBufferSize);
  FUZZ_CHECK(lines[0] == CutToBuffer(expected));
}

// Mode 1: the rest as the text of a console message.
void CheckConsoleMessage(fuzz::Input& input) {
  sim::Machine machine;
  const std::string text(input.Rest());
  ConsoleMessage(text.c_str());
  const std::vector<std::string> lines = machine.StdoutLines();
  FUZZ_CHECK(lines.size() == 1);
  FUZZ_CHECK(lines[0].size() < kDiagnosticBufferSize);
  FUZZ_CHECK(lines[0] == CutToBuffer(std::string(fuzz::UpToNul(text))));
  FUZZ_CHECK(machine.DebugLines().empty());
}

// Mode 2: a byte choosing the key-path form, 16 bits giving the buffer size
// (0 to 600; the diagnostic size when the byte's high bit is set), the rest
// as the wide argument. The buffer is a heap block of exactly that size.
void CheckFormatKeyPath(fuzz::Input& input) {
  sim::Machine machine;
  const std::uint8_t which = input.Byte();
  const std::uint16_t sizeBits = input.U16();
  const std::size_t size = (which & 0x80) != 0 ? kDiagnosticBufferSize : sizeBits % 601u;
  const std::wstring arg = fuzz::WideFromUtf16(input.Rest());

  const bool deviceClasses = (which & 0x01) != 0;
  const std::string prefix =
      deviceClasses ? "SYSTEM\\ControlSet001\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\"
                    : "SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\";
  const std::string suffix = deviceClasses ? "\\#\\Device Parameters" : "";
  const bool narrowable = fuzz::Narrowable(arg);
  const std::string full = prefix + (narrowable ? fuzz::NarrowCp1252(arg) : std::string()) + suffix;
  const bool fits = narrowable && full.size() < size;

  const auto buffer = std::make_unique<char[]>(size);
  std::memset(buffer.get(), 'x', size);
  const bool ok = FormatKeyPath(buffer.get(), size, prefix, arg, suffix);
  FUZZ_CHECK(ok == fits);
  if (size > 0) {
    // Always terminated within the buffer: the whole text or nothing.
    FUZZ_CHECK(std::memchr(buffer.get(), '\0', size) != nullptr);
    FUZZ_CHECK(std::string(buffer.get()) == (ok ? full : std::string()));
  }
  FUZZ_CHECK(machine.DebugLines().empty());
}

// Mode 3: the rest as a stored value's bytes, in a heap block of exactly
// their size.
void CheckRegistryValueText(fuzz::Input& input) {
  const std::string_view bytes = input.Rest();
  const auto block = std::make_unique<char[]>(bytes.size());
  std::memcpy(block.get(), bytes.data(), bytes.size());
  const std::string_view text = RegistryValueText(block.get(), bytes.size());
  FUZZ_CHECK(text.data() == block.get());
  FUZZ_CHECK(text == fuzz::UpToNul(bytes));
  FUZZ_CHECK(text.size() <= bytes.size());
  FUZZ_CHECK(text.find('\0') == std::string_view::npos);
}

// Mode 4: the rest widened with the system code page (1252 on the simulated
// machine).
void CheckWiden(fuzz::Input& input) {
  sim::Machine machine;
  const std::string_view bytes = input.Rest();
  const std::wstring wide = WidenSystemCodePage(bytes);
  FUZZ_CHECK(wide.size() == bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    FUZZ_CHECK(wide[i] == fuzz::WidenCp1252(static_cast<unsigned char>(bytes[i])));
  }
}

// Mode 5: two wide names compared as the platform compares them.
void CheckNamesEqual(fuzz::Input& input) {
  sim::Machine machine;
  const std::wstring a = fuzz::WideFromUtf16(input.Chunk());
  const std::wstring b = fuzz::WideFromUtf16(input.Rest());
  FUZZ_CHECK(NamesEqual(a, b) == fuzz::EqualFoldingAscii(fuzz::UpToNul(a), fuzz::UpToNul(b)));
  FUZZ_CHECK(NamesEqual(a, a));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  switch (input.Byte() % 6) {
    case 0:
      CheckDebugLog(input);
      break;
    case 1:
      CheckConsoleMessage(input);
      break;
    case 2:
      CheckFormatKeyPath(input);
      break;
    case 3:
      CheckRegistryValueText(input);
      break;
    case 4:
      CheckWiden(input);
      break;
    default:
      CheckNamesEqual(input);
      break;
  }
  return 0;
}
