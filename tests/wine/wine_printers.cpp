#include "tests/wine/wine_printers.h"

namespace wine_printers {

namespace {

wchar_t kDriverName[] = L"Wine PostScript Driver";
wchar_t kDriverFile[] = L"wineps.drv";
wchar_t kDataFile[] = L"generic.ppd";
wchar_t kPrintProcessor[] = L"WinPrint";
wchar_t kDatatype[] = L"RAW";

}  // namespace

DWORD EnsureDriver() {
  DRIVER_INFO_3W driver = {};
  driver.cVersion = 3;
  driver.pName = kDriverName;
  driver.pDriverPath = kDriverFile;
  driver.pConfigFile = kDriverFile;
  driver.pDataFile = kDataFile;
  if (AddPrinterDriverW(nullptr, 3, reinterpret_cast<LPBYTE>(&driver))) return ERROR_SUCCESS;
  const DWORD error = GetLastError();
  return error == ERROR_PRINTER_DRIVER_ALREADY_INSTALLED ? static_cast<DWORD>(ERROR_SUCCESS) : error;
}

DWORD AddQueue(const std::wstring& name, const std::wstring& port) {
  if (const DWORD error = EnsureDriver(); error != ERROR_SUCCESS) return error;
  std::wstring printerName = name;
  std::wstring portName = port;
  PRINTER_INFO_2W info = {};
  info.pPrinterName = printerName.data();
  info.pPortName = portName.data();
  info.pDriverName = kDriverName;
  info.pPrintProcessor = kPrintProcessor;
  info.pDatatype = kDatatype;
  info.Priority = 1;
  info.DefaultPriority = 1;
  const HANDLE queue = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
  if (queue == nullptr) return GetLastError();
  ClosePrinter(queue);
  return ERROR_SUCCESS;
}

DWORD DeleteQueue(const std::wstring& name) {
  std::wstring printerName = name;
  PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
  HANDLE queue = nullptr;
  if (!OpenPrinterW(printerName.data(), &queue, &defaults)) return GetLastError();
  const BOOL deleted = DeletePrinter(queue);
  const DWORD error = deleted ? static_cast<DWORD>(ERROR_SUCCESS) : GetLastError();
  ClosePrinter(queue);
  return error;
}

}  // namespace wine_printers
