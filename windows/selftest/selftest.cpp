// spoolsync-selftest: runs the service's system code against the machine's
// own print spooler and service control manager, and prints a table of what
// held. For a test machine or VM only: it creates and deletes a print queue,
// restarts the Spooler service and installs and removes the service and its
// package. Everything it changes is put back when it ends, also after a
// failed step.
//
//   spoolsync-selftest [--use-existing-queue] [--msi PACKAGE]
//
// Exit status: 0 when no step failed, 1 when one did, 2 when it refused to
// start (not elevated, the service or the queue already there, bad options).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/model.h"
#include "common/unique_resource.h"
#include "common/wide_text.h"
#include "platform/win32_api.h"
#include "spooler/port_binding.h"
#include "spooler/printer_queue.h"
#include "windows/selftest/probes.h"

namespace {

using namespace selftest;

constexpr wchar_t kServiceName[] = L"testserviceQ5M2K9";
// The package of the self-test's own architecture: it checks the folder its
// own %ProgramFiles% names, and a 32-bit process on 64-bit Windows sees the
// 32-bit Program Files, where only the x86 package installs.
#if defined(_WIN64)
#define SPOOLSYNC_SELFTEST_ARCH "x64"
#else
#define SPOOLSYNC_SELFTEST_ARCH "x86"
#endif
constexpr wchar_t kPackagePattern[] = L"spoolsync-*-" SPOOLSYNC_SELFTEST_ARCH ".msi";
constexpr char kPackageName[] = "spoolsync-<version>-" SPOOLSYNC_SELFTEST_ARCH ".msi";
// A local port every spooler has, for the queue the test creates.
constexpr wchar_t kQueuePort[] = L"FILE:";
// Ports the spooler lists on every machine, for the write to a known port.
constexpr const wchar_t* kKnownPorts[] = {L"LPT1:", L"COM1:", L"LPT2:", L"COM2:"};
// A port no spooler lists.
constexpr wchar_t kUnknownPort[] = L"SPOOLSYNC-NO-SUCH-PORT:";
// Windows' inbox driver; Wine has none and ships its PostScript driver instead.
constexpr wchar_t kWindowsDriver[] = L"Generic / Text Only";
constexpr wchar_t kWineDriver[] = L"Wine PostScript Driver";
// The status bits the service sets and clears.
constexpr DWORD kServiceStatusBits = kStatusDoorOpen | kStatusPaperOut | kStatusUserIntervention | kStatusOffline;

enum class Outcome { kPass, kFail, kNotInWine, kNotRun };

const char* OutcomeText(Outcome outcome) {
  switch (outcome) {
    case Outcome::kPass:
      return "PASS";
    case Outcome::kFail:
      return "FAIL";
    case Outcome::kNotInWine:
      return "N/A-in-Wine";
    case Outcome::kNotRun:
      return "NOT-RUN";
  }
  return "?";
}

struct Row {
  std::string step;
  Outcome outcome;
  std::string detail;
};

// What the steps share: where the self-test runs, and the table so far.
struct Run {
  bool wine = false;
  std::wstring folder;  // of this executable, where spoolsync.exe, the scripts and the package are
  std::wstring msi;
  bool useExistingQueue = false;
  std::vector<Row> rows;
};

void Record(Run& run, std::string step, Outcome outcome, std::string detail) {
  std::printf("  %-11s %s\n", OutcomeText(outcome), step.c_str());
  std::fflush(stdout);
  run.rows.push_back({std::move(step), outcome, std::move(detail)});
}

void Check(Run& run, std::string step, bool held, std::string detail) {
  Record(run, std::move(step), held ? Outcome::kPass : Outcome::kFail, std::move(detail));
}

// Runs `undo` when it leaves scope: how every change is put back, whether the
// steps after it return, fail or throw.
template <typename Undo>
class OnExit {
 public:
  explicit OnExit(Undo undo) : undo_(std::move(undo)) {}
  OnExit(const OnExit&) = delete;
  OnExit& operator=(const OnExit&) = delete;
  ~OnExit() { undo_(); }

