// Kernel calls of the simulated machine: last error, handles, threads,
// events and waits, the printer device's file, standard output, global
// memory, text conversion and the debugger channel.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <exception>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "platform/sim/machine_state.h"

namespace sim {

namespace {

MachineState* gCurrent = nullptr;
thread_local DWORD tLastError = 0;
thread_local ThreadObject* tThreadObject = nullptr;

// Standard output is a pseudo handle: always there, never closed.
HANDLE const kStdOutput = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x54));

// The printer's status record around its status byte.
constexpr BYTE kRecordHeader[] = {0x10, 0x04, 0x01};
constexpr BYTE kRecordTrailer = 0x00;

bool IsSignaled(const HandleObject& object) {
  if (const auto* thread = std::get_if<std::shared_ptr<ThreadObject>>(&object)) return (*thread)->finished;
  if (const auto* event = std::get_if<std::shared_ptr<EventObject>>(&object)) return (*event)->signaled;
  return false;
}

}  // namespace

MachineState& Current() {
  if (gCurrent == nullptr) {
    std::fprintf(stderr, "a Win32 call was made with no simulated machine\n");
    std::abort();
  }
  return *gCurrent;
}

void SetCurrent(MachineState* state) { gCurrent = state; }

namespace {

const char* KindName(const HandleObject& object) {
  static constexpr const char* kKinds[] = {"thread",          "event",      "device",  "printer",      "key",
                                           "device-info-set", "sc-manager", "service", "notification", "event-source"};
  static_assert(std::size(kKinds) == std::variant_size_v<HandleObject>);
  return kKinds[object.index()];
}

}  // namespace

void* HandleTable::Add(HandleObject object) {
  const std::uintptr_t value = next_;
  next_ += 4;
  entries_.emplace(value, Entry{std::move(object), scheduler_ != nullptr ? scheduler_->CurrentProcess() : 0});
  return reinterpret_cast<void*>(value);
}

bool HandleTable::Remove(const void* handle) { return entries_.erase(Key(handle)) != 0; }

std::map<std::string, int> HandleTable::CountByKind() const {
  std::map<std::string, int> counts;
  for (const auto& [value, entry] : entries_) ++counts[KindName(entry.object)];
  return counts;
}

std::map<std::string, int> HandleTable::CloseProcess(int process) {
  std::map<std::string, int> closed;
  std::erase_if(entries_, [&](const auto& item) {
    if (item.second.process != process) return false;
    ++closed[KindName(item.second.object)];
    return true;
  });
  return closed;
}

GlobalMemoryBlocks::~GlobalMemoryBlocks() {
  for (const auto& [block, info] : blocks) std::free(block);
}

void MachineState::Log(TraceEntry::Channel channel, std::string text) {
  trace.push_back({Now(), channel, std::move(text)});
}

std::string Narrow(std::wstring_view text) {
  std::string out;
  for (const wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::wstring Widen(std::string_view text) { return FromCodePage(1252, text); }

bool EqualNoCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
           return std::towlower(static_cast<wint_t>(x)) == std::towlower(static_cast<wint_t>(y));
         });
}

