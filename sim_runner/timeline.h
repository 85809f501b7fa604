// The printed timeline: one line per event, stamped with virtual time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sim/machine.h"

namespace simrunner {

// Virtual milliseconds as seconds with milliseconds, right-aligned: "  12.800".
std::string FormatTime(std::int64_t millis);

// The short tag of a trace channel: "debug", "stdout", "spool", ...
std::string_view ChannelTag(sim::TraceEntry::Channel channel);

// Text as it is printed: a trailing line end dropped, every other control
// byte and every byte from 0x80 on written as an escape (\r, \n, \t, \xHH),
// and a backslash left as it is.
std::string PrintableText(std::string_view text);

// One timeline line: time, tag, text, in aligned columns.
std::string TimelineLine(std::int64_t millis, std::string_view tag, std::string_view text);

// The timeline line of a machine trace entry.
std::string TimelineLine(const sim::TraceEntry& entry);

// The text of a check's timeline line: the check as written, then "-> ok",
// or "-> FAILED, found" and what was found.
std::string CheckText(std::string_view check, const std::optional<std::string>& found);

// A Win32 error code with its name, when it is one the runner knows.
std::string DescribeError(std::uint32_t error);

}  // namespace simrunner