 private:
  Undo undo_;
};

template <typename Action>
long long TimeMs(Action action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

std::string Ms(long long ms) { return std::to_string(ms) + " ms"; }

std::wstring SpoolerStatePid(DWORD* processId) {
  const ServiceInfo spooler = QueryService(L"Spooler");
  *processId = spooler.processId;
  return spooler.state == SERVICE_RUNNING ? L"running" : L"state " + std::to_wstring(spooler.state);
}

// "process 288", or "not running" for a stopped service (process id 0).
std::string ProcessText(DWORD processId) {
  return processId != 0 ? "process " + std::to_string(processId) : std::string("not running");
}

// --- the system code page: how WideCharToMultiByte answers the service's call

// "= 6, last error 0" or "= 0, last error 87 (The parameter is incorrect.)".
std::string CallResult(int result, DWORD error) {
  return "= " + std::to_string(result) + ", last error " + ErrorText(error);
}

// The system code page, and WideCharToMultiByte's answer to the call
// NarrowSystemCodePage makes (on "USB001") and to the call it made before it
// named UTF-8 (CP_ACP, WC_NO_BEST_FIT_CHARS, lpUsedDefaultChar), which
// Windows may refuse for UTF-8: one run on a till set to UTF-8 shows which.
// The step holds when the service's narrowing keeps "USB001" and rejects an
// unpaired surrogate, which no code page holds.
void CodePageStep(Run& run) {
  constexpr wchar_t kPort[] = L"USB001";
  constexpr int kPortLength = 6;
  const wchar_t lone[] = {L'U', L'S', L'B', static_cast<wchar_t>(0xD800)};
  const NarrowingCall call = SystemCodePageNarrowing();
  char buffer[16];
  BOOL used = FALSE;
  SetLastError(ERROR_SUCCESS);
  const int now = WideCharToMultiByte(call.codePage, call.flags, kPort, kPortLength, buffer, sizeof buffer, nullptr,
                                      call.reportsReplaced ? &used : nullptr);
  const DWORD nowError = GetLastError();
  SetLastError(ERROR_SUCCESS);
  const int former =
      WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, kPort, kPortLength, buffer, sizeof buffer, nullptr, &used);
  const DWORD formerError = GetLastError();
  const bool narrows = NarrowSystemCodePage(kPort) == std::optional<std::string>("USB001");
  const bool rejects = !NarrowSystemCodePage(std::wstring_view(lone, 4)).has_value();
  Check(run, "system code page (NarrowSystemCodePage)", narrows && rejects,
        "GetACP " + std::to_string(GetACP()) + "; the service's call (code page " + std::to_string(call.codePage) +
            ", flags " + Hex(call.flags) + (call.reportsReplaced ? ", lpUsedDefaultChar" : ", no default pointers") +
            ") on \"USB001\" " + CallResult(now, nowError) +
            "; the former call (CP_ACP, WC_NO_BEST_FIT_CHARS, lpUsedDefaultChar) " + CallResult(former, formerError) +
            (narrows ? "; \"USB001\" narrowed" : "; \"USB001\" NOT narrowed") +
            (rejects ? ", an unpaired surrogate rejected" : ", an unpaired surrogate NOT rejected"));
}

// --- the spooler: the queue, its status and its port, the Spooler service

// Pause, resume and status go through SetPrinterW level 0, which Wine does
// not implement (it fails with ERROR_INVALID_LEVEL). On Windows nothing is
// probed: a failure there is a failure of the step.
bool LevelZeroMissingInWine(const Run& run, DWORD* error) {
  if (!run.wine) return false;
  const PrinterHandle queue = GetPrinterHandle();
  if (!queue) return false;
  if (SetPrinterW(queue.Get(), 0, nullptr, PRINTER_CONTROL_RESUME)) return false;
  *error = GetLastError();
  return *error == ERROR_INVALID_LEVEL;
}

void StatusSteps(Run& run, bool queueReady) {
  struct StatusStep {
    const char* step;
    DWORD status;
  };
  // The service's commands in the order a till sees them: an error pauses the
  // queue with its status, the next error replaces the status.
  static constexpr StatusStep kSteps[] = {
      {"pause + status paper out (SetPrinterErrorStatus)", kStatusPaperOut},
      {"status door open replaces it (SetPrinterErrorStatus)", kStatusDoorOpen},
      {"status needs attention (SetPrinterErrorStatus)", kStatusUserIntervention},
      {"status offline (SetPrinterErrorStatus)", kStatusOffline},
  };
  constexpr char kResumeStep[] = "resume + status cleared (ResumePrinter)";
  if (!queueReady) {
    for (const StatusStep& step : kSteps) Record(run, step.step, Outcome::kNotRun, "no test queue");
    Record(run, kResumeStep, Outcome::kNotRun, "no test queue");
    return;
  }
  DWORD wineError = 0;
  if (LevelZeroMissingInWine(run, &wineError)) {
    const std::string why = "SetPrinterW level 0 fails with " + ErrorText(wineError);
    for (const StatusStep& step : kSteps) Record(run, step.step, Outcome::kNotInWine, why);
    Record(run, kResumeStep, Outcome::kNotInWine, why);
    return;
  }
  const DWORD attributes = ReadQueue(kModelNameWide).attributes;
  const auto describe = [attributes](const QueueInfoRead& queue) {
    return "Status " + Hex(queue.status) + ", Attributes " + Hex(queue.attributes) +
           (queue.attributes == attributes ? " (unchanged)" : " (was " + Hex(attributes) + ")");
  };
  for (const StatusStep& step : kSteps) {
    SetPrinterErrorStatus(step.status);
    const QueueInfoRead queue = ReadQueue(kModelNameWide);
    const bool held = queue.exists && (queue.status & PRINTER_STATUS_PAUSED) != 0 &&
                      (queue.status & kServiceStatusBits) == step.status && queue.attributes == attributes;
    Check(run, step.step, held,
          describe(queue) + "; expected paused with only " + Hex(step.status) + " of the service's status bits");
  }
  ResumePrinter();
  const QueueInfoRead queue = ReadQueue(kModelNameWide);
  const bool held = queue.exists && (queue.status & (PRINTER_STATUS_PAUSED | kServiceStatusBits)) == 0 &&
                    queue.attributes == attributes;
  Check(run, kResumeStep, held, describe(queue) + "; expected neither paused nor any of the service's status bits");
}

std::wstring PickKnownPort(const std::wstring& current) {
  const std::vector<std::wstring> ports = PortNames();
  for (const wchar_t* candidate : kKnownPorts) {
    for (const std::wstring& port : ports) {
      if (port == candidate && port != current) return port;
    }
  }
  return {};
}

void PortSteps(Run& run, bool queueReady) {
  constexpr char kKnownStep[] = "level-2 port write, known port (SetPrinterPortAndRestartSpooler)";
  constexpr char kUnknownStep[] = "level-2 port write, unknown port";
  if (!queueReady) {
    Record(run, kKnownStep, Outcome::kNotRun, "no test queue");
    Record(run, kUnknownStep, Outcome::kNotRun, "no test queue");
    return;
  }
  const std::wstring before = ReadQueue(kModelNameWide).port;
  const std::wstring known = PickKnownPort(before);
  if (known.empty()) {
    Check(run, kKnownStep, false, "none of LPT1:, COM1:, LPT2:, COM2: is listed by EnumPortsW");
  } else {
    DWORD pidBefore = 0;
    DWORD pidAfter = 0;
    SpoolerStatePid(&pidBefore);
    const long long ms = TimeMs([&] { SetPrinterPortAndRestartSpooler(known); });
    const std::wstring state = SpoolerStatePid(&pidAfter);
    const std::wstring after = ReadQueue(kModelNameWide).port;
    Check(run, kKnownStep, after == known && state == L"running" && pidAfter != pidBefore,
          Narrow(before) + " -> " + Narrow(after) + ", Spooler " + Narrow(state) + " (" + ProcessText(pidBefore) +
              " -> " + ProcessText(pidAfter) + "), " + Ms(ms));
  }

  // The spooler's answer to a port it does not list, then the service's: the
  // write retried and given up, the queue and the Spooler left alone.
  const std::wstring current = ReadQueue(kModelNameWide).port;
  const DWORD error = WriteQueuePort(kModelNameWide, kUnknownPort);
  if (error == ERROR_SUCCESS) {
    WriteQueuePort(kModelNameWide, current);
    Record(run, kUnknownStep, run.wine ? Outcome::kNotInWine : Outcome::kFail,
           "the spooler accepted " + Narrow(kUnknownPort) + (run.wine ? " (Wine does not check port names)" : ""));
    return;
  }
  DWORD pidBefore = 0;
  DWORD pidAfter = 0;
  SpoolerStatePid(&pidBefore);
  const long long ms = TimeMs([&] { SetPrinterPortAndRestartSpooler(kUnknownPort); });
  SpoolerStatePid(&pidAfter);
  const std::wstring after = ReadQueue(kModelNameWide).port;
  Check(run, kUnknownStep, after == current && pidAfter == pidBefore,
        "refused with " + ErrorText(error) + "; SetPrinterPortAndRestartSpooler: port " + Narrow(after) +
            (pidAfter == pidBefore ? ", Spooler not restarted" : ", Spooler restarted") + ", " + Ms(ms) + " for " +
            std::to_string(kPortWriteAttempts) + " tries");
}

void SpoolerRestartSteps(Run& run) {
  const std::wstring portBefore = ReadQueue(kModelNameWide).port;
  const long long stopMs = TimeMs([] { StopSpooler(); });
  const ServiceInfo stopped = QueryService(L"Spooler");
  Check(run, "Spooler stopped (StopSpooler)", stopped.state == SERVICE_STOPPED,
        "state " + std::to_string(stopped.state) + " after " + Ms(stopMs) + " (" + std::to_string(kSpoolerStopPauseMs) +
            " ms of it the fixed pause)");

  const long long startMs = TimeMs([] { StartSpooler(); });
  const ServiceInfo started = QueryService(L"Spooler");
  const QueueInfoRead queue = ReadQueue(kModelNameWide);
  std::string detail = "state " + std::to_string(started.state) + " after " + Ms(startMs) + " (" +
                       std::to_string(kSpoolerStartPauseMs + kSpoolerSettlePauseMs) + " ms of it fixed pauses)";
  if (!portBefore.empty()) detail += ", queue on " + Narrow(queue.port) + " after the restart";
  Check(run, "Spooler started (StartSpooler)", started.state == SERVICE_RUNNING && queue.port == portBefore, detail);
}

void SpoolerSteps(Run& run) {
  // The Spooler ends in the state it had, whatever happened: running on
  // Windows; in a new Wine prefix it has not been started yet (Wine's
  // spooler calls work without it).
  const bool spoolerWasRunning = QueryService(L"Spooler").state == SERVICE_RUNNING;
  const OnExit spoolerRestored([spoolerWasRunning] {
    const ServiceInfo spooler = QueryService(L"Spooler");
    if (!spooler.exists || (spooler.state == SERVICE_RUNNING) == spoolerWasRunning) return;
    if (spoolerWasRunning) {
      WaitForService(L"Spooler", SERVICE_STOPPED, 30000);
      StartSpooler();
    } else {
      StopSpooler();
    }
  });

  // The driver: installed for the test only when it was not there.
  const std::wstring driver = run.wine ? kWineDriver : kWindowsDriver;
  bool driverInstalled = false;
  const OnExit driverRemoved([&] {
    if (driverInstalled) RemoveDriver(driver);
  });

  // The queue: created and deleted by the test, or (--use-existing-queue)
  // someone else's, whose port, pause and status are put back.
  bool queueCreated = false;
  const QueueInfoRead existing = ReadQueue(kModelNameWide);
  const OnExit queueRestored([&] {
    if (queueCreated) {
      DeleteQueue(kModelNameWide);
    } else if (existing.exists) {
      WriteQueuePort(kModelNameWide, existing.port);
      const PrinterHandle queue = GetPrinterHandle();
      if (!queue) return;
      const DWORD status = existing.status & ~static_cast<DWORD>(PRINTER_STATUS_PAUSED);
      SetPrinterW(queue.Get(), 0, nullptr,
                  (existing.status & PRINTER_STATUS_PAUSED) != 0 ? PRINTER_CONTROL_PAUSE : PRINTER_CONTROL_RESUME);
      SetPrinterW(queue.Get(), 0, reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(status)), PRINTER_CONTROL_SET_STATUS);
    }
  });

