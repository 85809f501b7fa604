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
};

extern ServiceState serviceState;

// Returns the record to its process-start state, closing what it holds. Only
// for a process start: no other thread of the service may be running.
void ResetServiceState();
