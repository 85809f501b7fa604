// Waiting a while, unless something happens meanwhile.
#pragma once

#include "platform/win32_api.h"

// Waits `ms` milliseconds, less when `event` is signalled; returns whether it
// was. Without an event (none given, or one that cannot be waited on) it
// simply sleeps, so a failed wait never turns a pause into a busy loop.
bool WaitUnlessSignalled(HANDLE event, DWORD ms);

// Milliseconds from `since` to now, on the tick count: right across its wrap
// after 49.7 days, for spans shorter than that.
DWORD MillisecondsSince(DWORD since);