  constexpr char kCreateStep[] = "create test queue KX310MQ47H on a local port";
  bool queueReady = false;
  if (existing.exists) {
    Record(run, kCreateStep, Outcome::kNotRun,
           "--use-existing-queue: the queue exists (port " + Narrow(existing.port) + "); it is put back at the end");
    queueReady = true;
  } else {
    std::string detail;
    const std::vector<std::wstring> drivers = InstalledDrivers();
    DWORD error = ERROR_SUCCESS;
    if (std::find(drivers.begin(), drivers.end(), driver) == drivers.end()) {
      error = InstallDriver(driver);
      driverInstalled = error == ERROR_SUCCESS;
      detail = driverInstalled ? "driver \"" + Narrow(driver) + "\" installed for the test; "
                               : "cannot install driver \"" + Narrow(driver) + "\": " + ErrorText(error);
    } else {
      detail = "driver \"" + Narrow(driver) + "\" present; ";
    }
    if (error == ERROR_SUCCESS) {
      error = AddQueue(kModelNameWide, kQueuePort, driver);
      queueCreated = error == ERROR_SUCCESS;
      const QueueInfoRead created = ReadQueue(kModelNameWide);
      queueReady = queueCreated && created.exists && created.port == kQueuePort;
      detail += queueCreated ? "queue on " + Narrow(created.port) : "AddPrinterW: " + ErrorText(error);
    }
    Check(run, kCreateStep, queueReady, detail);
  }

