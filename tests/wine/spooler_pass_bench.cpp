// The spooler calls of one status pass with one command pair, timed against
// Wine's spooler: OpenPrinterW, GetPrinterW level 2 (size query and read),
// SetPrinterW level 0 twice (pause, status) and ClosePrinter, on a queue this
// program creates (and deletes afterwards). Wine 8 does not implement
// SetPrinterW level 0 (it fails with ERROR_INVALID_LEVEL, 124), so those two
// calls time a refusal, not a command.
//
// Usage: spooler_pass_bench [passes]   (default 2000)
// Prints one line per call and one for the whole sequence, in microseconds
// per pass; exits with 1 when a call that Wine implements fails.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/model.h"
#include "common/unique_resource.h"
#include "platform/win32_api.h"
#include "tests/wine/wine_printers.h"

namespace {

enum Step { kOpen, kSizeQuery, kRead, kPause, kStatus, kClose, kSteps };
constexpr const char* kStepNames[kSteps] = {"OpenPrinterW",
                                            "GetPrinterW (size query)",
                                            "GetPrinterW (level 2)",
                                            "SetPrinterW (pause, level 0)",
                                            "SetPrinterW (status, level 0)",
                                            "ClosePrinter"};

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to, const LARGE_INTEGER& frequency) {
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv) {
  const long passes = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 2000;
  if (passes <= 0) {
    std::fputs("usage: spooler_pass_bench [passes]\n", stderr);
    return 2;
  }
  wine_printers::DeleteQueue(kModelNameWide);
  if (const DWORD error = wine_printers::AddQueue(kModelNameWide, L"LPT1:"); error != ERROR_SUCCESS) {
    std::fprintf(stderr, "cannot create the queue: %lu\n", static_cast<unsigned long>(error));
    return 1;
  }
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  double total[kSteps] = {};
  DWORD setError = 0;
  bool failed = false;
  std::vector<BYTE> info;
  for (long pass = 0; pass < passes && !failed; ++pass) {
    LARGE_INTEGER t[kSteps + 1];
    wchar_t name[] = L"KX310MQ47H";
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE opened = nullptr;
    QueryPerformanceCounter(&t[0]);
    const BOOL open = OpenPrinterW(name, &opened, &defaults);
    QueryPerformanceCounter(&t[1]);
    PrinterHandle queue(opened);
    DWORD needed = 0;
    const BOOL sized = GetPrinterW(queue.Get(), 2, nullptr, 0, &needed);
    QueryPerformanceCounter(&t[2]);
    info.resize(needed);
    const BOOL read = GetPrinterW(queue.Get(), 2, info.data(), needed, &needed);
    QueryPerformanceCounter(&t[3]);
    const BOOL paused = SetPrinterW(queue.Get(), 0, nullptr, PRINTER_CONTROL_PAUSE);
    if (!paused) setError = GetLastError();
    QueryPerformanceCounter(&t[4]);
    SetPrinterW(queue.Get(), 0, reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(kStatusPaperOut)),
                PRINTER_CONTROL_SET_STATUS);
    QueryPerformanceCounter(&t[5]);
    queue.Reset();
    QueryPerformanceCounter(&t[6]);
    failed = !open || sized || needed < sizeof(PRINTER_INFO_2W) || !read;
    for (int step = 0; step < kSteps; ++step) total[step] += Seconds(t[step], t[step + 1], frequency);
  }
  wine_printers::DeleteQueue(kModelNameWide);
  if (failed) {
    std::fprintf(stderr, "a spooler call Wine implements failed: %lu\n", static_cast<unsigned long>(GetLastError()));
    return 1;
  }
  double sequence = 0;
  double implemented = 0;
  for (int step = 0; step < kSteps; ++step) {
    const double us = total[step] * 1e6 / static_cast<double>(passes);
    sequence += us;
    if (step != kPause && step != kStatus) implemented += us;
    std::printf("wine spooler: %-30s %9.1f us\n", kStepNames[step], us);
  }
  std::printf("wine spooler: SetPrinterW level 0 %s (error %lu)\n", setError == 0 ? "succeeded" : "refused",
              static_cast<unsigned long>(setError));
  std::printf("wine spooler: one command pair, implemented calls %.1f us, whole sequence %.1f us, %ld passes\n",
              implemented, sequence, passes);
  return 0;
}
