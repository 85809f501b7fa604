// The monitor thread: reads the printer's status records and mirrors them
// into the spooler queue.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/win32_api.h"

// Time between two status passes, in milliseconds.
inline constexpr DWORD kPollPeriodMs = 800;

// One status rule: it fires when (s & mask) == match, and then either pauses
// the queue with `printerStatus` or, for a resume rule, resumes it.
struct StatusRule {
  BYTE mask;
  BYTE match;
  bool resume;
  DWORD printerStatus;
};

// The rules in the order they are applied; several may fire in one pass.
std::span<const StatusRule> StatusRules();

bool RuleFires(const StatusRule& rule, BYTE status);

// Applies every rule to status byte `status`.
void ApplyStatusRules(BYTE status);

// Closes the printer device and opens it again, if it is there; returns the
// path of the printer found (opened, or not when another program holds it),
// empty when there is none.
std::wstring ReopenPrinterDevice();

// Reads one status record from the open device and applies the rules to it.
// A failed read is logged and the rules are applied again to the last
// complete record read from the printer, if one was, unless device events
// wait (an unplug may be among them); a short read is logged and sends
// nothing. Returns whether the rules were applied.
bool MonitorPass();

// Thread procedure of the monitor thread; returns when the stop event is
// signalled, once what it owes (a Spooler start) is done.
DWORD WINAPI StatusMonitorThread(LPVOID parameter);