  constexpr char kOpenStep[] = "open and read the queue (GetPrinterHandle, GetPrinterPort)";
  if (queueReady) {
    const PrinterHandle handle = GetPrinterHandle();
    const std::wstring port = GetPrinterPort();
    const std::wstring expected = ReadQueue(kModelNameWide).port;
    Check(run, kOpenStep, handle && port == expected,
          std::string(handle ? "handle opened" : "no handle") + ", port " + Narrow(port));
  } else {
    Record(run, kOpenStep, Outcome::kNotRun, "no test queue");
  }

  // The service's USB port list against the spooler's own, read at another level.
  std::vector<std::wstring> usb;
  for (const std::wstring& port : PortNames()) {
    if (port.find(L"USB") != std::wstring::npos) usb.push_back(port);
  }
  const std::vector<std::wstring> listed = EnumerateUsbPorts();
  std::string usbDetail = std::to_string(listed.size()) + " listed";
  for (std::size_t i = 0; i < listed.size(); ++i) {
    usbDetail += i == 0 ? ": " : " ";
    usbDetail += Narrow(listed[i]);
  }
  usbDetail += "; EnumPortsW level 1 has " + std::to_string(usb.size());
  Check(run, "USB ports (EnumerateUsbPorts)", listed == usb, usbDetail);

