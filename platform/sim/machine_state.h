// The simulated machine's state, shared by the files that implement its
// Win32 calls. Everything here is touched only by the participant holding
// the scheduler's baton, so it needs no locks of its own.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/sim/codepages.h"
#include "platform/sim/machine.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/win32_decls.h"

namespace sim {

// ---- Kernel and service objects behind handles.
struct ThreadObject {
  bool finished = false;
  DWORD exitCode = STILL_ACTIVE;
  // Set while the thread waits in a synchronous read; CancelSynchronousIo
  // sets `ioCancelled` to end that read.
  bool inSynchronousIo = false;
  bool ioCancelled = false;
};
struct EventObject {
  bool manualReset = false;
  bool signaled = false;
};
struct DeviceFile {
  std::wstring path;
  std::uint64_t generation = 0;
  DWORD shareMode = 0;
};
struct PrinterObject {
  std::wstring queue;
  std::uint64_t spoolerEpoch = 0;
  ACCESS_MASK access = 0;
};
struct KeyObject {
  std::string path;  // normalised
};
struct DeviceInfoSetObject {
  std::vector<std::wstring> paths;
};
struct ScManagerObject {
  ACCESS_MASK access = 0;  // granted, generic rights mapped
};
struct ServiceObject {
  std::string name;        // as the machine knows it
  ACCESS_MASK access = 0;  // granted, generic rights mapped
};
struct NotificationObject {
  int process = 0;
  GUID interfaceClass{};
};
struct EventSourceObject {
  std::wstring source;
};

using HandleObject =
    std::variant<std::shared_ptr<ThreadObject>, std::shared_ptr<EventObject>, DeviceFile, PrinterObject, KeyObject,
                 DeviceInfoSetObject, ScManagerObject, ServiceObject, NotificationObject, EventSourceObject>;

// Handle values are never reused, so a handle used after it was closed is
// always caught. Like Windows, the table ignores a handle's two low bits
// (Wine dlls/kernel32/tests/sync.c, test_WaitForSingleObject). Each handle
// belongs to the process that opened it (0 for the machine's own), and goes
// with it when that process ends.
class HandleTable {
 public:
  // The scheduler that tells which process a calling thread belongs to.
  void SetScheduler(const Scheduler* scheduler) { scheduler_ = scheduler; }
  // A handle of the calling thread's process.
  void* Add(HandleObject object);
  template <typename T>
  T* Find(const void* handle) {
    const auto it = entries_.find(Key(handle));
    return it == entries_.end() ? nullptr : std::get_if<T>(&it->second.object);
  }
  template <typename T, typename F>
  void ForEach(F&& visit) const {
    for (const auto& [value, entry] : entries_) {
      if (const T* typed = std::get_if<T>(&entry.object)) visit(*typed);
    }
  }
  bool Remove(const void* handle);
  [[nodiscard]] std::map<std::string, int> CountByKind() const;
  // Closes every handle of `process`, as the system does when a process
  // ends; gives how many of each kind it had left open.
  std::map<std::string, int> CloseProcess(int process);

 private:
  static std::uintptr_t Key(const void* handle) {
    return reinterpret_cast<std::uintptr_t>(handle) & ~std::uintptr_t{3};
  }
  struct Entry {
    HandleObject object;
    int process = 0;
  };
  const Scheduler* scheduler_ = nullptr;
  std::map<std::uintptr_t, Entry> entries_;
  std::uintptr_t next_ = 0x1000;
};

// ---- Registry: keys by normalised path (lower case, "\" separated), each
// with its values by lower-case name. Ancestors of a key always exist.
// Text values (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) are kept as Windows keeps
// them, as wide text with whatever terminating NULs they were given; the "A"
// calls convert them with the system code page. Other types are kept as bytes.
struct RegistryValue {
  DWORD type = REG_NONE;
  std::string bytes;
  std::wstring text;

  static bool IsText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }
};
struct Registry {
  std::map<std::string, std::map<std::string, RegistryValue>> keys;
  // Every registry call takes this long.
  Millis callLatency = 0;

  static std::string Normalize(std::string_view path);
  void CreateKey(const std::string& normalizedPath);
  [[nodiscard]] bool KeyExists(const std::string& normalizedPath) const;
};

// ---- Spooler.
struct SimQueue {
  std::wstring name;
  std::wstring port;
  bool paused = false;
  DWORD status = 0;
  // The printer's settings: the driver's DEVMODEW with its private part.
  std::vector<BYTE> devMode;
};
// The settings the queue's driver gives a new queue.
std::vector<BYTE> DriverDevMode(std::wstring_view queueName);
struct SimPort {
  std::wstring name;
  std::wstring monitor;
  std::wstring description;
};
struct Spooler {
  std::vector<SimQueue> queues;
  std::vector<SimPort> ports;
  std::vector<SpoolerCommand> journal;
  DWORD portWriteError = 0;
  DWORD enumPortsError = 0;
  // Whether the account the programs run as (LocalSystem for the service,
  // an administrator for a test) may administer printers.
  bool mayAdminister = true;

