#include "service/service_state.h"

ServiceState serviceState;

void ResetServiceState() {
  ServiceState& state = serviceState;
  // Handles of an earlier process went with it: they are forgotten, not
  // closed.
  static_cast<void>(state.deviceHandle.Release());
  static_cast<void>(state.notifyHandle.Release());
  static_cast<void>(state.stopEvent.Release());
  static_cast<void>(state.monitorThread.Release());
  state.statusBuffer = {};
  state.statusBufferValid = false;
  state.deviceRemovals = 0;
  state.reopenDevice = 0;
  InitializeSRWLock(&state.queueLock);
  state.removals = 0;
  state.offlineOwed = false;
  InitializeSRWLock(&state.statusLock);
  state.serviceStatus = {};
  state.statusHandle = {};
  state.shuttingDown = false;
  InitializeSRWLock(&state.portLock);
  state.currentPort.clear();
  state.spoolerStartOwed = false;
  InitializeSRWLock(&state.arrivalLock);
  state.pendingArrivals.clear();
  state.pendingArrivals.reserve(kMaxPendingArrivals);
  state.arrivalPending = false;
}

bool StopRequested(const ServiceState& state) {
  return state.stopEvent && WaitForSingleObject(state.stopEvent.Get(), 0) == WAIT_OBJECT_0;
}
