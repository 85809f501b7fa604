#include "monitor/status_monitor.h"

#include "common/diagnostics.h"
#include "common/model.h"
#include "common/scoped_lock.h"
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

// Waits out one poll period. Returns true when the stop event ends the wait.
bool WaitForStop(HANDLE stopEvent) {
  const DWORD result = WaitForSingleObject(stopEvent, kPollPeriodMs);
  if (result == WAIT_OBJECT_0) return true;
  if (result == WAIT_FAILED) Sleep(kPollPeriodMs);  // no stop event: keep the period without spinning
  return false;
}

}  // namespace

std::span<const StatusRule> StatusRules() { return kStatusRules; }

bool RuleFires(const StatusRule& rule, BYTE status) { return (status & rule.mask) == rule.match; }

void ApplyStatusRules(BYTE status, std::uint32_t removalsBefore) {
  for (const StatusRule& rule : kStatusRules) {
    if (!RuleFires(rule, status)) continue;
    // The flag is checked and the commands sent as one step, so an unplug
    // handled meanwhile cannot be followed by this rule's commands.
    const ExclusiveLock hold(serviceState.queueLock);
    if (serviceState.deviceRemoved.load() != 0 || serviceState.removals.load() != removalsBefore) continue;
    if (rule.resume) {
      ResumePrinter();
    } else {
      SetPrinterErrorStatus(rule.printerStatus);
    }
  }
}

void MonitorPass() {
  ServiceState& state = serviceState;
  // Unplugs from here on stop this pass's rules.
  const std::uint32_t removalsBefore = state.removals.load();
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
  ApplyStatusRules(status, removalsBefore);
  DebugLog("QZ5 STATUS:%d\r\n", static_cast<int>(status));
}

DWORD WINAPI StatusMonitorThread(LPVOID) {
  ServiceState& state = serviceState;
  state.deviceHandle = OpenPrinterDevice();
  for (;;) {
    // A printer whose records appeared after its arrival is re-bound here,
    // and asks for the reopen below.
    RecheckPendingArrival();
    // The flag is cleared before the reopen, so a request made while the
    // reopen is under way leads to one more on the next pass. The replaced
    // handle is closed first: the device is opened exclusively, and an open
    // while we still hold it would fail.
    if (state.reopenDevice.exchange(0) != 0) {
      state.deviceHandle.Reset();
      state.deviceHandle = OpenPrinterDevice();
    }
    if (state.deviceHandle) MonitorPass();
    if (WaitForStop(state.stopEvent.Get())) break;
  }
  state.deviceHandle.Reset();
  return 0;
}
