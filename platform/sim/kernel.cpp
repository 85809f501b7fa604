// Kernel calls of the simulated machine: last error, handles, threads,
// events and waits, the printer device's file, standard output, global
// memory, text conversion and the debugger channel.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <optional>
#include <string>

#include <iconv.h>

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

// Windows-1252 bytes 0x80..0x9F; the rest of the code page is Latin-1.
constexpr wchar_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                     0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                     0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                     0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

wchar_t WidenCp1252(unsigned char c) { return c >= 0x80 && c <= 0x9F ? kCp1252High[c - 0x80] : c; }

// The byte code page 1252 has for `c`, if any: Latin-1 outside 0x80..0x9F,
// the table inside it.
std::optional<char> NarrowCp1252(wchar_t c) {
  if ((c >= 0 && c < 0x80) || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (int i = 0; i < 32; ++i) {
    if (kCp1252High[i] == c) return static_cast<char>(0x80 + i);
  }
  return std::nullopt;
}

// Code page 936 (GBK) through the C library's CP936 converter, one character
// at a time: ASCII is itself, everything else one or two bytes.
class Cp936 {
 public:
  explicit Cp936(bool toWide) : converter_(toWide ? iconv_open("WCHAR_T", "CP936") : iconv_open("CP936", "WCHAR_T")) {
    if (converter_ == reinterpret_cast<iconv_t>(-1)) {
      std::fprintf(stderr, "the C library has no CP936 converter\n");
      std::abort();
    }
  }
  ~Cp936() { iconv_close(converter_); }
  Cp936(const Cp936&) = delete;
  Cp936& operator=(const Cp936&) = delete;

  // Converts `in` completely, or gives nothing.
  template <typename Out, typename In>
  std::optional<std::basic_string<Out>> Convert(const In* in, std::size_t inCount) {
    iconv(converter_, nullptr, nullptr, nullptr, nullptr);
    Out out[8] = {};
    char* inBytes = const_cast<char*>(reinterpret_cast<const char*>(in));
    std::size_t inLeft = inCount * sizeof(In);
    char* outBytes = reinterpret_cast<char*>(out);
    std::size_t outLeft = sizeof out;
    if (iconv(converter_, &inBytes, &inLeft, &outBytes, &outLeft) == static_cast<std::size_t>(-1) || inLeft != 0) {
      return std::nullopt;
    }
    return std::basic_string<Out>(out, (sizeof out - outLeft) / sizeof(Out));
  }

 private:
  iconv_t converter_;
};

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

void* HandleTable::Add(HandleObject object) {
  const std::uintptr_t value = next_;
  next_ += 4;
  entries_.emplace(value, std::move(object));
  return reinterpret_cast<void*>(value);
}

bool HandleTable::Remove(const void* handle) { return entries_.erase(reinterpret_cast<std::uintptr_t>(handle)) != 0; }

std::map<std::string, int> HandleTable::CountByKind() const {
  static constexpr const char* kKinds[] = {"thread",          "event",      "device",  "printer",      "key",
                                           "device-info-set", "sc-manager", "service", "notification", "event-source"};
  static_assert(std::size(kKinds) == std::variant_size_v<HandleObject>);
  std::map<std::string, int> counts;
  for (const auto& [value, object] : entries_) ++counts[kKinds[object.index()]];
  return counts;
}

GlobalMemoryBlocks::~GlobalMemoryBlocks() {
  for (const auto& [block, size] : blocks) std::free(block);
}

void MachineState::Log(TraceEntry::Channel channel, std::string text) {
  trace.push_back({Now(), channel, std::move(text)});
}

bool IsSimulatedCodePage(UINT codePage) { return codePage == 1252 || codePage == 936; }

std::wstring FromCodePage(UINT codePage, std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  if (codePage == 1252) {
    for (const char c : text) out.push_back(WidenCp1252(static_cast<unsigned char>(c)));
    return out;
  }
  Cp936 converter(true);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      out.push_back(c);
      continue;
    }
    // A lead byte takes the next byte with it; what the table does not hold
    // becomes '?'.
    const std::size_t length = c >= 0x81 && c <= 0xFE && i + 1 < text.size() ? 2 : 1;
    const auto wide = converter.Convert<wchar_t>(text.data() + i, length);
    if (wide && wide->size() == 1) {
      out += *wide;
      i += length - 1;
    } else {
      out.push_back(L'?');
    }
  }
  return out;
}

std::string ToCodePage(UINT codePage, std::wstring_view text, char defaultChar, bool* usedDefault) {
  std::string out;
  out.reserve(text.size());
  bool replaced = false;
  std::unique_ptr<Cp936> converter;
  for (const wchar_t c : text) {
    std::optional<std::string> bytes;
    // wchar_t is signed here: a negative value is no character, not ASCII.
    if (c >= 0 && c < 0x80) {
      bytes = std::string(1, static_cast<char>(c));
    } else if (codePage == 1252) {
      if (const auto byte = NarrowCp1252(c)) bytes = std::string(1, *byte);
    } else {
      if (!converter) converter = std::make_unique<Cp936>(false);
      bytes = converter->Convert<char>(&c, 1);
    }
    if (!bytes) {
      bytes = std::string(1, defaultChar);
      replaced = true;
    }
    out += *bytes;
  }
  if (usedDefault != nullptr) *usedDefault = replaced;
  return out;
}