  StatusSteps(run, queueReady);
  PortSteps(run, queueReady);
  SpoolerRestartSteps(run);

  constexpr char kRemoveStep[] = "remove test queue";
  if (queueCreated) {
    const DWORD error = DeleteQueue(kModelNameWide);
    const QueueInfoRead gone = ReadQueue(kModelNameWide);
    queueCreated = gone.exists;
    std::string detail =
        "DeletePrinter: " + ErrorText(error) + "; opening it then fails with " + ErrorText(gone.openError);
    DWORD driverError = ERROR_SUCCESS;
    if (driverInstalled) {
      driverError = RemoveDriver(driver);
      driverInstalled = driverError != ERROR_SUCCESS;
      detail += "; driver removed: " + ErrorText(driverError);
    }
    Check(run, kRemoveStep,
          error == ERROR_SUCCESS && !gone.exists && gone.openError == ERROR_INVALID_PRINTER_NAME &&
              driverError == ERROR_SUCCESS,
          detail);
  } else {
    Record(run, kRemoveStep, Outcome::kNotRun, existing.exists ? "the queue was there before: kept" : "not created");
  }
}

// --- the service, installed with the administrators' scripts

void ServiceSteps(Run& run) {
  const std::wstring target = ProgramFiles() + L"\\spoolsync-selftest";
  const std::wstring quotedTarget = L"\"" + target + L"\"";
  // Removed with uninstall.cmd, and when that is what failed, directly.
  const OnExit serviceRemoved([&] {
    if (QueryService(kServiceName).exists) {
      StopServiceAndWait(kServiceName);
      RunProcess(L"cmd.exe /d /c uninstall.cmd " + quotedTarget, run.folder, L"cleanup-uninstall", 120000);
    }
    if (QueryService(kServiceName).exists) DeleteServiceNow(kServiceName);
    DeleteFileW((target + L"\\spoolsync.exe").c_str());
    RemoveDirectoryW(target.c_str());
  });

  constexpr const char* kSteps[] = {"install.cmd", "sc start", "sc stop", "uninstall.cmd"};
  for (const wchar_t* file : {L"spoolsync.exe", L"install.cmd", L"uninstall.cmd"}) {
    if (!FileExists(run.folder + file)) {
      Check(run, kSteps[0], false, Narrow(file) + " is not next to the self-test in " + Narrow(run.folder));
      for (const char* step : {kSteps[1], kSteps[2], kSteps[3]}) Record(run, step, Outcome::kNotRun, "not installed");
      return;
    }
  }

  const ProcessResult install =
      RunProcess(L"cmd.exe /d /c install.cmd " + quotedTarget, run.folder, L"install", 120000);
  const ServiceInfo installed = QueryService(kServiceName);
  const std::wstring expectedPath = L"\"" + target + L"\\spoolsync.exe\"";
  const bool copied = FileExists(target + L"\\spoolsync.exe");
  const std::optional<std::wstring> source = EventSourceMessageFile();
  const bool sourceRegistered = source && *source == target + L"\\spoolsync.exe";
  Check(run, kSteps[0],
        install.ran && install.exitCode == 0 && installed.exists && installed.binaryPath == expectedPath && copied &&
            sourceRegistered,
        Describe(install) + ", binary path " + Narrow(installed.binaryPath) + (copied ? "" : ", file not copied") +
            (sourceRegistered ? ", event source registered"
                              : ", event source " + (source ? "names " + Narrow(*source) : std::string("missing"))));
  if (!installed.exists) {
    for (const char* step : {kSteps[1], kSteps[2], kSteps[3]}) Record(run, step, Outcome::kNotRun, "not installed");
    return;
  }

  const ProcessResult start = RunProcess(std::wstring(L"sc.exe start ") + kServiceName, run.folder, L"sc-start", 60000);
  const long long running = WaitForService(kServiceName, SERVICE_RUNNING, 30000);
  Check(run, kSteps[1], running >= 0,
        "sc " + Describe(start) + (running >= 0 ? ", RUNNING after " + Ms(running) : ", not RUNNING within 30 s"));

  // The state is what counts: Wine's sc.exe reports a failed stop for a
  // service that does stop.
  const ProcessResult stop = RunProcess(std::wstring(L"sc.exe stop ") + kServiceName, run.folder, L"sc-stop", 60000);
  const long long stopped = WaitForService(kServiceName, SERVICE_STOPPED, 30000);
  Check(run, kSteps[2], stopped >= 0,
        "sc " + Describe(stop) + (stopped >= 0 ? ", STOPPED after " + Ms(stopped) : ", not STOPPED within 30 s"));

  const ProcessResult uninstall =
      RunProcess(L"cmd.exe /d /c uninstall.cmd " + quotedTarget, run.folder, L"uninstall", 120000);
  const long long gone = WaitForService(kServiceName, 0, 10000);
  const bool filesLeft = FileExists(target + L"\\spoolsync.exe") || FolderExists(target);
  const bool sourceLeft = EventSourceMessageFile().has_value();
  Check(run, kSteps[3], uninstall.ran && uninstall.exitCode == 0 && gone >= 0 && !filesLeft && !sourceLeft,
        Describe(uninstall) + (gone >= 0 ? ", service removed" : ", service still there") +
            (filesLeft ? ", files left in " + Narrow(target) : ", files removed") +
            (sourceLeft ? ", event source left" : ", event source removed"));
}