  SimQueue* FindQueue(std::wstring_view name);
  bool HasPort(std::wstring_view name) const;
};

// ---- Service control manager.
struct SpoolerService {
  DWORD state = SERVICE_RUNNING;
  // Incremented at every start: handles from before a restart are stale.
  std::uint64_t epoch = 1;
  Millis stopTime = 0;
  // How long the Spooler stays START_PENDING after a start.
  Millis startTime = 0;
  int restarts = 0;
  std::uint64_t stopRequests = 0;
  std::uint64_t startRequests = 0;
  // Services that depend on the Spooler, by name, and whether each runs.
  std::map<std::string, bool> dependents;
  // Every spooler call takes this long (the Spooler answers over RPC).
  Millis callLatency = 0;
  // A stop forgets the queues' status (their pause is kept), as Windows'
  // spooler does; a scenario can ask for the kinder answer, in which the
  // status survives.
  bool forgetsStatus = true;
};
struct ServiceProcess {
  int id = 0;
  bool startedByScm = false;
  bool ended = false;
  std::optional<int> exitCode;
  // Set once StartServiceCtrlDispatcherW connected the process.
  bool dispatcherConnected = false;
  LPHANDLER_FUNCTION_EX handler = nullptr;
  LPVOID context = nullptr;
  std::uintptr_t statusHandle = 0;
  bool stopReported = false;
  // Status reports received so far, and when the last one came.
  std::uint64_t reportsReceived = 0;
  Millis lastReportAt = 0;
  // The control the handler is running, counted from 1; 0 when idle.
  std::uint64_t controlInHandler = 0;
  std::uint64_t controlsDelivered = 0;
  Millis handlerStartedAt = 0;
  struct Control {
    DWORD control;
    DWORD eventType;
    std::vector<BYTE> data;
  };
  std::deque<Control> controls;
};
struct InstalledService {
  std::string name;
  std::function<int()> entry;
  std::shared_ptr<ServiceProcess> process;
  SERVICE_STATUS last{};
  std::vector<SERVICE_STATUS> reports;
  // What the control handler returned, control by control.
  std::vector<DWORD> handlerResults;
  // The longest time the handler took for one control, and how many controls
  // it did not answer within the control manager's limit.
  Millis longestControl = 0;
  int controlTimeouts = 0;
};
struct Scm {
  DWORD unreachableError = 0;
  // Every call to the control manager takes this long (it answers over RPC).
  // A status report takes effect when the control manager receives it, so
  // a control can reach the service before its SetServiceStatus returns.
  Millis callLatency = 0;
  SpoolerService spooler;
  std::optional<InstalledService> service;
  int nextProcess = 1;
  // Every process started, for the calls that act on the caller's own.
  std::vector<std::shared_ptr<ServiceProcess>> processes;
  std::uintptr_t nextStatusHandle = 0x5000;

  // The process the calling thread belongs to, if it is a service process.
  std::shared_ptr<ServiceProcess> ProcessOfCaller(int process) const;
};

// ---- USB devices.
struct SimDevice {
  std::wstring path;
  BYTE status = 0x20;
  bool present = false;
  // Incremented at every plug: a handle opened before an unplug stays dead.
  std::uint64_t generation = 0;
  DeviceFaults faults;
  // How the path is cased in the device's notifications.
  PathCase notifyCase = PathCase::AsIs;
  // Unplugged while a handle to it was open: its removal completes when the
  // last one closes (with Devices::removalWaitsForHandles).
  bool removalPending = false;
  // Plugged back while its removal was pending: it arrives once that
  // removal completes.
  bool arrivalHeld = false;
};
struct Devices {
  std::vector<SimDevice> all;
  std::vector<std::wstring> presentOrder;
  // Windows completes a surprise removal only once every handle to the
  // device is closed, and the same instance cannot arrive again until then.
  // A scenario can ask for the kinder answer, a removal that completes at
  // once.
  bool removalWaitsForHandles = true;

  SimDevice* Find(std::wstring_view path);
};

// Blocks from GlobalAlloc, with their size and the process that allocated
// them; a process's blocks go with it when it ends, and whatever is still
// allocated goes with the machine.
struct GlobalMemoryBlocks {
  struct Block {
    std::size_t size = 0;
    int process = 0;
  };
  std::map<void*, Block> blocks;
  GlobalMemoryBlocks() = default;
  GlobalMemoryBlocks(const GlobalMemoryBlocks&) = delete;
  GlobalMemoryBlocks& operator=(const GlobalMemoryBlocks&) = delete;
  ~GlobalMemoryBlocks();
};

struct MachineState {
  MachineState() { handles.SetScheduler(&scheduler); }
  MachineState(const MachineState&) = delete;
  MachineState& operator=(const MachineState&) = delete;

