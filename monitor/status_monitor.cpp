#include "monitor/status_monitor.h"

#include "common/diagnostics.h"
#include "common/model.h"
#include "common/scoped_lock.h"
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

}  // namespace

std::span<const StatusRule> StatusRules() { return kStatusRules; }

bool RuleFires(const StatusRule& rule, BYTE status) { return (status & rule.mask) == rule.match; }

void ApplyStatusRules(BYTE status, std::uint32_t deviceRemovals) {
  for (const StatusRule& rule : kStatusRules) {
    if (!RuleFires(rule, status)) continue;
    // The check and the commands are one step: an unplug handled meanwhile
    // is followed by none of this rule's commands.
    const ExclusiveLock hold(serviceState.queueLock);
    if (serviceState.removals.load() != deviceRemovals) continue;
    if (rule.resume) {
      ResumePrinter();
    } else {
      SetPrinterErrorStatus(rule.printerStatus);
    }
  }
}

void ReopenPrinterDevice() {
  ServiceState& state = serviceState;
  // The replaced handle is closed first: the device is opened exclusively,
  // and an open while we still hold it would fail.
  state.deviceHandle.Reset();
  // Counted before the open: an unplug during it leaves the new handle
  // stale, never the reverse.
  const std::uint32_t removals = state.removals.load();
  state.deviceHandle = OpenPrinterDevice();
  // A record read before an unplug says nothing of the printer there now.
  if (removals != state.deviceRemovals) state.statusBufferValid = false;
  state.deviceRemovals = removals;
}

void MonitorPass() {
  ServiceState& state = serviceState;
  StatusRecord record{};
  DWORD count = 0;
  if (!ReadFile(state.deviceHandle.Get(), record.data(), static_cast<DWORD>(record.size()), &count, nullptr)) {
    const DWORD error = GetLastError();
    DebugLog(" Status read failed:%d\r\n", static_cast<int>(error));
    // A read cancelled by the stop ends the pass: the service is stopping.
    if (error == ERROR_OPERATION_ABORTED) return;
    // The queue goes on showing the last state the printer reported; before
    // any complete record there is none, and a zeroed buffer would read as
    // "paper out".
    if (!state.statusBufferValid) return;
  } else if (count < record.size()) {
    // Part of a record says nothing about the printer: its status byte may
    // be missing or belong to another record.
    DebugLog(" Status record short:%u bytes\r\n", static_cast<unsigned>(count));
    return;
  } else {
    state.statusBuffer = record;
    state.statusBufferValid = true;
  }
  const BYTE status = state.statusBuffer[kStatusByteIndex];
  ApplyStatusRules(status, state.deviceRemovals);
  DebugLog("QZ5 STATUS:%d\r\n", static_cast<int>(status));
}

DWORD WINAPI StatusMonitorThread(LPVOID) {
  ServiceState& state = serviceState;
  ReopenPrinterDevice();
  // A stop asked for is looked at between the steps of a pass (and of a
  // re-check): none starts once it has been, and a re-binding under way cuts
  // its waits short. A status read it finds under way is cancelled.
  for (;;) {
    StartOwedSpooler(state, false);
    SendOwedOffline(state);
    RecheckPendingArrivals(state);
    if (StopRequested(state)) break;
    // The flag is cleared before the reopen, so a request made while the
    // reopen is under way leads to one more on the next pass.
    if (state.reopenDevice.exchange(0) != 0) ReopenPrinterDevice();
    if (state.deviceHandle) MonitorPass();
    if (WaitUnlessSignalled(state.stopEvent.Get(), kPollPeriodMs)) break;
  }
  state.deviceHandle.Reset();
  // A stop must not leave behind a Spooler a re-binding stopped.
  StartOwedSpooler(state, true);
  return 0;
}
