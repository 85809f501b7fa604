// The end of a process on the simulated machine, as Windows ends one: every
// thread stops where it is, the system closes what the process held, and a
// service gets no further say once it has reported STOPPED.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/machine_state.h"

namespace {

bool TraceContains(const sim::Machine& machine, const std::string& text) {
  for (const auto& entry : machine.Trace()) {
    if (entry.text.find(text) != std::string::npos) return true;
  }
  return false;
}

// Windows: "All of the threads in the process, except the calling thread,
// terminate their execution" and the calling thread ends with them
// (Microsoft docs, ExitProcess). A thread in the middle of a call that takes
// time never returns from it.
TEST(ProcessEnd, ExitProcessEndsEveryThreadWhereverItIs) {
  sim::Machine machine;
  machine.SetServiceManagerLatency(1000);
  static bool callReturned;
  static bool mainGoesOn;
  callReturned = mainGoesOn = false;
  const int exitCode = machine.RunConsoleProcess([] {
    CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
          // Takes 1 s; the process ends 100 ms into it.
          const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
          callReturned = true;
          CloseServiceHandle(manager);
          return 0;
        },
        nullptr, 0, nullptr);
    CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
          Sleep(INFINITE);
          return 0;
        },
        nullptr, 0, nullptr);
    Sleep(100);
    ExitProcess(3);
    mainGoesOn = true;
    return 0;
  });
  machine.Advance(5000);
  EXPECT_EQ(exitCode, 3);
  EXPECT_FALSE(callReturned);
  EXPECT_FALSE(mainGoesOn);
  EXPECT_EQ(machine.ThreadsOfEndedProcesses(), 0);
  EXPECT_TRUE(TraceContains(machine, "process 1: thread \"thread\" ended with it"));
  EXPECT_TRUE(machine.Faults().empty());
  // The handles the ended threads held were closed by the system, and count
  // as left open by the process.
  EXPECT_TRUE(machine.State().handles.CountByKind().empty());
  EXPECT_EQ(machine.OpenHandles().byKind.at("thread"), 2);
}

// Windows: when a process ends, "all kernel object handles opened by the
// process are closed" and its memory is freed (Microsoft docs, Terminating a
// Process). A program that leaves them is still leaking: the machine counts
// them as left open.
TEST(ProcessEnd, HandlesAProcessLeavesAreClosedAndCountedAsLeftOpen) {
  sim::Machine machine;
  machine.SetRegistryString("SYSTEM\\Test", "Value", "text");
  // The machine's own handle stays open across the process's end.
  HANDLE machineEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  machine.RunConsoleProcess([] {
    CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HKEY key = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Test", 0, KEY_READ, &key);
    GlobalAlloc(GMEM_ZEROINIT, 16);
    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(closed);
    return 0;
  });
  const auto left = machine.OpenHandles().byKind;
  EXPECT_EQ(left, (std::map<std::string, int>{{"event", 2}, {"global-memory", 1}, {"key", 1}}));
  EXPECT_EQ(machine.State().handles.CountByKind(), (std::map<std::string, int>{{"event", 1}}));
  EXPECT_TRUE(TraceContains(machine, "process 1 left open (event:1 global-memory:1 key:1): closed by the system"));
  EXPECT_TRUE(CloseHandle(machineEvent));
}

// What a thread unwinding from its process's end may still call is what its
// destructors call to release what it held (and finds closed already);
// anything else is its code running past the process's end.
TEST(ProcessEnd, CodeRunningPastTheProcessEndIsAFault) {
  sim::Machine machine;
  static HANDLE event;
  struct SignalsOnTheWayOut {
    ~SignalsOnTheWayOut() { SetEvent(event); }
  };
  struct ClosesOnTheWayOut {
    HANDLE handle;
    ~ClosesOnTheWayOut() { CloseHandle(handle); }
  };
  machine.RunConsoleProcess([] {
    event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
          const ClosesOnTheWayOut closes{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
          Sleep(INFINITE);
          return 0;
        },
        nullptr, 0, nullptr);
    CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
          const SignalsOnTheWayOut signals;
          Sleep(INFINITE);
          return 0;
        },
        nullptr, 0, nullptr);
    Sleep(100);
    return 0;
  });
  const auto faults = machine.Faults();
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0], "a thread of an ended process called SetEvent: its code ran past the process's end");
}

