// The monitor thread: reads the printer's status records and mirrors them
// into the spooler queue.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

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

// Applies every rule to status byte `status`, each only while the printer is
// not marked removed and has not been unplugged since `removalsBefore` was
// read (the count of unplugs when the pass began).
void ApplyStatusRules(BYTE status, std::uint32_t removalsBefore);

// Reads one status record from the open device and applies the rules to it.
// A failed read is logged and the rules are applied again to the last
// complete record, if one was read; a short read is logged and sends nothing.
void MonitorPass();

// Thread procedure of the monitor thread; returns when the stop event is
// signalled.
DWORD WINAPI StatusMonitorThread(LPVOID parameter);
