// The kernel calls: last error, handles, events and waits, threads and
// locks, the device's file, standard output, memory, the debugger channel
// and the process's end.
#include <cstring>
#include <string>
#include <vector>

#include "tests/conformance/conformance.h"

namespace conformance {
namespace {

// The current process's pseudo handle (Microsoft docs, GetCurrentProcess).
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

constexpr wchar_t kDevice[] = L"\\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

HANDLE WithLowBits(HANDLE handle, std::uintptr_t bits) {
  return reinterpret_cast<HANDLE>(reinterpret_cast<std::uintptr_t>(handle) | bits);
}

TEST_F(Conformance, LastError) {
  // Windows: the last error is kept per thread; SetLastError's value is what
  // GetLastError reads back (Microsoft docs, GetLastError).
  Behaviour b("GetLastError", "the value set is read back, per thread");
  SetLastError(1234);
  DWORD inOtherThread = 0;
  machine.RunConsoleProcess([&inOtherThread] {
    SetLastError(5678);
    inOtherThread = GetLastError();
    return 0;
  });
  EXPECT_EQ(inOtherThread, 5678u);
  EXPECT_EQ(GetLastError(), 1234u);
}

TEST_F(Conformance, EventsAndWaits) {
  {
    // Windows: creating a named event sets the last error to 0; the same
    // name again gives the existing event with ERROR_ALREADY_EXISTS; names
    // are compared with their case (Wine dlls/kernel32/tests/sync.c,
    // test_event).
    Behaviour b("CreateEventW", "named events: 0, then ERROR_ALREADY_EXISTS; names keep their case");
    SetLastError(0xdeadbeef);
    HANDLE first = CreateEventW(nullptr, FALSE, FALSE, L"sync.c: Test Event");
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE second = CreateEventW(nullptr, FALSE, FALSE, L"sync.c: Test Event");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(SetEvent(second));
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_OBJECT_0);  // one event behind both handles
    HANDLE other = CreateEventW(nullptr, FALSE, FALSE, L"sync.c: TEST EVENT");
    EXPECT_EQ(GetLastError(), 0u);
    for (HANDLE h : {first, second, other}) CloseHandle(h);
  }
  {
    // Windows: a wait leaves a manual-reset event signaled and clears an
    // auto-reset one (sync.c, test_WaitForMultipleObjects).
    Behaviour b("CreateEventW", "a wait keeps a manual-reset event signaled, clears an auto-reset one");
    HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT);
    CloseHandle(manual);
    CloseHandle(automatic);
  }
  {
    // Windows: SetEvent signals the event and ResetEvent clears it; a handle
    // that is not an event fails with ERROR_INVALID_HANDLE (Microsoft docs,
    // SetEvent and ResetEvent).
    Behaviour b("SetEvent", "signals; an invalid handle: ERROR_INVALID_HANDLE");
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  {
    // Windows: a wait on an invalid handle fails with WAIT_FAILED and
    // ERROR_INVALID_HANDLE, whatever its two low bits (sync.c,
    // test_WaitForSingleObject).
    Behaviour b("WaitForSingleObject", "an invalid handle: WAIT_FAILED, ERROR_INVALID_HANDLE");
    const HANDLE invalid = reinterpret_cast<HANDLE>(std::uintptr_t{0xdeadbee0});
    for (std::uintptr_t bits = 0; bits < 4; ++bits) {
      SetLastError(0xdeadbeef);
      EXPECT_EQ(WaitForSingleObject(WithLowBits(invalid, bits), 0), WAIT_FAILED);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
  }
  {
    // Windows: a handle's two low bits are ignored, and a wait that times
    // out or is satisfied leaves the last error alone (sync.c,
    // test_WaitForSingleObject).
    Behaviour b("WaitForSingleObject", "low handle bits ignored; the last error left alone");
    HANDLE signaled = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE nonsignaled = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (std::uintptr_t bits = 0; bits < 4; ++bits) {
      SetLastError(0xdeadbeef);
      EXPECT_EQ(WaitForSingleObject(WithLowBits(nonsignaled, bits), 0), WAIT_TIMEOUT);
      EXPECT_EQ(WaitForSingleObject(WithLowBits(signaled, bits), 0), WAIT_OBJECT_0);
      EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    }
    CloseHandle(signaled);
    CloseHandle(nonsignaled);
  }
  {
    // Windows: (HANDLE)-1 is the current process's pseudo handle; a process
    // is signaled when it ends, so its own wait times out (Microsoft docs,
    // GetCurrentProcess and WaitForSingleObject).
    Behaviour b("WaitForSingleObject", "the current process's pseudo handle: the wait times out");
    DWORD result = WAIT_FAILED;
    DWORD waited = 0;
    machine.RunConsoleProcess([&] {
      const DWORD start = GetTickCount();
      result = WaitForSingleObject(kCurrentProcess, 800);
      waited = GetTickCount() - start;
      return 0;
    });
    EXPECT_EQ(result, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(waited, 800u);
  }
  {
    // Windows: closing a handle twice fails with ERROR_INVALID_HANDLE
    // (Microsoft docs, CloseHandle).
    Behaviour b("CloseHandle", "a second close: ERROR_INVALID_HANDLE");
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

// ---- Threads and locks.

DWORD WINAPI ReturnParameter(LPVOID parameter) {
  Sleep(100);
  return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(parameter));
}

SRWLOCK gLock = SRWLOCK_INIT;
int gStep = 0;

DWORD WINAPI TakeLockTwice(LPVOID) {
  AcquireSRWLockExclusive(&gLock);
  gStep = 1;
  AcquireSRWLockExclusive(&gLock);  // blocks until another thread releases it
  gStep = 2;
  ReleaseSRWLockExclusive(&gLock);
  return 0;
}

DWORD WINAPI TakeLockOnce(LPVOID) {
  AcquireSRWLockExclusive(&gLock);
  gStep = 3;
  ReleaseSRWLockExclusive(&gLock);
  return 0;
}

TEST_F(Conformance, ThreadsAndLocks) {
  {
    // Windows: a thread runs its routine with its parameter; its exit code is
    // STILL_ACTIVE until it ends, then the routine's return value; its handle
    // is signaled when it ends (Microsoft docs, CreateThread and
    // GetExitCodeThread).
    Behaviour b("CreateThread", "runs with its parameter; exit code, then signaled");
    HANDLE thread = CreateThread(nullptr, 0, ReturnParameter, reinterpret_cast<LPVOID>(std::uintptr_t{42}), 0, nullptr);
    ASSERT_NE(thread, nullptr);
    DWORD code = 0;
    machine.RunUntilIdle();
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    machine.Advance(100);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    CloseHandle(thread);
  }
  {
    // Windows: CREATE_SUSPENDED creates the thread suspended (Microsoft docs,
    // CreateThread).
    NotModelled b("CreateThread", "CREATE_SUSPENDED creates a suspended thread",
                  "the simulated threads cannot be suspended (no ResumeThread); any flag is refused");
    constexpr DWORD kCreateSuspended = 0x00000004;
    HANDLE thread = CreateThread(nullptr, 0, ReturnParameter, nullptr, kCreateSuspended, nullptr);
    EXPECT_NE(thread, nullptr);
    if (thread != nullptr) CloseHandle(thread);
  }
  {
    // Windows: an SRW lock starts free: SRWLOCK_INIT and InitializeSRWLock
    // make its word zero (Microsoft docs, InitializeSRWLock).
    Behaviour b("InitializeSRWLock", "the lock starts free, its word zero");
    SRWLOCK lock;
    std::memset(&lock, 0xff, sizeof lock);
    InitializeSRWLock(&lock);
    EXPECT_EQ(lock.Ptr, nullptr);
  }
  {
    // Windows: an exclusive SRW lock is not recursive: the same thread
    // acquiring it again blocks, until some thread releases it (SRW locks
    // have no owner) (Wine dlls/kernel32/tests/sync.c, test_srwlock_base).
    Behaviour b("AcquireSRWLockExclusive", "a second acquire by the same thread blocks until a release");
    InitializeSRWLock(&gLock);
    gStep = 0;
    HANDLE thread = CreateThread(nullptr, 0, TakeLockTwice, nullptr, 0, nullptr);
    machine.Advance(1000);
    EXPECT_EQ(gStep, 1);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
    ReleaseSRWLockExclusive(&gLock);
    machine.RunUntilIdle();
    EXPECT_EQ(gStep, 2);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    CloseHandle(thread);
  }
  {
    // Windows: TryAcquireSRWLockExclusive takes a free lock and returns
    // nonzero; on a lock held exclusively, even by the caller, it returns
    // zero at once (Wine dlls/kernel32/tests/sync.c, test_srwlock_base;
    // Microsoft docs, TryAcquireSRWLockExclusive).
    Behaviour b("TryAcquireSRWLockExclusive", "takes a free lock; a held one at once refused");
    InitializeSRWLock(&gLock);
    EXPECT_NE(TryAcquireSRWLockExclusive(&gLock), 0);
    EXPECT_EQ(TryAcquireSRWLockExclusive(&gLock), 0);
    ReleaseSRWLockExclusive(&gLock);
    EXPECT_NE(TryAcquireSRWLockExclusive(&gLock), 0);
    ReleaseSRWLockExclusive(&gLock);
  }
  {
    // Windows: a second thread blocks while the lock is held, and goes on
    // once it is released (sync.c, test_srwlock_base; Microsoft docs,
    // ReleaseSRWLockExclusive).
    Behaviour b("ReleaseSRWLockExclusive", "a waiting thread goes on once the lock is released");
    InitializeSRWLock(&gLock);
    gStep = 0;
    AcquireSRWLockExclusive(&gLock);
    HANDLE thread = CreateThread(nullptr, 0, TakeLockOnce, nullptr, 0, nullptr);
    machine.Advance(1000);
    EXPECT_EQ(gStep, 0);
    ReleaseSRWLockExclusive(&gLock);
    machine.RunUntilIdle();
    EXPECT_EQ(gStep, 3);
    CloseHandle(thread);
  }
  {
    // Windows: Sleep suspends the thread for at least the time given;
    // GetTickCount counts the milliseconds that pass (Microsoft docs, Sleep
    // and GetTickCount).
    Behaviour b("Sleep", "the time given passes");
    DWORD slept = 0;
    machine.RunConsoleProcess([&slept] {
      const DWORD start = GetTickCount();
      Sleep(2500);
      slept = GetTickCount() - start;
      return 0;
    });
    EXPECT_GE(slept, 2500u);
  }
  {
    // Windows: GetTickCount gives the milliseconds since the system started,
    // counting with the time that passes (Microsoft docs, GetTickCount).
    Behaviour b("GetTickCount", "follows the time that passes");
    const DWORD before = GetTickCount();
    machine.Advance(12345);
    EXPECT_EQ(GetTickCount() - before, 12345u);
  }
}

// ---- The printer's device file.

class DeviceFile : public Conformance {
 protected:
  DeviceFile() {
    machine.AddDevice(kDevice, "KX310MQ47H", 0x24);
    machine.Plug(kDevice);
  }
  static HANDLE Open(DWORD share = 0) {
    return CreateFileW(kDevice, GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
  }
};

DWORD gReadError = 0;
DWORD WINAPI ReadWithTheDeviceSlow(LPVOID device) {
  BYTE record[5];
  DWORD count = 0;
  gReadError = ReadFile(device, record, sizeof record, &count, nullptr) ? 0 : GetLastError();
  return 0;
}

TEST_F(DeviceFile, CreateFileW) {
  {
    // Windows: an empty name fails with ERROR_PATH_NOT_FOUND (Wine
    // dlls/kernel32/tests/file.c, test_CreateFileW).
    Behaviour b("CreateFileW", "an empty name: ERROR_PATH_NOT_FOUND");
    EXPECT_EQ(CreateFileW(L"", GENERIC_READ, 0, nullptr, CREATE_NEW, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  }
  {
    // Windows: a device name nothing answers to fails with
    // ERROR_FILE_NOT_FOUND (file.c, test_CreateFileW).
    Behaviour b("CreateFileW", "a device that does not exist: ERROR_FILE_NOT_FOUND");
    EXPECT_EQ(CreateFileW(L"\\\\.\\BOGUS", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  }
  {
    // Windows: a successful open sets the last error to 0 (file.c,
    // test_CreateFileW).
    Behaviour b("CreateFileW", "success sets the last error to 0");
    SetLastError(0xdeadbeef);
    HANDLE device = Open();
    EXPECT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(device);
  }
  {
    // Windows: a share mode of 0 keeps others from opening the file while the
    // handle is open: ERROR_SHARING_VIOLATION (Microsoft docs, CreateFileW).
    Behaviour b("CreateFileW", "opened without sharing: a second open fails with ERROR_SHARING_VIOLATION");
    HANDLE device = Open();
    EXPECT_EQ(Open(FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(device);
  }
}

TEST_F(DeviceFile, SurpriseRemoval) {
  BYTE record[5];
  DWORD count = 0;
  {
    // Windows: once a device is surprise-removed its drivers fail every new
    // request on it but close and clean-up (Microsoft docs, "Handling an
    // IRP_MN_SURPRISE_REMOVAL Request"); the code a read gets is the
    // driver's, ERROR_DEVICE_NOT_CONNECTED here.
    Behaviour b("ReadFile", "a handle kept open to an unplugged device: reads fail, the close succeeds");
    HANDLE device = Open();
    machine.Unplug(kDevice);
    EXPECT_FALSE(ReadFile(device, record, sizeof record, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(CloseHandle(device));
    machine.Plug(kDevice);
  }
  {
    // Windows: the PnP manager removes a surprise-removed device
    // (IRP_MN_REMOVE_DEVICE) only after all open handles to it are closed,
    // and never while one stays open (Microsoft docs, "Handling an
    // IRP_MN_SURPRISE_REMOVAL Request"); until then the same instance,
    // plugged back, is not started: it cannot be opened, and the old handle
    // stays dead. Once the handle closes, the removal completes and the
    // device arrives.
    Behaviour b("CreateFileW",
                "a device plugged back while a handle to it is open arrives only once that handle closes");
    machine.SetRemovalWaitsForHandles(true);
    HANDLE device = Open();
    machine.Unplug(kDevice);
    machine.Plug(kDevice);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(ReadFile(device, record, sizeof record, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(CloseHandle(device));
    HANDLE again = Open();
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(ReadFile(again, record, sizeof record, &count, nullptr));
    EXPECT_EQ(count, 5u);
    CloseHandle(again);
  }
}

TEST_F(DeviceFile, ReadFile) {
  HANDLE device = Open();
  {
    // Windows: reading into no buffer fails with ERROR_NOACCESS and reads
    // nothing (file.c, test_read_write).
    Behaviour b("ReadFile", "no buffer: ERROR_NOACCESS, nothing read");
    DWORD count = 12345678;
    EXPECT_FALSE(ReadFile(device, nullptr, 10, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOACCESS));
    EXPECT_EQ(count, 0u);
  }
  {
    // Windows: reading nothing succeeds, whatever the buffer, and leaves the
    // last error alone (file.c, test_read_write).
    Behaviour b("ReadFile", "reading nothing succeeds, the last error left alone");
    DWORD count = 12345678;
    SetLastError(12345678);
    EXPECT_TRUE(ReadFile(device, nullptr, 0, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(GetLastError(), 12345678u);
  }
  {
    // Windows: a handle that is no file fails with ERROR_INVALID_HANDLE
    // (Microsoft docs, ReadFile).
    Behaviour b("ReadFile", "a handle that is no file: ERROR_INVALID_HANDLE");
    BYTE record[5];
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(reinterpret_cast<HANDLE>(std::uintptr_t{0xdeadbee0}), record, 5, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  {
    // Windows: CancelSynchronousIo fails with ERROR_NOT_FOUND when the thread
    // has no synchronous I/O pending, and ends a pending read with
    // ERROR_OPERATION_ABORTED (Microsoft docs, CancelSynchronousIo).
    Behaviour b("CancelSynchronousIo", "ERROR_NOT_FOUND with nothing pending; a pending read is aborted");
    sim::DeviceFaults slow;
    slow.readLatency = 60000;
    machine.SetDeviceFaults(kDevice, slow);
    HANDLE thread = CreateThread(nullptr, 0, ReadWithTheDeviceSlow, device, 0, nullptr);
    EXPECT_FALSE(CancelSynchronousIo(thread));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    machine.Advance(100);
    EXPECT_TRUE(CancelSynchronousIo(thread));
    machine.RunUntilIdle();
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    EXPECT_EQ(gReadError, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    CloseHandle(thread);
  }
  CloseHandle(device);
}

// ---- Standard output, memory, the debugger channel, the process.

HANDLE gServiceStdOutput = INVALID_HANDLE_VALUE;

void WINAPI StdHandleServiceMain(DWORD, LPWSTR*) { gServiceStdOutput = GetStdHandle(STD_OUTPUT_HANDLE); }

TEST_F(Conformance, Process) {
  {
    // Windows: a service has no standard handles: GetStdHandle gives NULL; a
    // console process has its standard output (Microsoft docs, GetStdHandle).
    Behaviour b("GetStdHandle", "a service gets NULL, a console process its standard output");
    machine.InstallService("probe", [] {
      wchar_t name[] = L"probe";
      const SERVICE_TABLE_ENTRYW table[] = {{name, StdHandleServiceMain}, {nullptr, nullptr}};
      StartServiceCtrlDispatcherW(table);
      return 0;
    });
    ASSERT_EQ(machine.StartService(), 0u);
    machine.RunUntilIdle();
    EXPECT_EQ(gServiceStdOutput, nullptr);
    HANDLE console = nullptr;
    machine.RunConsoleProcess([&console] {
      console = GetStdHandle(STD_OUTPUT_HANDLE);
      return 0;
    });
    EXPECT_NE(console, nullptr);
    EXPECT_NE(console, INVALID_HANDLE_VALUE);
  }
  {
    // Windows: writing from no buffer fails with ERROR_INVALID_USER_BUFFER
    // and writes nothing; writing nothing succeeds and leaves the last error
    // alone (Wine dlls/kernel32/tests/file.c, test_read_write).
    Behaviour b("WriteFile", "no buffer: ERROR_INVALID_USER_BUFFER; nothing to write succeeds");
    machine.RunConsoleProcess([] {
      const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
      DWORD written = 12345678;
      SetLastError(12345678);
      EXPECT_TRUE(WriteFile(output, nullptr, 0, &written, nullptr));
      EXPECT_EQ(GetLastError(), 12345678u);
      EXPECT_EQ(written, 0u);
      written = 12345678;
      EXPECT_FALSE(WriteFile(output, nullptr, 10, &written, nullptr));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
      EXPECT_EQ(written, 0u);
      return 0;
    });
  }
  {
    // Windows: the text goes to the debugger as it is given (Microsoft docs,
    // OutputDebugStringA).
    Behaviour b("OutputDebugStringA", "the text reaches the debugger as given");
    OutputDebugStringA(" DevicePath:\\\\?\\usb#x\r\n");
    ASSERT_FALSE(machine.DebugLines().empty());
    EXPECT_EQ(machine.DebugLines().back(), " DevicePath:\\\\?\\usb#x\r\n");
  }
  {
    // Windows: GPTR allocates fixed, zeroed memory; GlobalFree gives NULL
    // when it frees the block (Microsoft docs, GlobalAlloc and GlobalFree).
    Behaviour b("GlobalAlloc", "GPTR gives zeroed fixed memory");
    auto* block = static_cast<BYTE*>(GlobalAlloc(GPTR, 64));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::vector<BYTE>(block, block + 64), std::vector<BYTE>(64, 0));
    EXPECT_EQ(GlobalFree(block), nullptr);
  }
  {
    // Windows: GlobalFree of what is no block fails, giving the handle back,
    // with ERROR_INVALID_HANDLE (Microsoft docs, GlobalFree).
    Behaviour b("GlobalFree", "freeing what is no block gives it back with ERROR_INVALID_HANDLE");
    BYTE notABlock[8];
    EXPECT_EQ(GlobalFree(notABlock), static_cast<HGLOBAL>(notABlock));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  {
    // Windows: GMEM_MOVEABLE allocates movable memory, a handle to lock with
    // GlobalLock (Microsoft docs, GlobalAlloc).
    NotModelled b("GlobalAlloc", "GMEM_MOVEABLE gives a movable block",
                  "only fixed memory is simulated (no GlobalLock); the flag is refused");
    constexpr UINT kMoveable = 0x0002;
    HGLOBAL block = GlobalAlloc(kMoveable, 64);
    EXPECT_NE(block, nullptr);
    if (block != nullptr) GlobalFree(block);
  }
  {
    // Windows: ExitProcess ends the process with the exit code given, and
    // its other threads with it (Microsoft docs, ExitProcess).
    Behaviour b("ExitProcess", "the process ends with the code given, its threads with it");
    const int code = machine.RunConsoleProcess([]() -> int {
      CreateThread(nullptr, 0, ReturnParameter, nullptr, 0, nullptr);
      ExitProcess(7);
    });
    machine.RunUntilIdle();
    const int liveAfter = machine.ThreadsOfEndedProcesses();
    EXPECT_EQ(code, 7);
    EXPECT_EQ(liveAfter, 0);
  }
}

}  // namespace
}  // namespace conformance