// Windows: once a service has reported SERVICE_STOPPED its process may be
// ended at any moment; it must do no further work (Microsoft docs,
// SetServiceStatus). A call to the spooler or the control manager after the
// report is a fault; other calls are not.
class StoppedService : public ::testing::Test {
 protected:
  static DWORD WINAPI Handler(DWORD, DWORD, LPVOID, LPVOID) { return NO_ERROR; }
  static void WINAPI Main(DWORD, LPWSTR*) {
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(L"stopper", Handler, nullptr);
    SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, 0, 0, 0, 0};
    SetServiceStatus(handle, &status);
    GetTickCount();
    HANDLE printer = nullptr;
    OpenPrinterW(const_cast<LPWSTR>(L"Queue"), &printer, nullptr);
  }
  static int Entry() {
    wchar_t name[] = L"stopper";
    const SERVICE_TABLE_ENTRYW table[] = {{name, Main}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherW(table);
    return 0;
  }
  sim::Machine machine;
};

TEST_F(StoppedService, CallingTheSpoolerAfterReportingStoppedIsAFault) {
  machine.InstallService("stopper", Entry);
  ASSERT_EQ(machine.StartService(), 0u);
  machine.Advance(1000);
  EXPECT_FALSE(machine.ServiceProcessRunning());
  const auto faults = machine.Faults();
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_EQ(faults[0], "the service called OpenPrinterW after it reported STOPPED");
}

// Windows: a service in a pending state reports again, with a new check
// point, before its wait hint has passed (Microsoft docs, SERVICE_STATUS).
// The service below reports STOP_PENDING with a 2 s hint, then new check
// points every `gap` ms, then STOPPED.
class PendingService : public ::testing::Test {
 protected:
  static inline DWORD gap = 0;
  static DWORD WINAPI Handler(DWORD, DWORD, LPVOID, LPVOID) { return NO_ERROR; }
  static void WINAPI Main(DWORD, LPWSTR*) {
    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(L"slow", Handler, nullptr);
    SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_STOP_PENDING, 0, 0, 0, 1, 2000};
    SetServiceStatus(handle, &status);
    for (int i = 0; i < 3; ++i) {
      Sleep(gap);
      ++status.dwCheckPoint;
      SetServiceStatus(handle, &status);
    }
    status.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(handle, &status);
  }
  static int Entry() {
    wchar_t name[] = L"slow";
    const SERVICE_TABLE_ENTRYW table[] = {{name, Main}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherW(table);
    return 0;
  }
  std::vector<std::string> RunWithGap(DWORD ms) {
    gap = ms;
    machine.InstallService("slow", Entry);
    EXPECT_EQ(machine.StartService(), 0u);
    machine.Advance(20000);
    EXPECT_FALSE(machine.ServiceProcessRunning());
    return machine.Faults();
  }
  sim::Machine machine;
};

TEST_F(PendingService, CheckPointsWithinTheWaitHintAreProgress) { EXPECT_TRUE(RunWithGap(1900).empty()); }

TEST_F(PendingService, NoCheckPointWithinTheWaitHintIsAFault) {
  EXPECT_EQ(RunWithGap(2100),
            (std::vector<std::string>(3,
                                      "the service stayed STOP_PENDING beyond its wait hint (2000 ms) without a new "
                                      "check point")));
}

// Windows: GetTickCount is a DWORD of milliseconds that wraps to zero after
// 49.7 days (Microsoft docs, GetTickCount).
TEST(ProcessEnd, TickCountStartsWhereAskedAndWraps) {
  sim::Machine machine;
  machine.Advance(1234);
  machine.SetTickCount(0xFFFFFF00u);
  EXPECT_EQ(GetTickCount(), 0xFFFFFF00u);
  machine.Advance(0x100);
  EXPECT_EQ(GetTickCount(), 0u);
  machine.Advance(5);
  EXPECT_EQ(GetTickCount(), 5u);
  EXPECT_EQ(machine.Now(), 1234 + 0x100 + 5);
}

}  // namespace
