// The one process-wide record shared by the control handler, the service
// main function's thread and the monitor thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "common/unique_resource.h"
#include "platform/win32_api.h"

// One status record as the printer sends it; byte 3 is the status byte.
inline constexpr std::size_t kStatusRecordSize = 5;
using StatusRecord = std::array<BYTE, kStatusRecordSize>;

// How many arrivals waiting for their records are remembered at once.
inline constexpr std::size_t kMaxPendingArrivals = 4;

// A device with the model's USB numbers that arrived, as the service keeps it
// while it looks for its records.
struct PendingArrival {
  std::wstring path;
  // When it arrived, or when the Spooler last could not list its ports: the
  // service looks for its records for a while after that.
  DWORD since = 0;
  // The printer's unplugs counted when it arrived: with the path, what tells
  // this arrival from a later one of the same device (an unplug comes
  // between), and whether the printer was unplugged since.
  std::uint32_t removalsAt = 0;
  // Its print interface was already recognised (only the port record is
  // missing).
  bool recognised = false;
};

struct ServiceState {
  // ---- The monitor thread's alone.
  // Last complete status record read from the open device, and whether one
  // has been.
  StatusRecord statusBuffer{};
  bool statusBufferValid = false;
  // The open printer device, and the printer's unplugs counted when it was
  // opened: a handle opened before the latest unplug belongs to a printer
  // that has gone, and what it reads is mirrored no more.
  UniqueHandle deviceHandle;
  std::uint32_t deviceRemovals = 0;

  // ---- Shared.
  // Set by the control handler to make the monitor thread rediscover and
  // reopen the printer; cleared by the monitor thread before it reopens.
  std::atomic<std::uint8_t> reopenDevice{0};

  // Held while a status rule checks that its device is current and sends its
  // commands, and while the removal counts the unplug and sends the offline
  // status: no command of a printer that has gone follows the offline status.
  SRWLOCK queueLock = SRWLOCK_INIT;
  // The printer's unplugs so far; changed by the control handler under
  // queueLock.
  std::atomic<std::uint32_t> removals{0};
  // The last unplug's pause and offline status have not reached the queue
  // (the Spooler was down): the monitor thread sends them again each pass.
  // Changed under queueLock; read without it first, so that a pass with
  // nothing owed takes no lock.
  std::atomic<bool> offlineOwed{false};

  // The status last reported to the control manager; changed and reported
  // under statusLock, by the control handler and the service main thread.
  SRWLOCK statusLock = SRWLOCK_INIT;
  SERVICE_STATUS serviceStatus{};
  SERVICE_STATUS_HANDLE statusHandle{};
  DeviceNotification notifyHandle;

  // Signalled to stop the service; the control handler signals it. Once it
  // is, no re-binding starts and device events are not acted on.
  UniqueHandle stopEvent;
  // The stop is a system shutdown: the machine is going down.
  std::atomic<bool> shuttingDown{false};
  UniqueHandle monitorThread;

  // Held, taken without waiting, for a whole re-binding: one thread at a
  // time reads, compares and changes the queue's port, and neither waits for
  // the other.
  SRWLOCK portLock = SRWLOCK_INIT;
  // The queue's port as last read; under portLock.
  std::wstring currentPort;
  // A re-binding left the Spooler stopping: the monitor thread starts it
  // once it has stopped.
  std::atomic<bool> spoolerStartOwed{false};

  // Devices with the model's USB numbers whose print interface or port
  // record was not there yet, or whose re-binding had to wait: the monitor
  // thread looks again each pass. Oldest first, at most kMaxPendingArrivals;
  // under arrivalLock.
  SRWLOCK arrivalLock = SRWLOCK_INIT;
  std::vector<PendingArrival> pendingArrivals;
  // Whether `pendingArrivals` holds any; changed only under `arrivalLock`,
  // read without it, so that a pass with nothing pending takes no lock.
  std::atomic<bool> arrivalPending{false};
};

extern ServiceState serviceState;

// Returns the record to its process-start state, forgetting the handles of
// the process that held it. Only for a process start: no thread of the
// service may be running.
void ResetServiceState();

// Whether a stop (or shutdown) was asked for.
bool StopRequested(const ServiceState& state);