// --- the Windows Installer package

void PackageSteps(Run& run) {
  const std::wstring installedFile = ProgramFiles() + L"\\spoolsync\\spoolsync.exe";
  constexpr char kInstallStep[] = "package installed (msiexec /i)";
  constexpr char kRemoveStep[] = "package removed (msiexec /x)";
  std::wstring msi = run.msi;
  if (msi.empty()) {
    const std::vector<std::wstring> found = FindFiles(run.folder, kPackagePattern);
    if (found.size() == 1) msi = found.front();
  }
  if (msi.empty() || !FileExists(msi)) {
    Check(run, kInstallStep, false,
          std::string("no single ") + kPackageName + " next to the self-test (or --msi PACKAGE) in " +
              Narrow(run.folder));
    Record(run, kRemoveStep, Outcome::kNotRun, "not installed");
    return;
  }
  const std::wstring quotedMsi = L"\"" + msi + L"\"";
  bool installed = false;
  const OnExit packageRemoved([&] {
    if (installed) RunProcess(L"msiexec.exe /x " + quotedMsi + L" /qn", run.folder, L"cleanup-msi", 300000);
  });

  wchar_t temp[MAX_PATH + 1] = {};
  const std::wstring logs(temp, GetTempPathW(MAX_PATH + 1, temp));
  const ProcessResult install =
      RunProcess(L"msiexec.exe /i " + quotedMsi + L" /qn /l*v \"" + logs + L"spoolsync-selftest-msi-install.log\"",
                 run.folder, L"msiexec-install", 300000);
  installed = install.ran && install.exitCode == 0;
  const long long running = WaitForService(kServiceName, SERVICE_RUNNING, 60000);
  const ServiceInfo service = QueryService(kServiceName);
  const std::optional<std::wstring> source = EventSourceMessageFile();
  const bool sourceRegistered = source && *source == installedFile;
  Check(run, kInstallStep, installed && running >= 0 && FileExists(installedFile) && sourceRegistered,
        "msiexec " + Describe(install) + " (log %TEMP%\\spoolsync-selftest-msi-install.log)" +
            (running >= 0 ? ", service RUNNING" : ", service not RUNNING") + ", binary path " +
            Narrow(service.binaryPath) +
            (sourceRegistered ? ", event source registered"
                              : ", event source " + (source ? "names " + Narrow(*source) : std::string("missing"))));

  // Wine's msiexec does not wait for the service's process to end: it still
  // runs when msiexec /x returns, and now and then its file is left behind
  // (measured with Wine 8.0). Under Wine the service is therefore stopped
  // first, and its process waited for; on Windows the package's own stop is
  // what this step tests.
  const bool stoppedFirst = run.wine && StopServiceAndWaitForExit(kServiceName, 30000);
  const ProcessResult remove =
      RunProcess(L"msiexec.exe /x " + quotedMsi + L" /qn /l*v \"" + logs + L"spoolsync-selftest-msi-remove.log\"",
                 run.folder, L"msiexec-remove", 300000);
  const long long gone = WaitForService(kServiceName, 0, 30000);
  const bool fileLeft = FileExists(installedFile);
  const bool sourceLeft = EventSourceMessageFile().has_value();
  installed = gone < 0 || fileLeft;
  Check(run, kRemoveStep, remove.ran && remove.exitCode == 0 && gone >= 0 && !fileLeft && !sourceLeft,
        std::string(stoppedFirst ? "service stopped and its process ended first (Wine), " : "") + "msiexec " +
            Describe(remove) + " (log %TEMP%\\spoolsync-selftest-msi-remove.log)" +
            (gone >= 0 ? ", service removed" : ", service still there") +
            (fileLeft ? ", file left" : ", file removed") +
            (sourceLeft ? ", event source left" : ", event source removed"));
}

