// The simulated Windows machine: what tests and the scenario runner use to
// set up a machine, run processes on it, make things happen and read back
// what the processes did.
//
// One Machine exists at a time; the Win32 calls of win32_decls.h act on it.
// Its constructor's thread is the driver: every method here is called from
// it, and each method that makes something happen (Plug, SendControl, ...)
// only queues the event; the simulated threads react when the driver lets
// time run (RunUntilIdle, Advance).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/scheduler.h"
#include "platform/sim/win32_decls.h"

namespace sim {

struct MachineState;

// One line of the machine's timeline.
struct TraceEntry {
  // Fault: something a program did that Windows would not let pass (a call
  // after its service reported STOPPED, code of a thread whose process has
  // ended); each also fails the run. Event: an entry written to the Windows
  // Event Log.
  enum class Channel { Debug, Stdout, Spooler, Service, Scm, Device, Process, Fault, Event };
  Millis time;
  Channel channel;
  std::string text;
};

// A call that reached the spooler and changed, or tried to change, a queue.
struct SpoolerCommand {
  enum class Kind { Pause, Resume, SetStatus, SetPort, Other };
  Millis time;
  std::wstring queue;
  Kind kind;
  DWORD value;        // the status for SetStatus
  std::wstring port;  // the port for SetPort
  bool succeeded;
  DWORD error;
};

// An entry a program reported to the event log (ReportEventW).
struct EventLogEntry {
  Millis time;
  std::wstring source;
  WORD type;
  // As reported: the message table's full id, severity bits included.
  DWORD eventId;
  std::vector<std::wstring> inserts;
  // Whether the source's key, with its EventMessageFile, existed when the
  // entry was reported: without it the event viewer cannot show the message.
  bool sourceRegistered;

  // The id the event viewer shows: the low 16 bits.
  [[nodiscard]] DWORD ShownId() const { return eventId & 0xFFFFu; }
};

// How a device interface path is cased where the machine reports it.
enum class PathCase { AsIs, Upper, Lower };

struct QueueState {
  std::wstring port;
  bool paused;
  DWORD status;
};

// What is open: handles by kind, and global memory blocks.
struct HandleCounts {
  std::map<std::string, int> byKind;
  int Total() const;
  bool operator==(const HandleCounts&) const = default;
};

// Faults a test can inject; each is off by default.
struct DeviceFaults {
  std::optional<DWORD> readError;   // every read fails with this code
  std::optional<DWORD> shortRead;   // every read returns this many bytes
  Millis readLatency = 0;           // every read takes this long
  Millis openLatency = 0;           // every open takes this long
  bool heldByOtherProgram = false;  // an exclusive open fails with a sharing violation
};

class Machine {
 public:
  Machine();
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // ---- Time.
  [[nodiscard]] Millis Now() const;
  // Lets the machine's threads run until all of them wait; no time passes.
  void RunUntilIdle();
  // Lets virtual time pass while the threads run.
  void Advance(Millis duration);

  // ---- Registry (HKEY_LOCAL_MACHINE).
  // A value given as 8-bit bytes, as RegSetValueExA stores it: text types are
  // converted with the system code page, exactly as long as given (a value
  // without a NUL stays without one).
  void SetRegistryValue(const std::string& keyPath, const std::string& name, DWORD type, std::string bytes);
  // A REG_SZ value with its NUL, from 8-bit text (as RegSetValueExA) or wide
  // text (as RegSetValueExW).
  void SetRegistryString(const std::string& keyPath, const std::string& name, const std::string& text);
  void SetRegistryString(const std::string& keyPath, const std::string& name, const std::wstring& text);
  // A text value given as wide text, kept exactly as given (as RegSetValueExW
  // with a count that may leave the NUL out).
  void SetRegistryText(const std::string& keyPath, const std::string& name, DWORD type, std::wstring text);

  // ---- Code pages: the system's (CP_ACP, the registry's "A" calls) and the
  // threads' (CP_THREAD_ACP); 1252, 936 or 65001 (UTF-8), both 1252 unless
  // set.
  void SetCodePages(UINT systemCodePage, UINT threadCodePage);
  [[nodiscard]] UINT SystemCodePage() const;
  [[nodiscard]] UINT ThreadCodePage() const;
  void DeleteRegistryKey(const std::string& keyPath);

