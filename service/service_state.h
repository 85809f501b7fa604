// The one process-wide record shared by the control handler and the monitor
// thread.
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

struct ServiceState {
  // Last complete status record read, and whether one has been read since
  // the process started; the monitor thread's alone.
  StatusRecord statusBuffer{};
  bool statusBufferValid = false;
  // Set by the control handler when the printer is unplugged; while set, the
  // monitor thread sends no queue commands. Cleared by any USB arrival.
  std::atomic<std::uint8_t> deviceRemoved{0};
  // Set by the control handler to make the monitor thread rediscover and
  // reopen the printer; cleared by the monitor thread before it reopens.
  std::atomic<std::uint8_t> reopenDevice{0};
  // Counts the printer's unplugs (under queueLock): a status pass that began
  // before one sends nothing after it, even once another device's arrival
  // has cleared deviceRemoved.
  std::atomic<std::uint32_t> removals{0};
  SERVICE_STATUS serviceStatus{};
  SERVICE_STATUS_HANDLE statusHandle{};
  // The open printer device; the monitor thread's alone.
  UniqueHandle deviceHandle;
  DeviceNotification notifyHandle;
  // The queue's port as last read; touched only on the dispatcher side.
  std::wstring currentPort;
  // Signalled to end the monitor thread.
  UniqueHandle stopEvent;
  UniqueHandle monitorThread;

  // Held while a status rule or a device event checks `deviceRemoved` and
  // sends its queue commands, and while the removal sends its commands and
  // sets the flag: a pass that read the flag just before an unplug cannot
  // resume the queue after the offline status.
  SRWLOCK queueLock = SRWLOCK_INIT;
  // Held while the queue's port is read, compared and changed: the control
  // handler and the monitor thread's re-check never re-bind at once.
  SRWLOCK portLock = SRWLOCK_INIT;

  // Devices with the model's USB numbers that arrived before their print
  // interface or their port record existed: the monitor thread looks again
  // each pass until an entry is kArrivalRecheckWindowMs old. Oldest first, at
  // most kMaxPendingArrivals; guarded by `arrivalLock`.
  struct PendingArrival {
    std::wstring path;
    DWORD since = 0;
    // Its print interface was already recognised (only the port record is
    // missing).
    bool recognised = false;
  };
  SRWLOCK arrivalLock = SRWLOCK_INIT;
  std::vector<PendingArrival> pendingArrivals;
  // Whether `pendingArrivals` holds any; changed only under `arrivalLock`,
  // read without it, so that a pass with nothing pending takes no lock.
  std::atomic<bool> arrivalPending{false};
  // The removal's offline commands did not reach the queue (the spooler was
  // down): the monitor thread sends them again while the printer stays
  // removed.
  std::atomic<bool> offlineOwed{false};
  // A re-binding left the spooler stopping; the monitor thread starts it once
  // it has stopped.
  std::atomic<bool> spoolerStartOwed{false};
};

extern ServiceState serviceState;

// Returns the record to its process-start state, forgetting the handles of
// the process that held it. Only for a process start: no thread of the
// service may be running.
void ResetServiceState();