std::string Narrow(std::wstring_view text) {
  std::string out;
  for (const wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

std::wstring Widen(std::string_view text) {
  std::wstring out;
  for (const char c : text) out.push_back(WidenCp1252(static_cast<unsigned char>(c)));
  return out;
}

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

void EnterCall(const char* name) {
  MachineState& m = Current();
  for (auto& entry : m.callCounts) {
    if (entry.name == nullptr) entry.name = name;
    if (entry.name == name) {
      ++entry.count;
      break;
    }
  }
  m.scheduler.SwitchPoint();
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
  m.handles.Remove(handle);
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

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  sim::EnterCall(__func__);
  if (name != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);  // named events are not simulated
    return nullptr;
  }
  auto event = std::make_shared<sim::EventObject>();
  event->manualReset = manualReset != FALSE;
  event->signaled = initialState != FALSE;
  return Current().handles.Add(std::move(event));
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
  sim::HandleObject object;
  if (auto* thread = m.handles.Find<std::shared_ptr<sim::ThreadObject>>(handle)) {
    object = *thread;
  } else if (auto* event = m.handles.Find<std::shared_ptr<sim::EventObject>>(handle)) {
    object = *event;
  } else {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  // The wait holds its own reference: the object outlives a close of the handle.
  const auto satisfied = [&object] { return sim::IsSignaled(object); };
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

DWORD WINAPI GetTickCount() {
  sim::EnterCall(__func__);
  return static_cast<DWORD>(Current().Now());
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
  return m.handles.Add(sim::DeviceFile{device->path, device->generation, shareMode});
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED overlapped) {
  sim::EnterCall(__func__);
  auto& m = Current();
  if (bytesRead != nullptr) *bytesRead = 0;
  const sim::DeviceFile* open = m.handles.Find<sim::DeviceFile>(file);
  if (open == nullptr) return sim::Fail(ERROR_INVALID_HANDLE);
  if (buffer == nullptr || (bytesRead == nullptr && overlapped == nullptr) || overlapped != nullptr)
    return sim::Fail(ERROR_INVALID_PARAMETER);
  const std::wstring path = open->path;
  const std::uint64_t generation = open->generation;
  const auto deviceGone = [&m, &path, generation] {
    const sim::SimDevice* device = m.devices.Find(path);
    return device == nullptr || !device->present || device->generation != generation;
  };
  if (deviceGone()) return sim::Fail(ERROR_DEVICE_NOT_CONNECTED);
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
  if (buffer == nullptr && bytesToWrite != 0) return sim::Fail(ERROR_INVALID_PARAMETER);
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
  Current().globalMemory.blocks.emplace(block, bytes);
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

}  // namespace

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH multiByte, int multiByteCount, LPWSTR wide,
                               int wideCount) {
  sim::EnterCall(__func__);
  auto& m = Current();
  codePage = ResolveCodePage(m, codePage);
  if (!sim::IsSimulatedCodePage(codePage) || multiByte == nullptr || multiByteCount == 0 || multiByteCount < -1 ||
      wideCount < 0 || (wide == nullptr && wideCount != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (flags != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  // With a count of -1 the text runs to its NUL, which is converted too.
  const std::size_t length =
      multiByteCount == -1 ? std::strlen(multiByte) + 1 : static_cast<std::size_t>(multiByteCount);
  const std::wstring converted = sim::FromCodePage(codePage, std::string_view(multiByte, length));
  if (wideCount == 0) return static_cast<int>(converted.size());
  if (static_cast<std::size_t>(wideCount) < converted.size()) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::wmemcpy(wide, converted.data(), converted.size());
  return static_cast<int>(converted.size());
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideCount, LPSTR multiByte,
                               int multiByteCount, LPCCH defaultChar, LPBOOL usedDefaultChar) {
  sim::EnterCall(__func__);
  auto& m = Current();
  codePage = ResolveCodePage(m, codePage);
  if (!sim::IsSimulatedCodePage(codePage) || wide == nullptr || wideCount == 0 || wideCount < -1 ||
      multiByteCount < 0 || (multiByte == nullptr && multiByteCount != 0) ||
      static_cast<const void*>(multiByte) == static_cast<const void*>(wide)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Best-fit substitutes are not simulated: with or without
  // WC_NO_BEST_FIT_CHARS, a character the code page lacks becomes the
  // default character.
  if ((flags & ~WC_NO_BEST_FIT_CHARS) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  const std::size_t length = wideCount == -1 ? std::wcslen(wide) + 1 : static_cast<std::size_t>(wideCount);
  bool replaced = false;
  const std::string converted = sim::ToCodePage(codePage, std::wstring_view(wide, length),
                                                defaultChar != nullptr ? *defaultChar : '?', &replaced);
  if (usedDefaultChar != nullptr) *usedDefaultChar = replaced ? TRUE : FALSE;
  if (multiByteCount == 0) return static_cast<int>(converted.size());
  if (static_cast<std::size_t>(multiByteCount) < converted.size()) {
    // What fits is written; the call still fails.
    std::memcpy(multiByte, converted.data(), static_cast<std::size_t>(multiByteCount));
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(multiByte, converted.data(), converted.size());
  return static_cast<int>(converted.size());
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
