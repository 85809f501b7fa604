// The service control manager's calls: the caller's side (OpenSCManagerA,
// OpenServiceA, QueryServiceStatus, ControlService, StartServiceA,
// CloseServiceHandle) and the service's (StartServiceCtrlDispatcherW,
// RegisterServiceCtrlHandlerExW, SetServiceStatus, the device
// notifications).
#include <algorithm>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tests/conformance/conformance.h"

namespace conformance {
namespace {

class ServiceManager : public Conformance {
 protected:
  ServiceManager() : manager_(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)) {}
  ~ServiceManager() override { CloseServiceHandle(manager_); }
  SC_HANDLE Spooler(DWORD access) { return OpenServiceA(manager_, "Spooler", access); }
  SC_HANDLE manager_;
};

TEST_F(ServiceManager, OpenSCManagerA) {
  {
    // Windows: the manager opens with no rights asked (Wine
    // dlls/advapi32/tests/service.c, test_open_scm).
    Behaviour b("OpenSCManagerA", "opens with no rights asked");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, 0);
    EXPECT_NE(manager, nullptr);
    CloseServiceHandle(manager);
  }
  {
    // Windows: an unknown database name is ERROR_INVALID_NAME;
    // SERVICES_FAILED_DATABASE does not exist (service.c, test_open_scm).
    Behaviour b("OpenSCManagerA", "an unknown database: ERROR_INVALID_NAME; ServicesFailed does not exist");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(OpenSCManagerA(nullptr, "DoesNotExist", SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(OpenSCManagerA(nullptr, SERVICES_FAILED_DATABASEA, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DATABASE_DOES_NOT_EXIST));
  }
  {
    // Windows: an unknown remote machine is RPC_S_SERVER_UNAVAILABLE
    // (service.c, test_open_scm, todo_wine).
    Behaviour b("OpenSCManagerA", "an unknown remote machine: RPC_S_SERVER_UNAVAILABLE");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(OpenSCManagerA("DOESNOTEXIST", SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
  }
  {
    // Windows: an empty machine name with SERVICES_ACTIVE_DATABASE opens the
    // local manager; a successful open sets the last error to 0 (service.c,
    // test_open_scm).
    Behaviour b("OpenSCManagerA", "\"\" and ServicesActive open; success sets the last error to 0");
    SetLastError(0xdeadbeef);
    SC_HANDLE manager = OpenSCManagerA("", SERVICES_ACTIVE_DATABASEA, SC_MANAGER_CONNECT);
    EXPECT_NE(manager, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    CloseServiceHandle(manager);
  }
}

TEST_F(ServiceManager, OpenServiceA) {
  {
    // Windows: no manager handle is ERROR_INVALID_HANDLE (service.c,
    // test_open_svc).
    Behaviour b("OpenServiceA", "no manager: ERROR_INVALID_HANDLE");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(OpenServiceA(nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  {
    // Windows: no service name is ERROR_INVALID_ADDRESS (service.c,
    // test_open_svc).
    Behaviour b("OpenServiceA", "no name: ERROR_INVALID_ADDRESS");
    EXPECT_EQ(OpenServiceA(manager_, nullptr, GENERIC_READ), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
  }
  {
    // Windows: an unknown name, and a display name, are
    // ERROR_SERVICE_DOES_NOT_EXIST (service.c, test_open_svc).
    Behaviour b("OpenServiceA", "an unknown or display name: ERROR_SERVICE_DOES_NOT_EXIST");
    for (const char* name : {"deadbeef", "Print Spooler"}) {
      EXPECT_EQ(OpenServiceA(manager_, name, GENERIC_READ), nullptr);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST)) << name;
    }
  }
  {
    // Windows: a manager opened with SC_MANAGER_CONNECT alone, or with no
    // rights (SC_MANAGER_CONNECT is always given), opens a service, for an
    // administrator with the rights asked (service.c, test_open_svc;
    // Microsoft docs, OpenSCManagerA).
    Behaviour b("OpenServiceA", "a manager with only SC_MANAGER_CONNECT opens the Spooler");
    SC_HANDLE bare = OpenSCManagerA(nullptr, nullptr, 0);
    for (SC_HANDLE manager : {manager_, bare}) {
      SC_HANDLE spooler = OpenServiceA(manager, "Spooler", GENERIC_WRITE);
      EXPECT_NE(spooler, nullptr);
      CloseServiceHandle(spooler);
    }
    CloseServiceHandle(bare);
  }
}

TEST_F(ServiceManager, QueryServiceStatus) {
  {
    // Windows: no handle is ERROR_INVALID_HANDLE; no record
    // ERROR_INVALID_ADDRESS (service.c, test_query_svc).
    Behaviour b("QueryServiceStatus", "no handle: ERROR_INVALID_HANDLE; no record: ERROR_INVALID_ADDRESS");
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(QueryServiceStatus(nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SC_HANDLE spooler = Spooler(STANDARD_RIGHTS_READ);
    EXPECT_FALSE(QueryServiceStatus(spooler, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    CloseServiceHandle(spooler);
  }
  {
    // Windows: a handle without SERVICE_QUERY_STATUS is ERROR_ACCESS_DENIED;
    // with it, or GENERIC_READ, the status is read (service.c,
    // test_query_svc; Microsoft docs, Service Security and Access Rights).
    Behaviour b("QueryServiceStatus", "needs SERVICE_QUERY_STATUS (in GENERIC_READ)");
    SERVICE_STATUS status = {};
    SC_HANDLE without = Spooler(STANDARD_RIGHTS_READ);
    EXPECT_FALSE(QueryServiceStatus(without, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    for (const DWORD access : {ACCESS_MASK{SERVICE_QUERY_STATUS}, ACCESS_MASK{GENERIC_READ}}) {
      SC_HANDLE with = Spooler(access);
      EXPECT_TRUE(QueryServiceStatus(with, &status)) << access;
      EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
      CloseServiceHandle(with);
    }
    CloseServiceHandle(without);
  }
}

TEST_F(ServiceManager, ControlService) {
  SERVICE_STATUS status = {};
  {
    // Windows: each control needs its right: SERVICE_STOP for a stop,
    // SERVICE_INTERROGATE for interrogation, else ERROR_ACCESS_DENIED, and
    // the record is not filled in (Microsoft docs, ControlService).
    Behaviour b("ControlService", "a stop needs SERVICE_STOP, interrogation SERVICE_INTERROGATE");
    SC_HANDLE startOnly = Spooler(SERVICE_START | SERVICE_QUERY_STATUS);
    status.dwCurrentState = 0xdeadbeef;
    for (const DWORD control : {DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_INTERROGATE}}) {
      EXPECT_FALSE(ControlService(startOnly, control, &status));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << control;
    }
    EXPECT_EQ(status.dwCurrentState, 0xdeadbeefu);
    EXPECT_TRUE(machine.SpoolerRunning());
    CloseServiceHandle(startOnly);
  }
  SC_HANDLE spooler = Spooler(SERVICE_ALL_ACCESS);
  {
    // Windows: a control code that is none is ERROR_INVALID_PARAMETER; a
    // control the service does not accept is ERROR_INVALID_SERVICE_CONTROL,
    // with the record filled in (Microsoft docs, ControlService).
    Behaviour b("ControlService", "an undefined code: ERROR_INVALID_PARAMETER; one not accepted: filled in");
    EXPECT_FALSE(ControlService(spooler, 50, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    status.dwCurrentState = 0xdeadbeef;
    EXPECT_FALSE(ControlService(spooler, SERVICE_CONTROL_PAUSE, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  }
  {
    // Windows: a stop is refused with ERROR_DEPENDENT_SERVICES_RUNNING while
    // a dependent service runs, and the record is not filled in (Microsoft
    // docs, ControlService).
    Behaviour b("ControlService", "running dependents: ERROR_DEPENDENT_SERVICES_RUNNING, record untouched");
    machine.SetSpoolerDependent("Fax", true);
    status.dwCurrentState = 0xdeadbeef;
    EXPECT_FALSE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEPENDENT_SERVICES_RUNNING));
    EXPECT_EQ(status.dwCurrentState, 0xdeadbeefu);
    machine.SetSpoolerDependent("Fax", false);
  }
  {
    // Windows: a stop and an interrogation of a stopped service fail with
    // ERROR_SERVICE_NOT_ACTIVE and fill the record in: STOPPED (service.c,
    // try_start_stop; Microsoft docs, ControlService).
    Behaviour b("ControlService", "a stopped service: ERROR_SERVICE_NOT_ACTIVE, record STOPPED");
    ASSERT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
    for (const DWORD control : {DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_INTERROGATE}}) {
      status.dwCurrentState = 0xdeadbeef;
      EXPECT_FALSE(ControlService(spooler, control, &status));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE)) << control;
      EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED)) << control;
    }
  }
  {
    // Windows: a stop cannot reach a service that is starting:
    // ERROR_SERVICE_CANNOT_ACCEPT_CTRL (Microsoft docs, ControlService).
    Behaviour b("ControlService", "a starting service: ERROR_SERVICE_CANNOT_ACCEPT_CTRL");
    machine.SetSpoolerStartTime(3000);
    ASSERT_TRUE(StartServiceA(spooler, 0, nullptr));
    EXPECT_FALSE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_CANNOT_ACCEPT_CTRL));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING));
    machine.Advance(3000);
  }
  CloseServiceHandle(spooler);
}

TEST_F(ServiceManager, StartServiceA) {
  {
    // Windows: starting needs SERVICE_START: ERROR_ACCESS_DENIED (Microsoft
    // docs, StartService).
    Behaviour b("StartServiceA", "needs SERVICE_START");
    machine.StopSpooler();
    SC_HANDLE stopOnly = Spooler(SERVICE_STOP | SERVICE_QUERY_STATUS);
    EXPECT_FALSE(StartServiceA(stopOnly, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(machine.SpoolerRunning());
    CloseServiceHandle(stopOnly);
  }
  {
    // Windows: a service that runs fails to start with
    // ERROR_SERVICE_ALREADY_RUNNING; a handle that is none with
    // ERROR_INVALID_HANDLE (Microsoft docs, StartService).
    Behaviour b("StartServiceA", "running: ERROR_SERVICE_ALREADY_RUNNING; no handle: ERROR_INVALID_HANDLE");
    SC_HANDLE spooler = Spooler(SERVICE_ALL_ACCESS);
    EXPECT_TRUE(StartServiceA(spooler, 0, nullptr));
    EXPECT_FALSE(StartServiceA(spooler, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
    CloseServiceHandle(spooler);
    EXPECT_FALSE(StartServiceA(spooler, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
}

TEST_F(ServiceManager, CloseServiceHandle) {
  // Windows: NULL fails with ERROR_INVALID_HANDLE; a manager handle closes
  // (service.c, test_close).
  Behaviour b("CloseServiceHandle", "NULL: ERROR_INVALID_HANDLE; a handle closes once");
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(CloseServiceHandle(nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  EXPECT_TRUE(CloseServiceHandle(manager));
  EXPECT_FALSE(CloseServiceHandle(manager));
}

// ---- The service's side: a service of its own, as service.c's run_service.

struct Seen {
  SERVICE_STATUS_HANDLE handle = nullptr;
  BOOL badHandleResult = TRUE;
  DWORD badHandleError = 0;
  BOOL badStateResult = TRUE;
  DWORD badStateError = 0;
  HDEVNOTIFY notification = nullptr;
  int deviceEvents = 0;
};
Seen gSeen;

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
  if (control == SERVICE_CONTROL_DEVICEEVENT) ++gSeen.deviceEvents;
  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
  if (control == SERVICE_CONTROL_STOP) {
    UnregisterDeviceNotification(gSeen.notification);
    status.dwCurrentState = SERVICE_STOPPED;
  }
  SetServiceStatus(gSeen.handle, &status);
  return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
  // An own-process service registers its handler under any name, "" too.
  gSeen.handle = RegisterServiceCtrlHandlerExW(L"", Handler, nullptr);
  SERVICE_STATUS status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
  gSeen.badHandleResult = SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(std::uintptr_t{0x4}), &status);
  gSeen.badHandleError = GetLastError();
  SERVICE_STATUS invalid = status;
  invalid.dwCurrentState = 0;
  gSeen.badStateResult = SetServiceStatus(gSeen.handle, &invalid);
  gSeen.badStateError = GetLastError();
  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
  gSeen.notification = RegisterDeviceNotificationW(gSeen.handle, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
  SetServiceStatus(gSeen.handle, &status);
}

class OwnService : public Conformance {
 protected:
  OwnService() {
    gSeen = Seen{};
    machine.InstallService("winetest", [] {
      wchar_t name[] = L"";
      const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
      return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
    });
  }
};

TEST_F(OwnService, TheServicesSide) {
  {
    // Windows: a program the control manager did not start cannot connect
    // its dispatcher: ERROR_FAILED_SERVICE_CONTROLLER_CONNECT (Microsoft
    // docs, StartServiceCtrlDispatcherW).
    Behaviour b("StartServiceCtrlDispatcherW", "from a console: ERROR_FAILED_SERVICE_CONTROLLER_CONNECT");
    const int code = machine.RunConsoleProcess([] {
      wchar_t name[] = L"winetest";
      const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
      return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
    });
    EXPECT_EQ(code, ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  }
  ASSERT_EQ(machine.StartService(), 0u);
  machine.RunUntilIdle();
  {
    // Windows: an own-process service registers its handler whatever name
    // it gives, "" included (Wine dlls/advapi32/tests/service.c,
    // run_service), and reports through the handle it got (Microsoft docs,
    // RegisterServiceCtrlHandlerExW).
    Behaviour b("RegisterServiceCtrlHandlerExW", "registers under \"\"; its handle reports");
    EXPECT_NE(gSeen.handle, nullptr);
    EXPECT_EQ(machine.ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  }
  {
    // Windows: a status handle that is not the service's is
    // ERROR_INVALID_HANDLE; a state that is none ERROR_INVALID_DATA
    // (Microsoft docs, SetServiceStatus).
    Behaviour b("SetServiceStatus", "a foreign handle: ERROR_INVALID_HANDLE; no state: ERROR_INVALID_DATA");
    EXPECT_FALSE(gSeen.badHandleResult);
    EXPECT_EQ(gSeen.badHandleError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(gSeen.badStateResult);
    EXPECT_EQ(gSeen.badStateError, static_cast<DWORD>(ERROR_INVALID_DATA));
  }
  {
    // Windows: a service registers for device-interface events with its
    // status handle and DEVICE_NOTIFY_SERVICE_HANDLE, and gets them as
    // SERVICE_CONTROL_DEVICEEVENT (Microsoft docs, RegisterDeviceNotificationW).
    Behaviour b("RegisterDeviceNotificationW", "a service gets the class's arrivals as device events");
    ASSERT_NE(gSeen.notification, nullptr);
    const std::wstring path = L"\\\\?\\USB#VID_1234&PID_5678#1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    machine.AddDevice(path);
    machine.Plug(path);
    machine.RunUntilIdle();
    EXPECT_EQ(gSeen.deviceEvents, 1);
  }
  {
    // Windows: an unregistered notification delivers nothing more, and its
    // handle is then no handle (Microsoft docs, UnregisterDeviceNotification).
    Behaviour b("UnregisterDeviceNotification", "nothing is delivered after; a second unregister fails");
    ASSERT_EQ(machine.SendControl(SERVICE_CONTROL_STOP), 0u);
    machine.RunUntilIdle();
    EXPECT_FALSE(UnregisterDeviceNotification(gSeen.notification));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(machine.OpenHandles().Total(), 0);
  }
}

// A service whose process takes `delay` of virtual time before it connects
// its dispatcher (forever: it never does), and whose ServiceMain notes when
// it began (by the tick count).
struct SlowStart {
  sim::Millis delay = 0;
  std::optional<DWORD> mainAt;
};
SlowStart gSlow;

void WINAPI SlowServiceMain(DWORD, LPWSTR*) { gSlow.mainAt = GetTickCount(); }

class SlowService : public Conformance {
 protected:
  void Install(sim::Millis delay) {
    gSlow = SlowStart{delay, std::nullopt};
    machine.InstallService("slowtest", [] {
      Sleep(static_cast<DWORD>(std::min<sim::Millis>(gSlow.delay, 0xFFFFFFFE)));
      wchar_t name[] = L"slowtest";
      const SERVICE_TABLE_ENTRYW table[] = {{name, SlowServiceMain}, {nullptr, nullptr}};
      return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
    });
  }
  // StartServiceA on the service, from the driver: its result, its error,
  // and how much virtual time it took.
  std::tuple<BOOL, DWORD, sim::Millis> Start() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, "slowtest", SERVICE_START);
    const sim::Millis before = machine.Now();
    SetLastError(0xdeadbeef);
    const BOOL started = StartServiceA(service, 0, nullptr);
    const DWORD error = GetLastError();
    const sim::Millis took = machine.Now() - before;
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return {started, error, took};
  }
};

TEST_F(SlowService, StartServiceA) {
  {
    // Windows: StartService returns once the process has connected with
    // StartServiceCtrlDispatcher and the ServiceMain thread is created, not
    // at once (Microsoft docs, StartService; StartServiceCtrlDispatcher: the
    // control manager waits for the call).
    Behaviour b("StartServiceA", "returns once the process connects and ServiceMain's thread is created");
    Install(2000);
    const DWORD ticks = GetTickCount();
    const auto [started, error, took] = Start();
    EXPECT_TRUE(started) << error;
    EXPECT_EQ(took, 2000);
    ASSERT_TRUE(gSlow.mainAt.has_value());
    EXPECT_EQ(*gSlow.mainAt - ticks, 2000u);
  }
}

TEST_F(SlowService, StartServiceANeverConnected) {
  // Windows: a process that does not call StartServiceCtrlDispatcher within
  // 30 s fails the start with ERROR_SERVICE_REQUEST_TIMEOUT (Microsoft docs,
  // StartService, error ERROR_SERVICE_REQUEST_TIMEOUT; the 30 s are
  // StartServiceCtrlDispatcher's).
  Behaviour b("StartServiceA", "a process that never connects: ERROR_SERVICE_REQUEST_TIMEOUT after 30 s");
  Install(sim::kForever);
  const auto [started, error, took] = Start();
  EXPECT_FALSE(started);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SERVICE_REQUEST_TIMEOUT));
  EXPECT_EQ(took, 30000);
  EXPECT_FALSE(gSlow.mainAt.has_value());
}

}  // namespace
}  // namespace conformance
