#include "spooler/printer_queue.h"

#include "common/diagnostics.h"
#include "common/model.h"

// "打开打印机失败!" and "获得PRINTER_INFO_2的数组失败!" in code page 936.
const char kOpenPrinterFailedText[] = "\xB4\xF2\xBF\xAA\xB4\xF2\xD3\xA1\xBB\xFA\xCA\xA7\xB0\xDC!";
const char kPrinterInfoFailedText[] = "\xBB\xF1\xB5\xC3PRINTER_INFO_2\xB5\xC4\xCA\xFD\xD7\xE9\xCA\xA7\xB0\xDC!";

namespace {

thread_local DWORD lastQueueError = 0;

}  // namespace

DWORD LastQueueError() { return lastQueueError; }

PrinterHandle OpenQueue(Diagnostics diagnostics) {
  wchar_t queueName[] = L"KX310MQ47H";
  static_assert(sizeof queueName == sizeof kModelNameWide);
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE queue = nullptr;
  if (!OpenPrinterW(queueName, &queue, &defaults)) {
    lastQueueError = GetLastError();
    if (diagnostics == Diagnostics::Written) {
      DebugLog(" Open Printer Error :GetLastError() returns: 0x%x\n", static_cast<unsigned>(lastQueueError));
      ConsoleMessage(kOpenPrinterFailedText);
    }
    return {};
  }
  lastQueueError = 0;
  return PrinterHandle(queue);
}

std::optional<QueueInfo> ReadQueueInfo(HANDLE queue, Diagnostics diagnostics) {
  DWORD needed = 0;
  if (GetPrinterW(queue, 2, nullptr, 0, &needed)) {
    // A level-2 record is never empty; a spooler that says otherwise is not
    // trusted with a buffer.
    lastQueueError = ERROR_INVALID_DATA;
    if (diagnostics == Diagnostics::Written) DebugLog("%s", kPrinterInfoFailedText);
    return std::nullopt;
  }
  std::vector<BYTE> buffer(needed);
  if (needed < sizeof(PRINTER_INFO_2W) || !GetPrinterW(queue, 2, buffer.data(), needed, &needed)) {
    lastQueueError = GetLastError();
    if (diagnostics == Diagnostics::Written) DebugLog("%s", kPrinterInfoFailedText);
    return std::nullopt;
  }
  lastQueueError = 0;
  return QueueInfo(std::move(buffer));
}

PrinterHandle GetPrinterHandle() {
  PrinterHandle queue = OpenQueue();
  if (!queue || !ReadQueueInfo(queue.Get())) return {};
  return queue;
}

std::optional<DWORD> QueueStatus() {
  const PrinterHandle queue = OpenQueue(Diagnostics::Quiet);
  if (!queue) return std::nullopt;
  auto info = ReadQueueInfo(queue.Get(), Diagnostics::Quiet);
  if (!info) return std::nullopt;
  return info->Get()->Status;
}

std::wstring GetPrinterPort() {
  DebugLog("GetPrinterHandle");
  const PrinterHandle queue = OpenQueue();
  if (!queue) return {};
  auto info = ReadQueueInfo(queue.Get());
  if (!info) return {};
  const wchar_t* port = info->Get()->pPortName;
  return port != nullptr ? port : L"";
}

namespace {

// Level-0 control commands carry the status value itself in the record
// pointer argument.
LPBYTE StatusArgument(DWORD status) { return reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(status)); }

}  // namespace

DWORD SetPrinterErrorStatus(DWORD status) {
  const PrinterHandle queue = GetPrinterHandle();
  if (!queue) return LastQueueError() != ERROR_SUCCESS ? LastQueueError() : static_cast<DWORD>(ERROR_GEN_FAILURE);
  DWORD error = ERROR_SUCCESS;
  if (!SetPrinterW(queue.Get(), 0, nullptr, PRINTER_CONTROL_PAUSE)) error = GetLastError();
  if (!SetPrinterW(queue.Get(), 0, StatusArgument(status), PRINTER_CONTROL_SET_STATUS)) error = GetLastError();
  return error;
}

void ResumePrinter() {
  const PrinterHandle queue = GetPrinterHandle();
  if (!queue) return;
  SetPrinterW(queue.Get(), 0, nullptr, PRINTER_CONTROL_RESUME);
  SetPrinterW(queue.Get(), 0, StatusArgument(0), PRINTER_CONTROL_SET_STATUS);
}
