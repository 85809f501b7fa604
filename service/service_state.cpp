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
  state.deviceRemoved = 0;
  state.reopenDevice = 0;
  state.removals = 0;
  state.serviceStatus = {};
  state.statusHandle = {};
  state.deviceHandle.Reset();
  state.notifyHandle.Reset();
  state.currentPort.clear();
  state.stopEvent.Reset();
  state.monitorThread.Reset();
  InitializeSRWLock(&state.queueLock);
  InitializeSRWLock(&state.portLock);
  InitializeSRWLock(&state.arrivalLock);
  state.pendingArrivals.clear();
  state.pendingArrivals.reserve(kMaxPendingArrivals);
  state.arrivalPending = false;
  state.spoolerStartOwed = false;
  state.offlineOwed = false;
}