std::wstring Cased(std::wstring_view path, PathCase pathCase) {
  std::wstring cased(path);
  for (wchar_t& c : cased) {
    if (pathCase == PathCase::Lower && c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (pathCase == PathCase::Upper && c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
  }
  return cased;
}

std::string Hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

ThreadObject* CurrentThreadObject() { return tThreadObject; }

namespace {

bool NameIn(const char* name, std::initializer_list<const char*> names) {
  return std::any_of(names.begin(), names.end(), [name](const char* n) { return std::strcmp(n, name) == 0; });
}

// What a destructor calls: the only calls a thread unwinding from its
// process's end is expected to make (and they find nothing left to close).
bool IsReleaseCall(const char* name) {
  return NameIn(name,
                {"CloseHandle", "ClosePrinter", "RegCloseKey", "CloseServiceHandle", "SetupDiDestroyDeviceInfoList",
                 "UnregisterDeviceNotification", "GlobalFree", "ReleaseSRWLockExclusive", "DeregisterEventSource"});
}

bool IsSpoolerOrServiceManagerCall(const char* name) {
  return NameIn(name, {"OpenPrinterW", "GetPrinterW", "SetPrinterW", "ClosePrinter", "EnumPortsW", "OpenSCManagerA",
                       "OpenServiceA", "ControlService", "StartServiceA", "QueryServiceStatus", "CloseServiceHandle",
                       "SetServiceStatus", "RegisterServiceCtrlHandlerExW", "RegisterDeviceNotificationW",
                       "UnregisterDeviceNotification"});
}

// Calls Windows would never see: code of a thread whose process has ended,
// and a service that goes on using the spooler or the control manager after
// it told the control manager it stopped (the process may be gone at any
// moment then; Microsoft docs, SetServiceStatus).
void CheckCaller(MachineState& m, const char* name) {
  if (m.scheduler.CurrentThreadKilled()) {
    if (!IsReleaseCall(name) && std::uncaught_exceptions() > 0) {
      m.Fault(std::string("a thread of an ended process called ") + name + ": its code ran past the process's end");
    }
    return;
  }
  const auto& service = m.scm.service;
  if (!service || !service->process || !service->process->stopReported || service->process->ended) return;
  if (!IsSpoolerOrServiceManagerCall(name) || m.scheduler.CurrentProcess() != service->process->id) return;
  m.Fault(std::string("the service called ") + name + " after it reported STOPPED");
}

}  // namespace

void EnterCall(const char* name) {
  MachineState& m = Current();
  for (auto& entry : m.callCounts) {
    if (entry.name == nullptr) entry.name = name;
    if (entry.name == name) {
      ++entry.count;
      break;
    }
  }
  CheckCaller(m, name);
  m.scheduler.SwitchPoint(IsReleaseCall(name));
}

std::map<std::string, std::uint64_t> MachineState::CallCountsByName() const {
  std::map<std::string, std::uint64_t> counts;
  for (const auto& entry : callCounts) {
    if (entry.name != nullptr) counts[entry.name] += entry.count;
  }
  return counts;
}

void TakeTime(MachineState& m, Millis latency) {
  if (latency > 0) m.scheduler.Pass(m.Now() + latency);
}

std::shared_ptr<ThreadObject> StartThread(MachineState& m, int process, std::string name, std::function<DWORD()> body) {
  auto thread = std::make_shared<ThreadObject>();
  m.scheduler.Spawn(
      process, std::move(name),
      [thread, body = std::move(body)] {
        tThreadObject = thread.get();
        thread->exitCode = body();
      },
      [thread] { thread->finished = true; });
  return thread;
}

}  // namespace sim

namespace sim {

void CompleteDeviceRemovals(MachineState& m) {
  for (SimDevice& device : m.devices.all) {
    if (!device.removalPending) continue;
    bool open = false;
    m.handles.ForEach<DeviceFile>([&](const DeviceFile& file) {
      open = open || (file.generation == device.generation && EqualNoCase(file.path, device.path));
    });
    if (open) continue;
    device.removalPending = false;
    m.Log(TraceEntry::Channel::Device, "removal of " + Narrow(device.path) + " complete: its last handle closed");
    if (device.arrivalHeld) {
      device.arrivalHeld = false;
      ArriveDevice(m, device);
    }
  }
}

}  // namespace sim

using sim::Current;

DWORD WINAPI GetLastError() { return sim::tLastError; }

void WINAPI SetLastError(DWORD error) { sim::tLastError = error; }

BOOL WINAPI CloseHandle(HANDLE handle) {
  sim::EnterCall(__func__);
  auto& m = Current();
  const bool kernelObject = m.handles.Find<std::shared_ptr<sim::ThreadObject>>(handle) != nullptr ||
                            m.handles.Find<std::shared_ptr<sim::EventObject>>(handle) != nullptr ||
                            m.handles.Find<sim::DeviceFile>(handle) != nullptr;
  if (!kernelObject) return sim::Fail(ERROR_INVALID_HANDLE);
  const bool deviceFile = m.handles.Find<sim::DeviceFile>(handle) != nullptr;
  m.handles.Remove(handle);
  if (deviceFile) sim::CompleteDeviceRemovals(m);
  return TRUE;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                           LPDWORD threadId) {
  sim::EnterCall(__func__);
  auto& m = Current();
  if (start == nullptr || flags != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const int process = m.scheduler.CurrentProcess();
  auto thread = sim::StartThread(m, process, "thread", [start, parameter] { return start(parameter); });
  // A thread of a process that has ended (the caller is one of its threads,
  // still unwinding) never runs: the process took its threads with it.
  for (const auto& p : m.scm.processes) {
    if (p->id == process && p->ended) m.scheduler.Kill(process);
  }
  void* handle = m.handles.Add(thread);
  if (threadId != nullptr) *threadId = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(handle));
  return handle;
}

BOOL WINAPI GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
  sim::EnterCall(__func__);
  auto* thread = Current().handles.Find<std::shared_ptr<sim::ThreadObject>>(handle);
  if (thread == nullptr || exitCode == nullptr) return sim::Fail(ERROR_INVALID_HANDLE);
  *exitCode = (*thread)->finished ? (*thread)->exitCode : STILL_ACTIVE;
  return TRUE;
}

