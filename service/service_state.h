// The one process-wide record shared by the control handler, the service
// main function's thread and the monitor thread.
//
// The control handler only records and signals: it queues device events and
// asks for the stop. The monitor thread is the one thread that opens the
// printer, sends queue commands, re-binds the queue and stops or starts the
// Spooler, so everything it works with is its own and takes no lock.
#pragma once

#include <array>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "common/unique_resource.h"
#include "platform/win32_api.h"

// One status record as the printer sends it; byte 3 is the status byte.
inline constexpr std::size_t kStatusRecordSize = 5;
using StatusRecord = std::array<BYTE, kStatusRecordSize>;

// How many arrivals waiting for their records are remembered at once.
inline constexpr std::size_t kMaxPendingArrivals = 4;
// How many device events wait for the monitor thread at most; it takes them
// every pass, so only a flood during a long re-binding comes near this.
inline constexpr std::size_t kMaxQueuedDeviceEvents = 64;

// A USB device interface that arrived or went, as the control handler saw it.
struct DeviceEvent {
  enum class Kind { Arrival, Removal };
  Kind kind = Kind::Arrival;
  std::wstring path;
  // A removal only: the device's print interface reported the model name.
  // Asked by the handler, while the interface's registry entries are still
  // there.
  bool modelPrinter = false;
  // When the handler heard of it: the re-check window runs from then, not
  // from when the monitor thread took it.
  DWORD at = 0;
};

// A device with the model's USB numbers that arrived, as the monitor thread
// keeps it while it looks for its records.
struct PendingArrival {
  std::wstring path;
  // When it arrived, or when the Spooler last could not list its ports: the
  // service looks for its records for a while after that.
  DWORD since = 0;
  // Its print interface was already recognised (only the port record is
  // missing).
  bool recognised = false;
  // The error of the last try to list the Spooler's ports, 0 when they were
  // listed.
  DWORD portsError = 0;
  // It arrived (rather than being found at the start, or opened): it is back
  // once its queue is set.
  bool arrived = true;
};

struct ServiceState {
  // ---- Written by the control handler, taken by the monitor thread.
  // Guards `deviceEvents` and the resetting of `wakeEvent`.
  SRWLOCK eventLock = SRWLOCK_INIT;
  // Device events not yet taken, oldest first; the handler appends, the
  // monitor thread takes them all at the start of a pass.
  std::vector<DeviceEvent> deviceEvents;
  // Signalled (manual reset) while something waits for the monitor thread:
  // device events, or the stop. It ends the monitor thread's poll wait, and
  // the service main thread cuts its status read short meanwhile. The
  // handler sets it; the monitor thread resets it when it takes the events,
  // never once the stop is signalled.
  UniqueHandle wakeEvent;
  // Signalled by the control handler to stop the service.
  UniqueHandle stopEvent;
  // The stop is a system shutdown; written by the handler before it
  // signals the stop.
  std::atomic<bool> shuttingDown{false};

  // ---- The status reported to the control manager; changed and reported
  // under statusLock, by the control handler and the service main thread.
  SRWLOCK statusLock = SRWLOCK_INIT;
  SERVICE_STATUS serviceStatus{};
  SERVICE_STATUS_HANDLE statusHandle{};

  // ---- The service main thread's.
  DeviceNotification notifyHandle;
  UniqueHandle monitorThread;

  // ---- The monitor thread's alone.
  // The open printer device; closed when the printer is unplugged.
  UniqueHandle deviceHandle;
  // The last complete status record read from the printer since it was
  // last opened after an unplug.
  std::optional<StatusRecord> statusRecord;
  // Devices with the model's USB numbers whose print interface or port
  // record was not there yet: looked at again each pass, oldest first.
  std::vector<PendingArrival> pendingArrivals;
  // The printer was unplugged and is not back: the queue is kept paused and
  // offline, since a Spooler restarted meanwhile forgets the status.
  bool printerGone = false;
  // The offline status did not reach the queue (warning 204): sent again
  // each pass until it does or the printer is back.
  bool offlineOwed = false;
  // A re-binding left the Spooler stopping or stopped: it is started once it
  // has stopped.
  bool spoolerStartOwed = false;
  // A start of the Spooler was refused for good, or it stopped again after
  // it (error 302): the service says when it runs again.
  bool spoolerNotBack = false;
};

extern ServiceState serviceState;

// Returns the record to its process-start state, forgetting the handles of
// the process that held it. Only for a process start: no thread of the
// service may be running.
void ResetServiceState();

// Whether a stop (or shutdown) was asked for.
bool StopRequested(const ServiceState& state);