  HandleTable handles;
  // Events created with a name, by name (compared with its case).
  std::map<std::wstring, std::weak_ptr<EventObject>> namedEvents;
  Registry registry;
  Spooler spooler;
  Scm scm;
  Devices devices;
  GlobalMemoryBlocks globalMemory;
  // Every entry reported to the event log, in order.
  std::vector<EventLogEntry> eventLog;
  std::vector<TraceEntry> trace;
  // What GetTickCount adds to the virtual clock.
  DWORD tickOffset = 0;
  // Handles and memory blocks that processes left open when they ended, by
  // kind: the system closed them, leak checks still count them.
  std::map<std::string, int> leftOpenAtExit;
  // The system (ANSI) code page, which CP_ACP and the registry's "A" calls
  // use, and the calling threads' code page (CP_THREAD_ACP), which follows
  // the thread's locale and can differ from it.
  UINT systemCodePage = 1252;
  UINT threadCodePage = 1252;
  // Win32 calls made, by function (each name is the function's own
  // __func__, so its address identifies it). A fixed table: counting never
  // allocates, so the heap can be measured over long runs.
  struct CallCount {
    const char* name = nullptr;
    std::uint64_t count = 0;
  };
  std::array<CallCount, 64> callCounts{};
  std::map<std::string, std::uint64_t> CallCountsByName() const;
  // Last: destroyed first, so threads unwinding at teardown still find the
  // state above.
  Scheduler scheduler;

  void Log(TraceEntry::Channel channel, std::string text);
  void Fault(std::string text) { Log(TraceEntry::Channel::Fault, std::move(text)); }
  [[nodiscard]] Millis Now() const { return scheduler.Now(); }
  [[nodiscard]] bool SpoolerUp() const { return scm.spooler.state == SERVICE_RUNNING; }
};

// The machine the Win32 calls act on. Aborts with a message when there is none.
MachineState& Current();
void SetCurrent(MachineState* state);

// The start of every Win32 call: counted, and with a seeded schedule a
// point where another thread may run first.
void EnterCall(const char* name);

// Sets the calling thread's last error and gives the FALSE a failing call
// returns.
inline BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// `offset` rounded up to a multiple of `alignment`.
inline std::size_t AlignUp(std::size_t offset, std::size_t alignment) {
  return (offset + alignment - 1) / alignment * alignment;
}

// Text helpers for the simulation's own messages and lookups.
std::string Narrow(std::wstring_view text);
std::wstring Widen(std::string_view text);
bool EqualNoCase(std::wstring_view a, std::wstring_view b);
// `path` cased as `pathCase` says (ASCII letters only, as device paths hold).
std::wstring Cased(std::wstring_view path, PathCase pathCase);
std::string Hex(DWORD value);

// The kernel thread object of the calling simulated thread (null for the
// driver).
ThreadObject* CurrentThreadObject();

// A call that takes `latency` of virtual time: the calling thread waits it
// out, and other threads run meanwhile.
void TakeTime(MachineState& m, Millis latency);

// Runs `body` as a new thread of `process`, with its kernel thread object.
std::shared_ptr<ThreadObject> StartThread(MachineState& m, int process, std::string name, std::function<DWORD()> body);

// Processes and services.
std::shared_ptr<ServiceProcess> StartProcess(MachineState& m, bool startedByScm, std::function<int()> entry);
DWORD StartInstalledService(MachineState& m);
DWORD ControlInstalledService(MachineState& m, DWORD control);
void BeginSpoolerStop(MachineState& m);
// Stops every running service that depends on the Spooler, as an
// administrator's "net stop spooler /y" does first.
void StopSpoolerDependents(MachineState& m);
DWORD StartSpoolerService(MachineState& m);
// The device arrives: present, a new generation, its arrival notified.
void ArriveDevice(MachineState& m, SimDevice& device);
// Completes the pending removals whose last handle has closed, and the
// arrivals held behind them; after any device handle is closed.
void CompleteDeviceRemovals(MachineState& m);
// What the Spooler's memory held that a restart does not keep (with
// SpoolerService::forgetsStatus); when it has stopped.
void ForgetSpoolerMemory(MachineState& m);
// Waits, for a StartServiceA of the installed service, until its process
// connects: 0, or ERROR_SERVICE_REQUEST_TIMEOUT.
DWORD AwaitServiceConnection(MachineState& m);

// Delivers a control to the service's process (queued for its dispatcher).
void QueueServiceControl(MachineState& m, DWORD control, DWORD eventType, std::vector<BYTE> data);
// Queues a device-interface event for every registered notification that
// matches `interfaceClass`.
void NotifyDeviceInterface(MachineState& m, DWORD eventType, const GUID& interfaceClass, const std::wstring& path);

// The current process's pseudo handle, (HANDLE)-1 (Microsoft docs,
// GetCurrentProcess).
inline const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

inline constexpr GUID kUsbDeviceClass = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
bool SameGuid(const GUID& a, const GUID& b);

}  // namespace sim