  // ---- Spooler.
  void AddQueue(const std::wstring& name, const std::wstring& port);
  void DeleteQueue(const std::wstring& name);
  // An administrator moves a queue to another port (the printer's
  // properties, Ports tab), as a level-2 write of another program would.
  void SetQueuePort(const std::wstring& name, const std::wstring& port);
  [[nodiscard]] std::optional<QueueState> Queue(const std::wstring& name) const;
  // A spooler port, listed in the order added; with a device id also the USB
  // monitor's key for the port with its "Device Id" value. Adding a port that
  // exists replaces its record (none without a device id), as the USB port
  // monitor does when a printer is plugged into that socket.
  void AddPort(const std::wstring& name, std::optional<std::string> deviceId = std::nullopt);
  [[nodiscard]] const std::vector<SpoolerCommand>& SpoolerJournal() const;
  // Makes every level-2 write of a queue fail with `error` (0 lets them through).
  void RejectPortWrites(DWORD error);
  // Makes EnumPortsW fail with `error` (0 lets it through).
  void FailPortEnumeration(DWORD error);
  // Whether the programs' account may administer printers (it may unless
  // taken away): without, an open for administration fails.
  void SetPrinterAdministration(bool allowed);

  // ---- Services: the Spooler and the service under test.
  [[nodiscard]] bool SpoolerRunning() const;
  [[nodiscard]] DWORD SpoolerState() const;
  // An administrator's stop: services that depend on the Spooler are stopped
  // first. Returns the Win32 error of a refused stop (0 when stopping): a
  // Spooler that is not running refuses it, as `sc stop` shows.
  DWORD StopSpooler();
  // Returns the Win32 error of a refused start (0 when started).
  DWORD StartSpooler();
  void SetSpoolerStopTime(Millis duration);
  // How long the Spooler stays START_PENDING after a start.
  void SetSpoolerStartTime(Millis duration);
  // A service that depends on the Spooler; while one runs, the Spooler
  // refuses a stop control.
  void SetSpoolerDependent(const std::string& name, bool running);
  // Whether a stop of the Spooler forgets the queues' status, keeping their
  // pause, as Windows' spooler does (off: both survive).
  void SetSpoolerForgetsStatus(bool forgets);
  // Every spooler call, or every registry call, takes this long.
  void SetSpoolerLatency(Millis latency);
  void SetRegistryLatency(Millis latency);
  // Times the Spooler was started again after a stop.
  [[nodiscard]] int SpoolerRestarts() const;
  // Makes OpenSCManagerA fail with `error` (0 makes it reachable again).
  void SetServiceManagerUnreachable(DWORD error);
  // Every call to the control manager takes this long.
  void SetServiceManagerLatency(Millis latency);

  // Installs the service the machine runs: `processEntry` is the process's
  // entry function, run on the process's main thread.
  void InstallService(const std::string& name, std::function<int()> processEntry);
  // Registers an event source in the Application log as an installer does:
  // its key under EventLogSourceKeyPath with EventMessageFile (the file
  // holding its message table) and TypesSupported 7.
  void RegisterEventLogSource(const std::wstring& source, const std::string& messageFile);
  [[nodiscard]] static std::string EventLogSourceKeyPath(const std::wstring& source);
  // The service control manager starts the service's process. Returns the
  // Win32 error (0 when started).
  DWORD StartService();
  // Sends a control to the running service, as the control manager does:
  // standard controls only when the service accepts them (shutdown included,
  // which only the system sends), interrogate and user-defined controls
  // (128-255) always. Returns the Win32 error (0 when delivered).
  DWORD SendControl(DWORD control);
  // Runs `processEntry` as a process started from a console, until it
  // returns; gives its exit code.
  int RunConsoleProcess(const std::function<int()>& processEntry);
  [[nodiscard]] bool ServiceProcessRunning() const;
  [[nodiscard]] std::optional<int> ServiceExitCode() const;
  // Every SetServiceStatus report of the service, in order.
  [[nodiscard]] std::vector<SERVICE_STATUS> StatusReports() const;
  // What the service's control handler returned for each control, in order
  // (NO_ERROR is "handled").
  [[nodiscard]] std::vector<DWORD> HandlerResults() const;
  // The state the service last reported (SERVICE_STOPPED before any).
  [[nodiscard]] DWORD ServiceState() const;
  // The longest time the service's control handler took for one control,
  // and how many controls it did not answer within the control manager's
  // 30 s.
  [[nodiscard]] Millis LongestControl() const;
  [[nodiscard]] int ControlTimeouts() const;

