// The bits of the printer's status byte and of a queue's status, with the
// names scenario files use for them and the words the picture shows.
#pragma once

#include <cstdint>
#include <span>

namespace simrunner {

struct NamedBit {
  std::uint32_t bit;
  const char* scenarioName;  // as a scenario writes it: status=paper+cover-open
  const char* words;         // as the picture says it: "paper present"
};

// The printer's status byte (byte 3 of its status record).
inline constexpr NamedBit kPrinterStatusBits[] = {
    {0x04, "cover-open", "cover open"},
    {0x10, "attention", "needs attention"},
    {0x20, "paper", "paper present"},
};

// A queue's status as the service sets it (PRINTER_STATUS_PAPER_OUT,
// _OFFLINE, _USER_INTERVENTION, _DOOR_OPEN).
inline constexpr NamedBit kQueueStatusBits[] = {
    {0x10, "paper-out", "paper out"},
    {0x80, "offline", "offline"},
    {0x100000, "user-intervention", "user intervention"},
    {0x400000, "door-open", "door open"},
};

// The status byte of a device a scenario declares without one.
inline constexpr std::uint32_t kNewDeviceStatus = 0x20;

}  // namespace simrunner
