// The one process-wide record shared by the control handler and the monitor
// thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "common/unique_resource.h"
#include "platform/win32_api.h"

// One status record as the printer sends it; byte 3 is the status byte.
inline constexpr std::size_t kStatusRecordSize = 5;
using StatusRecord = std::array<BYTE, kStatusRecordSize>;

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

  // The model's printer arrived before its print interface or its port
  // record existed: the monitor thread looks again each pass until
  // `pendingArrivalSince` is kArrivalRecheckWindowMs old. Guarded by
  // `arrivalLock`.
  SRWLOCK arrivalLock = SRWLOCK_INIT;
  std::wstring pendingArrival;
  DWORD pendingArrivalSince = 0;
  // Whether the pending printer's print interface was already recognised
  // (only its port record is missing).
  bool pendingArrivalRecognised = false;
  // Whether `pendingArrival` holds a printer; changed only under
  // `arrivalLock`, read without it, so that a pass with nothing pending
  // takes no lock.
  std::atomic<bool> arrivalPending{false};
  // A re-binding left the spooler stopping; the monitor thread starts it once
  // it has stopped.
  std::atomic<bool> spoolerStartOwed{false};
};

extern ServiceState serviceState;

// Returns the record to its process-start state, closing what it holds. Only
// for a process start: no other thread of the service may be running.
void ResetServiceState();
