#include "monitor/status_monitor.h"

#include <string>

#include "common/diagnostics.h"
#include "common/model.h"
#include "common/waits.h"
#include "device/device_discovery.h"
#include "service/device_events.h"
#include "service/service_state.h"
#include "spooler/printer_queue.h"

namespace {

constexpr std::size_t kStatusByteIndex = 3;

constexpr StatusRule kStatusRules[] = {
    {0x04, 0x04, false, kStatusDoorOpen},          // cover open
    {0x24, 0x00, false, kStatusPaperOut},          // no paper, cover closed
    {0x10, 0x10, false, kStatusUserIntervention},  // needs attention
    {0x24, 0x20, true, 0},                         // paper present, cover closed: ready
};

// One read of a status record: ERROR_SUCCESS, or the read's error. A read
// cut short while nothing waits for this thread is made once more: the
// cancel was meant for a read before it.
DWORD ReadStatusRecord(ServiceState& state, StatusRecord& record, DWORD& count) {
  for (int attempt = 0;; ++attempt) {
    count = 0;
    if (ReadFile(state.deviceHandle.Get(), record.data(), static_cast<DWORD>(record.size()), &count, nullptr)) {
      return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_OPERATION_ABORTED || attempt > 0 || StopRequested(state) || DeviceEventsWaiting(state)) {
      return error;
    }
  }
}

// One pass of the monitor thread: what the control handler queued, then what
// is owed, then, when `readDue` or the pass opened the printer or re-bound
// the queue, the printer's status. Returns whether the status was read.
bool MonitorThreadPass(ServiceState& state, bool firstPass, bool readDue) {
  // The printer is looked for at the start as at a reopen request.
  DeviceWork work;
  work.reopen = firstPass;
  HandleDeviceEvents(state, work);
  if (StopRequested(state)) return false;
  // Each step may take as long as the Spooler or the control manager does
  // to answer: a stop asked for meanwhile is looked at before the next.
  StartOwedSpooler(state, false);
  if (StopRequested(state)) return false;
  WatchSpoolerNotBack(state);
  if (StopRequested(state)) return false;
  KeepQueueOffline(state);
  if (StopRequested(state)) return false;
  RecheckPendingArrivals(state, work);
  if (StopRequested(state)) return false;
  if (work.reopen) {
    const std::wstring found = ReopenPrinterDevice();
    if (!found.empty()) {
      PrinterIsBack(state);
      PrinterFound(state, found, static_cast<bool>(state.deviceHandle), firstPass, work);
    }
    if (firstPass) RememberPresentDevices(state);
    if (StopRequested(state)) return false;
  }
  if (!readDue && !work.reopen && !work.resume) return false;
  // While the Spooler is owed a start, no queue command can reach it, and a
  // read that blocks must not keep the start waiting.
  const bool mirrored = state.deviceHandle && !state.spoolerStartOwed && MonitorPass();
  // After a re-binding the queue shows the printer's state at once: the
  // rules above, or without a fresh record the resume the re-binding owes.
  // Events that came meanwhile (an unplug) go first.
  if (work.resume && !mirrored && !StopRequested(state) && !DeviceEventsWaiting(state)) ResumePrinter();
  return true;
}

}  // namespace

std::span<const StatusRule> StatusRules() { return kStatusRules; }

bool RuleFires(const StatusRule& rule, BYTE status) { return (status & rule.mask) == rule.match; }

void ApplyStatusRules(BYTE status) {
  for (const StatusRule& rule : kStatusRules) {
    if (!RuleFires(rule, status)) continue;
    // A stopping service sends no more: each command may take as long as the
    // Spooler does to answer, and a shutdown gives the stop seconds.
    if (StopRequested(serviceState)) return;
    if (rule.resume) {
      ResumePrinter();
    } else {
      SetPrinterErrorStatus(rule.printerStatus);
    }
  }
}

std::wstring ReopenPrinterDevice() {
  ServiceState& state = serviceState;
  // The replaced handle is closed first: the device is opened exclusively,
  // and an open while we still hold it would fail.
  state.deviceHandle.Reset();
  std::wstring path;
  state.deviceHandle = OpenPrinterDevice(&path);
  return path;
}

bool MonitorPass() {
  ServiceState& state = serviceState;
  StatusRecord record{};
  DWORD count = 0;
  if (const DWORD error = ReadStatusRecord(state, record, count); error != ERROR_SUCCESS) {
    DebugLog(" Status read failed:%d\r\n", static_cast<int>(error));
    // A read cut short by the stop or by device events ends the pass: they
    // come first, and an unplug may be among them.
    if (error == ERROR_OPERATION_ABORTED || DeviceEventsWaiting(state)) return false;
    // The queue goes on showing the last state the printer reported; before
    // any complete record there is none, and a zeroed buffer would read as
    // "paper out".
    if (!state.statusRecord) return false;
  } else if (count < record.size()) {
    // Part of a record says nothing about the printer: its status byte may
    // be missing or belong to another record.
    DebugLog(" Status record short:%u bytes\r\n", static_cast<unsigned>(count));
    return false;
  } else {
    state.statusRecord = record;
    // Device events that came during the read go first: an unplug may be
    // among them, and nothing the printer that has gone read is mirrored.
    if (DeviceEventsWaiting(state)) return false;
  }
  const BYTE status = (*state.statusRecord)[kStatusByteIndex];
  ApplyStatusRules(status);
  DebugLog("QZ5 STATUS:%d\r\n", static_cast<int>(status));
  return true;
}

DWORD WINAPI StatusMonitorThread(LPVOID) {
  ServiceState& state = serviceState;
  // The one thread that sends queue commands, re-binds the queue and stops
  // or starts the Spooler. A stop asked for is looked at between the steps
  // of a pass: none starts once it has been, a re-binding under way cuts its
  // waits short, and a status read under way is cut short by the service
  // main thread.
  // Device events are taken as soon as they come; the status is read
  // kPollPeriodMs after the last read ended, and at once after a reopen or a
  // re-binding.
  DWORD lastRead = GetTickCount();
  for (bool firstPass = true; !StopRequested(state); firstPass = false) {
    if (MonitorThreadPass(state, firstPass, firstPass || MillisecondsSince(lastRead) >= kPollPeriodMs)) {
      lastRead = GetTickCount();
    }
    const DWORD since = MillisecondsSince(lastRead);
    WaitForSingleObject(state.wakeEvent.Get(), since >= kPollPeriodMs ? 0 : kPollPeriodMs - since);
  }
  // An unplug that came before the stop still marks the queue offline.
  DeviceWork leaving;
  HandleDeviceEvents(state, leaving);
  state.deviceHandle.Reset();
  // A stop must not leave behind a Spooler a re-binding stopped.
  StartOwedSpooler(state, true);
  return 0;
}