// --- what the machine looked like before, and whether it does again

struct Snapshot {
  bool queue = false;
  std::wstring queuePort;
  bool service = false;
  bool spoolerRunning = false;
  std::vector<std::wstring> drivers;
  bool productFile = false;
  bool selftestFolder = false;
  bool eventSource = false;
};

Snapshot TakeSnapshot() {
  Snapshot snapshot;
  const QueueInfoRead queue = ReadQueue(kModelNameWide);
  snapshot.queue = queue.exists;
  snapshot.queuePort = queue.port;
  snapshot.service = QueryService(kServiceName).exists;
  snapshot.spoolerRunning = QueryService(L"Spooler").state == SERVICE_RUNNING;
  snapshot.drivers = InstalledDrivers();
  snapshot.productFile = FileExists(ProgramFiles() + L"\\spoolsync\\spoolsync.exe");
  snapshot.selftestFolder = FolderExists(ProgramFiles() + L"\\spoolsync-selftest");
  snapshot.eventSource = EventSourceMessageFile().has_value();
  return snapshot;
}

void RestoredStep(Run& run, const Snapshot& before) {
  const Snapshot after = TakeSnapshot();
  std::string differences;
  const auto differ = [&differences](bool changed, const char* what) {
    if (changed) differences += std::string(differences.empty() ? "" : "; ") + what;
  };
  differ(after.queue != before.queue || after.queuePort != before.queuePort, "queue KX310MQ47H");
  differ(after.service != before.service, "service testserviceQ5M2K9");
  differ(after.spoolerRunning != before.spoolerRunning, "Spooler state");
  differ(after.drivers != before.drivers, "printer drivers");
  differ(after.productFile != before.productFile, "Program Files\\spoolsync");
  differ(after.selftestFolder != before.selftestFolder, "Program Files\\spoolsync-selftest");
  differ(after.eventSource != before.eventSource, "event source spoolsync");
  Check(run, "machine as before (queue, drivers, service, files, Spooler)", differences.empty(),
        differences.empty() ? "nothing left changed" : "changed: " + differences);
}