  // ---- USB devices.
  // Registers a USB device interface (not yet present). With a description,
  // also the "Port Description" value of its print interface's key. The
  // Setup API lists its path in lower case; its notifications carry the path
  // cased as `notifyCase` says (as given: the case of its hardware id).
  void AddDevice(const std::wstring& path, std::optional<std::string> description = std::nullopt, BYTE status = 0x20,
                 PathCase notifyCase = PathCase::AsIs);
  // The printer class driver registers (or, with no description, removes)
  // the print interface of a known device, present or not.
  void SetDeviceDescription(const std::wstring& path, std::optional<std::string> description);
  [[nodiscard]] bool HasDevice(const std::wstring& path) const;
  void Plug(const std::wstring& path);
  void Unplug(const std::wstring& path);
  void SetDeviceStatus(const std::wstring& path, BYTE status);
  void SetDeviceFaults(const std::wstring& path, const DeviceFaults& faults);
  // Whether an unplug with a handle open completes only when the last handle
  // closes, holding back the same device plugged in again meanwhile, as
  // Windows does (off: it completes at once).
  void SetRemovalWaitsForHandles(bool waits);
  // Delivers a raw device-interface event record to the service, as the
  // control manager would for a registered notification.
  void DeliverDeviceEvent(DWORD eventType, std::vector<BYTE> record);
  // The print interface key, under HKEY_LOCAL_MACHINE, where a device's
  // "Port Description" lives.
  [[nodiscard]] static std::string PrintInterfaceKeyPath(const std::wstring& path);
  [[nodiscard]] static std::string UsbMonitorPortKeyPath(const std::wstring& port);

  // ---- What happened.
  [[nodiscard]] const std::vector<TraceEntry>& Trace() const;
  // The faults so far, as on the timeline.
  [[nodiscard]] std::vector<std::string> Faults() const;
  [[nodiscard]] std::vector<std::string> DebugLines() const;
  [[nodiscard]] std::vector<std::string> StdoutLines() const;
  // The entries written to the Windows Event Log so far.
  [[nodiscard]] const std::vector<EventLogEntry>& EventLog() const;
  // What is open, and what processes left open when they ended (the system
  // closed those for them, but a program that leaves them is leaking).
  [[nodiscard]] HandleCounts OpenHandles() const;
  // Win32 calls made so far, by function name; and a fresh count from now.
  [[nodiscard]] std::map<std::string, std::uint64_t> CallCounts() const;
  void ResetCallCounts();

  // ---- Scheduling.
  // From now on, the next thread to run is drawn from `seed`, and every
  // Win32 call is a point where another ready thread may run.
  void SetScheduleSeed(std::uint64_t seed);
  // Threads of `process` still alive (0 is the machine's own).
  [[nodiscard]] int LiveThreads(int process) const;
  // Threads of processes that have ended and are still alive (unwinding).
  [[nodiscard]] int ThreadsOfEndedProcesses() const;
  // The tick count (GetTickCount) from now on counts on from `ticks`; it
  // wraps after 2^32 ms, as Windows' does after 49.7 days.
  void SetTickCount(DWORD ticks);
  // Drops the timeline, the spooler journal, the event log, the status
  // reports and the handler results, with their memory: for long runs that
  // measure the heap.
  void ForgetHistory();
  // Joins the real threads behind finished simulated ones, so that a heap
  // measurement does not depend on when they finished exiting.
  void JoinFinishedThreads();

  // The state behind the Win32 calls; for the simulation's own code.
  [[nodiscard]] MachineState& State() { return *state_; }

 private:
  std::unique_ptr<MachineState> state_;
};

}  // namespace sim
