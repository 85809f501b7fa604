#include "common/waits.h"

bool WaitUnlessSignalled(HANDLE event, DWORD ms) {
  if (event != nullptr) {
    const DWORD result = WaitForSingleObject(event, ms);
    if (result == WAIT_OBJECT_0) return true;
    if (result == WAIT_TIMEOUT) return false;
  }
  Sleep(ms);
  return false;
}

DWORD MillisecondsSince(DWORD since) { return GetTickCount() - since; }