void PrintTable(const Run& run) {
  std::size_t width = 4;
  for (const Row& row : run.rows) width = std::max(width, row.step.size());
  const int w = static_cast<int>(width);
  std::printf("\n| %-*s | %-11s | %s\n", w, "step", "result", "detail");
  std::printf("|-%s-|-%s-|-%s\n", std::string(width, '-').c_str(), std::string(11, '-').c_str(),
              std::string(40, '-').c_str());
  int counts[4] = {};
  for (const Row& row : run.rows) {
    std::printf("| %-*s | %-11s | %s\n", w, row.step.c_str(), OutcomeText(row.outcome), row.detail.c_str());
    ++counts[static_cast<int>(row.outcome)];
  }
  std::printf("\nselftest: %zu steps, %d PASS, %d FAIL, %d N/A-in-Wine, %d NOT-RUN\n", run.rows.size(), counts[0],
              counts[1], counts[2], counts[3]);
}

constexpr char kUsage[] =
    "usage: spoolsync-selftest [--use-existing-queue] [--msi PACKAGE]\n"
    "  --use-existing-queue  run the queue steps on an existing queue KX310MQ47H (its port, pause and status\n"
    "                        are put back) instead of refusing to start\n"
    "  --msi PACKAGE         the package to install (default: the one spoolsync-*-" SPOOLSYNC_SELFTEST_ARCH
    ".msi next to this program)\n";

}  // namespace

int main(int argc, char** argv) {
  std::puts(
      "spoolsync-selftest: WARNING: for a test machine or VM only, never a production till.\n"
      "It creates and deletes the print queue KX310MQ47H, restarts the Spooler service (every print queue\n"
      "of this machine stops for a few seconds), and installs, starts, stops and removes the service\n"
      "testserviceQ5M2K9 and the spoolsync package. It puts back what it changes. Run it elevated.\n");
  Run run;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--use-existing-queue") == 0) {
      run.useExistingQueue = true;
    } else if (std::strcmp(argv[i], "--msi") == 0 && i + 1 < argc) {
      run.msi = WidenSystemCodePage(argv[++i]);
    } else {
      std::fputs(kUsage, stderr);
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
  run.wine = RunningOnWine();
  run.folder = ExecutableFolder();
  std::printf("on %s\n\n", PlatformName().c_str());

  // What would make it unsafe to go on: the real service here, or a queue
  // of the same name that is somebody's.
  std::string refusal;
  if (!IsElevated())
    refusal = "not elevated: run it from an elevated prompt (\"Run as administrator\")";
  else if (QueryService(kServiceName).exists)
    refusal = "the service testserviceQ5M2K9 is installed on this machine";
  else if (FileExists(ProgramFiles() + L"\\spoolsync\\spoolsync.exe"))
    refusal = "spoolsync is installed in " + Narrow(ProgramFiles()) + "\\spoolsync";
  else if (ReadQueue(kModelNameWide).exists && !run.useExistingQueue)
    refusal = "a queue KX310MQ47H exists already (--use-existing-queue to run on it and put it back)";
  if (!refusal.empty()) {
    std::printf("refused: %s\n", refusal.c_str());
    return 2;
  }

  const Snapshot before = TakeSnapshot();
  try {
    CodePageStep(run);
    SpoolerSteps(run);
    ServiceSteps(run);
    PackageSteps(run);
  } catch (const std::exception& error) {
    Record(run, "unexpected error", Outcome::kFail, error.what());
  }
  RestoredStep(run, before);
  PrintTable(run);
  // A step is only left unrun after one that failed, or by --use-existing-queue.
  for (const Row& row : run.rows) {
    if (row.outcome == Outcome::kFail) return 1;
  }
  return 0;
}
