// Test tooling for the Wine prefix's spooler:
//   printer_tool add QUEUE PORT    creates the queue (and the driver it needs)
//   printer_tool delete QUEUE      deletes the queue
// Exits with 0 on success, otherwise with the Win32 error code, which it also
// prints.
#include <cstdio>
#include <cwchar>
#include <string>

#include "tests/wine/wine_printers.h"

int wmain(int argc, wchar_t** argv) {
  DWORD error = ERROR_BAD_ARGUMENTS;
  if (argc == 4 && std::wcscmp(argv[1], L"add") == 0) {
    error = wine_printers::AddQueue(argv[2], argv[3]);
  } else if (argc == 3 && std::wcscmp(argv[1], L"delete") == 0) {
    error = wine_printers::DeleteQueue(argv[2]);
  } else {
    std::fputs("usage: printer_tool add QUEUE PORT | printer_tool delete QUEUE\n", stderr);
  }
  if (error != ERROR_SUCCESS) std::fprintf(stderr, "printer_tool: error %lu\n", static_cast<unsigned long>(error));
  return static_cast<int>(error);
}