// Windows: a successful create sets the last error: ERROR_ALREADY_EXISTS
// when the name (compared with its case) names an event already, which the
// handle then refers to, 0 otherwise (Wine dlls/kernel32/tests/sync.c,
// test_event).
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  sim::EnterCall(__func__);
  auto& m = Current();
  if (name != nullptr) {
    if (const auto existing = m.namedEvents[name].lock()) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return m.handles.Add(existing);
    }
  }
  auto event = std::make_shared<sim::EventObject>();
  event->manualReset = manualReset != FALSE;
  event->signaled = initialState != FALSE;
  if (name != nullptr) m.namedEvents[name] = event;
  SetLastError(ERROR_SUCCESS);
  return m.handles.Add(std::move(event));
}

namespace {

BOOL SetEventState(HANDLE handle, bool signaled) {
  auto* event = Current().handles.Find<std::shared_ptr<sim::EventObject>>(handle);
  if (event == nullptr) return sim::Fail(ERROR_INVALID_HANDLE);
  (*event)->signaled = signaled;
  return TRUE;
}

}  // namespace

BOOL WINAPI SetEvent(HANDLE handle) {
  sim::EnterCall(__func__);
  return SetEventState(handle, true);
}

BOOL WINAPI ResetEvent(HANDLE handle) {
  sim::EnterCall(__func__);
  return SetEventState(handle, false);
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  sim::EnterCall(__func__);
  auto& m = Current();
  // The wait holds its own reference: the object outlives a close of the handle.
  sim::HandleObject object;
  std::function<bool()> satisfied;
  if (handle == sim::kCurrentProcess) {
    // Windows: (HANDLE)-1 is the pseudo handle of the calling process, which
    // is signaled when the process has ended: never while one of its threads
    // waits on it (Microsoft docs, GetCurrentProcess and WaitForSingleObject).
    satisfied = [] { return false; };
  } else if (auto* thread = m.handles.Find<std::shared_ptr<sim::ThreadObject>>(handle)) {
    object = *thread;
  } else if (auto* event = m.handles.Find<std::shared_ptr<sim::EventObject>>(handle)) {
    object = *event;
  } else {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (!satisfied) satisfied = [&object] { return sim::IsSignaled(object); };
  if (!satisfied()) {
    if (milliseconds == 0) return WAIT_TIMEOUT;
    const sim::Millis deadline = milliseconds == INFINITE ? sim::kForever : m.Now() + milliseconds;
    if (!m.scheduler.Block(satisfied, deadline)) return WAIT_TIMEOUT;
  }
  if (auto* event = std::get_if<std::shared_ptr<sim::EventObject>>(&object); event && !(*event)->manualReset) {
    (*event)->signaled = false;
  }
  return WAIT_OBJECT_0;
}

void WINAPI Sleep(DWORD milliseconds) {
  sim::EnterCall(__func__);
  auto& m = Current();
  m.scheduler.Block(nullptr, milliseconds == INFINITE ? sim::kForever : m.Now() + milliseconds);
}

// Windows: the milliseconds since the system started, wrapping to zero
// after 49.7 days (Microsoft docs, GetTickCount).
DWORD WINAPI GetTickCount() {
  sim::EnterCall(__func__);
  auto& m = Current();
  return static_cast<DWORD>(static_cast<DWORD>(m.Now()) + m.tickOffset);
}

// A slim lock: the word holds a marker while the lock is owned. A thread that
// finds it owned waits, letting the others run, until it is released.
void WINAPI InitializeSRWLock(PSRWLOCK lock) { lock->Ptr = nullptr; }

void WINAPI AcquireSRWLockExclusive(PSRWLOCK lock) {
  sim::EnterCall(__func__);
  auto& m = Current();
  while (lock->Ptr != nullptr) m.scheduler.Block([lock] { return lock->Ptr == nullptr; }, sim::kForever);
  lock->Ptr = lock;
}

// Windows: takes the lock when it is free and returns nonzero; otherwise
// returns zero at once (Microsoft docs, TryAcquireSRWLockExclusive).
BOOLEAN WINAPI TryAcquireSRWLockExclusive(PSRWLOCK lock) {
  sim::EnterCall(__func__);
  if (lock->Ptr != nullptr) return FALSE;
  lock->Ptr = lock;
  return TRUE;
}

void WINAPI ReleaseSRWLockExclusive(PSRWLOCK lock) {
  sim::EnterCall(__func__);
  lock->Ptr = nullptr;
}

// Windows: CancelSynchronousIo ends the synchronous I/O the thread is waiting
// in with ERROR_OPERATION_ABORTED; with none pending it fails with
// ERROR_NOT_FOUND (Microsoft docs, CancelSynchronousIo).
BOOL WINAPI CancelSynchronousIo(HANDLE handle) {
  sim::EnterCall(__func__);
  auto* thread = Current().handles.Find<std::shared_ptr<sim::ThreadObject>>(handle);
  if (thread == nullptr) return sim::Fail(ERROR_INVALID_HANDLE);
  if (!(*thread)->inSynchronousIo) return sim::Fail(ERROR_NOT_FOUND);
  (*thread)->ioCancelled = true;
  return TRUE;
}

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                          DWORD creationDisposition, DWORD, HANDLE) {
  sim::EnterCall(__func__);
  auto& m = Current();
  if (fileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  // Windows: an empty name is no path at all (Wine dlls/kernel32/tests/file.c,
  // test_CreateFileW).
  if (*fileName == L'\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  sim::SimDevice* device = m.devices.Find(fileName);
  if (device == nullptr || !device->present) {
    SetLastError(ERROR_FILE_NOT_FOUND);  // only device interfaces exist on this machine
    return INVALID_HANDLE_VALUE;
  }
  // Opening a device can take a while; it may be unplugged meanwhile.
  if (const sim::Millis latency = device->faults.openLatency; latency > 0) {
    const std::wstring path = device->path;
    m.scheduler.Block(nullptr, m.Now() + latency);
    device = m.devices.Find(path);
    if (!device->present) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
  }
  if (creationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  // Sharing: the device is opened for reading and writing, so a second
  // open of the same plug-in conflicts unless both opens share both.
  constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;
  bool conflict = device->faults.heldByOtherProgram;
  m.handles.ForEach<sim::DeviceFile>([&](const sim::DeviceFile& open) {
    if (open.generation != device->generation || !sim::EqualNoCase(open.path, device->path)) return;
    if ((open.shareMode & kShareAll) != kShareAll || (shareMode & kShareAll) != kShareAll) conflict = true;
  });
  if (conflict || (desiredAccess & (GENERIC_READ | GENERIC_WRITE)) == 0) {
    SetLastError(conflict ? ERROR_SHARING_VIOLATION : ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  // Windows: a successful open sets the last error, to 0 unless it reports
  // that an existing file was opened by OPEN_ALWAYS or CREATE_ALWAYS (Wine
  // dlls/kernel32/tests/file.c, test_CreateFileW).
  SetLastError(ERROR_SUCCESS);
  return m.handles.Add(sim::DeviceFile{device->path, device->generation, shareMode});
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
  sim::EnterCall(__func__);
  auto& m = Current();
  if (bytesRead != nullptr) *bytesRead = 0;
  const sim::DeviceFile* open = m.handles.Find<sim::DeviceFile>(file);
  if (open == nullptr) return sim::Fail(ERROR_INVALID_HANDLE);
  if ((bytesRead == nullptr && overlapped == nullptr) || overlapped != nullptr)
    return sim::Fail(ERROR_INVALID_PARAMETER);
  // Windows: reading into no buffer fails with ERROR_NOACCESS, reading
  // nothing succeeds whatever the buffer (Wine dlls/kernel32/tests/file.c,
  // test_read_write).
  if (buffer == nullptr && bytesToRead != 0) return sim::Fail(ERROR_NOACCESS);
  const std::wstring path = open->path;
  const std::uint64_t generation = open->generation;
  const auto deviceGone = [&m, &path, generation] {
    const sim::SimDevice* device = m.devices.Find(path);
    return device == nullptr || !device->present || device->generation != generation;
  };
  if (deviceGone()) return sim::Fail(ERROR_DEVICE_NOT_CONNECTED);
  if (bytesToRead == 0) return TRUE;
  // A synchronous read blocks for as long as the device takes to answer;
  // the device can be unplugged meanwhile, and another thread can cancel the
  // read.
  if (const sim::Millis latency = m.devices.Find(path)->faults.readLatency; latency > 0) {
    sim::ThreadObject* self = sim::CurrentThreadObject();
    if (self != nullptr) {
      self->inSynchronousIo = true;
      self->ioCancelled = false;
    }
    m.scheduler.Block([self] { return self != nullptr && self->ioCancelled; }, m.Now() + latency);
    const bool cancelled = self != nullptr && self->ioCancelled;
    if (self != nullptr) self->inSynchronousIo = self->ioCancelled = false;
    if (cancelled) return sim::Fail(ERROR_OPERATION_ABORTED);
    if (deviceGone()) return sim::Fail(ERROR_DEVICE_NOT_CONNECTED);
  }
  const sim::SimDevice& device = *m.devices.Find(path);
  if (device.faults.readError) return sim::Fail(*device.faults.readError);
  const BYTE record[] = {sim::kRecordHeader[0], sim::kRecordHeader[1], sim::kRecordHeader[2], device.status,
                         sim::kRecordTrailer};
  DWORD count = std::min<DWORD>(bytesToRead, sizeof record);
  if (device.faults.shortRead) count = std::min(count, *device.faults.shortRead);
  std::memcpy(buffer, record, count);
  *bytesRead = count;
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED) {
  sim::EnterCall(__func__);
  auto& m = Current();
  if (bytesWritten != nullptr) *bytesWritten = 0;
  if (file != sim::kStdOutput) {
    // The service never writes to its printer; writes to it are refused.
    SetLastError(m.handles.Find<sim::DeviceFile>(file) != nullptr ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  // Windows: writing from no buffer fails with ERROR_INVALID_USER_BUFFER
  // (Wine dlls/kernel32/tests/file.c, test_read_write).
  if (buffer == nullptr && bytesToWrite != 0) return sim::Fail(ERROR_INVALID_USER_BUFFER);
  m.Log(sim::TraceEntry::Channel::Stdout, std::string(static_cast<const char*>(buffer), bytesToWrite));
  if (bytesWritten != nullptr) *bytesWritten = bytesToWrite;
  return TRUE;
}

HANDLE WINAPI GetStdHandle(DWORD stdHandle) {
  sim::EnterCall(__func__);
  auto& m = Current();
  // A service process has no standard handles: its control manager gives it
  // no console, and nothing redirected them.
  if (m.scm.ProcessOfCaller(m.scheduler.CurrentProcess()) != nullptr) return nullptr;
  if (stdHandle == STD_OUTPUT_HANDLE) return sim::kStdOutput;
  SetLastError(ERROR_INVALID_HANDLE);
  return INVALID_HANDLE_VALUE;
}

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
  sim::EnterCall(__func__);
  if ((flags & ~GMEM_ZEROINIT) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);  // only fixed memory is simulated
    return nullptr;
  }
  void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
  if (block == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto& m = Current();
  m.globalMemory.blocks.emplace(block, sim::GlobalMemoryBlocks::Block{bytes, m.scheduler.CurrentProcess()});
  return block;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL memory) {
  sim::EnterCall(__func__);
  auto& blocks = Current().globalMemory.blocks;
  if (memory == nullptr) return nullptr;
  if (blocks.erase(memory) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return memory;
  }
  std::free(memory);
  return nullptr;
}

namespace {

UINT ResolveCodePage(const sim::MachineState& m, UINT codePage) {
  if (codePage == CP_ACP) return m.systemCodePage;
  if (codePage == CP_THREAD_ACP) return m.threadCodePage;
  return codePage;
}

// Windows: a negative length of any value, not only -1, means "up to and
// with the terminating NUL" (Wine dlls/kernel32/tests/codepage.c,
// test_negative_source_length).
template <typename Char>
std::size_t SourceLength(const Char* text, int count) {
  if (count >= 0) return static_cast<std::size_t>(count);
  std::size_t length = 0;
  while (text[length] != Char{}) ++length;
  return length + 1;
}

// The default character WideCharToMultiByte writes: the code page's own, or
// the one given, which in a double-byte code page may be a lead and a trail
// byte.
std::string DefaultChar(UINT codePage, LPCCH given) {
  if (given == nullptr) return "?";
  if (sim::IsLeadByte(codePage, static_cast<unsigned char>(given[0])) && given[1] != '\0') {
    return std::string(given, 2);
  }
  return std::string(1, given[0]);
}

}  // namespace

// Windows: the checks and flags of Microsoft docs, MultiByteToWideChar (for
// UTF-8 only the flags 0 and MB_ERR_INVALID_CHARS), and Wine
// dlls/kernel32/tests/codepage.c. A buffer too short is filled as far as it
// goes, and the call fails.
int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByte, int multiByteCount, LPWSTR wide,
                               int wideCount) {
  sim::EnterCall(__func__);
  auto& m = Current();
  codePage = ResolveCodePage(m, codePage);
  if (!sim::IsSimulatedCodePage(codePage) || multiByte == nullptr || multiByteCount == 0 || wideCount < 0 ||
      (wide == nullptr && wideCount != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const DWORD allowed = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS
                                            : MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS;
  if ((flags & ~allowed) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  sim::WidenRules rules;
  rules.decompose = (flags & MB_COMPOSITE) != 0;
  rules.failOnInvalid = (flags & MB_ERR_INVALID_CHARS) != 0;
  const auto converted =
      sim::WidenText(codePage, std::string_view(multiByte, SourceLength(multiByte, multiByteCount)), rules);
  if (!converted) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  if (wideCount == 0) return static_cast<int>(converted->size());
  if (static_cast<std::size_t>(wideCount) < converted->size()) {
    std::wmemcpy(wide, converted->data(), static_cast<std::size_t>(wideCount));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::wmemcpy(wide, converted->data(), converted->size());
  return static_cast<int>(converted->size());
}

// Windows: the checks and flags of Microsoft docs, WideCharToMultiByte (for
// UTF-8 only the flags 0 and WC_ERR_INVALID_CHARS, and no default-character
// pointers; WC_DISCARDNS, WC_SEPCHARS and WC_DEFAULTCHAR only with
// WC_COMPOSITECHECK), and Wine dlls/kernel32/tests/codepage.c: a parameter
// error is reported before a flags error, a buffer too short gets the whole
// characters that fit, and lpUsedDefaultChar speaks of what was written.
int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideCount, LPSTR multiByte,
                               int multiByteCount, LPCCH defaultChar, LPBOOL usedDefaultChar) {
  sim::EnterCall(__func__);
  auto& m = Current();
  codePage = ResolveCodePage(m, codePage);
  const bool utf8 = codePage == CP_UTF8;
  if (!sim::IsSimulatedCodePage(codePage) || wide == nullptr || wideCount == 0 || multiByteCount < 0 ||
      (multiByte == nullptr && multiByteCount != 0) ||
      static_cast<const void*>(multiByte) == static_cast<const void*>(wide) ||
      (utf8 && (defaultChar != nullptr || usedDefaultChar != nullptr))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  constexpr DWORD kComposite = WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR;
  const DWORD allowed = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS | WC_COMPOSITECHECK | kComposite;
  const DWORD composite = flags & kComposite;
  if ((flags & ~allowed) != 0 ||
      (composite != 0 && ((flags & WC_COMPOSITECHECK) == 0 || (composite & (composite - 1)) != 0))) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  sim::NarrowRules rules;
  rules.bestFit = (flags & WC_NO_BEST_FIT_CHARS) == 0;
  rules.compose = (flags & WC_COMPOSITECHECK) != 0;
  rules.uncomposable = composite != 0 ? composite : WC_SEPCHARS;
  rules.defaultChar = DefaultChar(codePage, defaultChar);
  rules.failOnInvalid = (flags & WC_ERR_INVALID_CHARS) != 0;
  const auto converted = sim::NarrowText(codePage, std::wstring_view(wide, SourceLength(wide, wideCount)), rules);
  if (!converted) {
    SetLastError(ERROR_NO_UNICODE_TRANSLATION);
    return 0;
  }
  // Only whole characters are written: a character that does not fit ends
  // the conversion.
  const std::size_t room = multiByteCount == 0 ? SIZE_MAX : static_cast<std::size_t>(multiByteCount);
  std::size_t written = 0;
  bool replaced = false;
  bool complete = true;
  for (const sim::NarrowedChar& c : *converted) {
    if (c.bytes.size() > room - written) {
      complete = false;
      break;
    }
    if (multiByteCount != 0) std::memcpy(multiByte + written, c.bytes.data(), c.bytes.size());
    written += c.bytes.size();
    replaced = replaced || c.usedDefault;
  }
  if (usedDefaultChar != nullptr) *usedDefaultChar = replaced ? TRUE : FALSE;
  if (!complete) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  return static_cast<int>(written);
}

UINT WINAPI GetACP() {
  sim::EnterCall(__func__);
  return Current().systemCodePage;
}

void WINAPI OutputDebugStringA(LPCSTR text) {
  sim::EnterCall(__func__);
  Current().Log(sim::TraceEntry::Channel::Debug, text != nullptr ? text : "");
}

namespace {

// The system's messages for the errors the service can meet, in English, as
// Windows gives them (Microsoft docs, System Error Codes); each ends with the
// line break FormatMessage keeps.
struct SystemMessage {
  DWORD code;
  const wchar_t* text;
};
constexpr SystemMessage kSystemMessages[] = {
    {ERROR_SUCCESS, L"The operation completed successfully.\r\n"},
    {ERROR_FILE_NOT_FOUND, L"The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, L"The system cannot find the path specified.\r\n"},
    {ERROR_ACCESS_DENIED, L"Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, L"The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, L"Not enough memory resources are available to process this command.\r\n"},
    {ERROR_INVALID_DATA, L"The data is invalid.\r\n"},
    {ERROR_GEN_FAILURE, L"A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION, L"The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_NOT_SUPPORTED, L"The request is not supported.\r\n"},
    {ERROR_INVALID_PARAMETER, L"The parameter is incorrect.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, L"The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_LEVEL, L"The system call level is not correct.\r\n"},
    {ERROR_OPERATION_ABORTED,
     L"The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {ERROR_DEPENDENT_SERVICES_RUNNING,
     L"A stop control has been sent to a service that other running services are dependent on.\r\n"},
    {ERROR_INVALID_SERVICE_CONTROL, L"The requested control is not valid for this service.\r\n"},
    {ERROR_SERVICE_REQUEST_TIMEOUT,
     L"The service did not respond to the start or control request in a timely fashion.\r\n"},
    {ERROR_SERVICE_ALREADY_RUNNING, L"An instance of the service is already running.\r\n"},
    {ERROR_SERVICE_DOES_NOT_EXIST, L"The specified service does not exist as an installed service.\r\n"},
    {ERROR_SERVICE_CANNOT_ACCEPT_CTRL, L"The service cannot accept control messages at this time.\r\n"},
    {ERROR_SERVICE_NOT_ACTIVE, L"The service has not been started.\r\n"},
    {ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, L"The service process could not connect to the service controller.\r\n"},
    {ERROR_DEVICE_NOT_CONNECTED, L"The device is not connected.\r\n"},
    {ERROR_NOT_FOUND, L"Element not found.\r\n"},
    {RPC_S_SERVER_UNAVAILABLE, L"The RPC server is unavailable.\r\n"},
    {ERROR_UNKNOWN_PORT, L"The specified port is unknown.\r\n"},
    {ERROR_INVALID_PRINTER_NAME, L"The printer name is invalid.\r\n"},
};

// Languages the machine has its messages in: neutral (the lookup order
// FormatMessage documents), the neutral default and U.S. English.
bool IsSimulatedLanguage(DWORD languageId) { return languageId == 0 || languageId == 0x0400 || languageId == 0x0409; }

}  // namespace

// Windows: FormatMessage with FORMAT_MESSAGE_FROM_SYSTEM copies the system's
// text for the code with its trailing line break and returns the characters
// stored, the NUL not counted; a code with no text fails with
// ERROR_MR_MID_NOT_FOUND, a language it has no text in with
// ERROR_RESOURCE_LANG_NOT_FOUND, and a buffer too small for the text and its
// NUL with ERROR_INSUFFICIENT_BUFFER (Microsoft docs, FormatMessageW and
// System Error Codes). Only system messages copied into the caller's buffer,
// without inserts, are simulated.
DWORD WINAPI FormatMessageW(DWORD flags, LPCVOID, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                            va_list*) {
  sim::EnterCall(__func__);
  constexpr DWORD kSimulatedFlags =
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (flags & ~kSimulatedFlags) != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);  // other sources and allocated buffers are not simulated
    return 0;
  }
  if (buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const SystemMessage* found = nullptr;
  for (const SystemMessage& message : kSystemMessages) {
    if (message.code == messageId) found = &message;
  }
  if (found == nullptr) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  if (!IsSimulatedLanguage(languageId)) {
    SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
    return 0;
  }
  const std::size_t length = std::wcslen(found->text);
  if (length + 1 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::wmemcpy(buffer, found->text, length + 1);
  return static_cast<DWORD>(length);
}

int _wcsicmp(const wchar_t* a, const wchar_t* b) {
  // The C locale folds only ASCII letters.
  const auto fold = [](wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
  for (;; ++a, ++b) {
    const wchar_t x = fold(*a);
    const wchar_t y = fold(*b);
    if (x != y) return x < y ? -1 : 1;
    if (x == L'\0') return 0;
  }
}
