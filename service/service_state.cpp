#include "service/service_state.h"

ServiceState serviceState;

void ResetServiceState() {
  ServiceState& state = serviceState;
  // Handles of an earlier process went with it: they are forgotten, not
  // closed.
  static_cast<void>(state.wakeEvent.Release());
  static_cast<void>(state.stopEvent.Release());
  static_cast<void>(state.notifyHandle.Release());
  static_cast<void>(state.monitorThread.Release());
  static_cast<void>(state.deviceHandle.Release());
  InitializeSRWLock(&state.eventLock);
  state.deviceEvents.clear();
  state.deviceEvents.reserve(kMaxQueuedDeviceEvents);
  state.shuttingDown = false;
  InitializeSRWLock(&state.statusLock);
  state.serviceStatus = {};
  state.statusHandle = {};
  state.statusRecord.reset();
  state.pendingArrivals.clear();
  state.pendingArrivals.reserve(kMaxPendingArrivals);
  state.printerGone = false;
  state.offlineOwed = false;
  state.spoolerStartOwed = false;
  state.spoolerNotBack = false;
}

bool StopRequested(const ServiceState& state) {
  return state.stopEvent && WaitForSingleObject(state.stopEvent.Get(), 0) == WAIT_OBJECT_0;
}
