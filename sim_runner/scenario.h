// A scenario: the steps of one scenario file, as the parser leaves them for
// the runner.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simrunner {

// What a fault command sets. A device fault command replaces all the
// device's faults; an error code of 0 switches that fault off.
struct FaultSettings {
  std::optional<std::uint32_t> readError;
  std::optional<std::uint32_t> shortRead;
  std::int64_t readLatency = 0;
  std::int64_t openLatency = 0;
  bool held = false;
  std::optional<std::uint32_t> portWriteError;
  std::optional<std::uint32_t> enumPortsError;
  std::optional<std::uint32_t> scmError;
  std::optional<std::int64_t> spoolerLatency;
  std::optional<std::int64_t> registryLatency;
  std::optional<std::int64_t> scmLatency;
};

struct Step {
  enum class Kind {
    // Setup and events.
    Queue,             // queue NAME port=PORT; for a queue that exists, an administrator changes its port
    QueueCreate,       // queue NAME create port=PORT: an administrator adds it while the service runs
    QueueDelete,       // queue NAME delete: an administrator deletes it
    Registry,          // registry KEY NAME type=TYPE value=TEXT [size=N]
    Port,              // port NAME [device-id=TEXT]
    Device,            // device PATH [as NAME] [description=TEXT] [status=BYTE] [notify-case=upper|lower|as-is];
                       // again for a known PATH: new print-interface records
    Plug,              // plug PATH
    Unplug,            // unplug PATH
    Status,            // status PATH BYTE
    ServiceStart,      // service start
    ServiceStop,       // service stop
    ServiceControl,    // service control N
    SpoolerStop,       // spooler stop
    SpoolerStart,      // spooler start
    SpoolerStopTime,   // spooler stop-time DURATION
    SpoolerStartTime,  // spooler start-time DURATION
    SpoolerDependent,  // spooler dependent NAME running|stopped
    Wait,              // wait DURATION
    ClockTicks,        // clock ticks N
    CodePage,          // codepage system|thread 1252|936|65001
    UsbRemoval,        // usb removal waits-for-handles|at-once
    SpoolerRestart,    // spooler restart forgets-status|keeps-status
    // Faults.
    FaultDevice,    // fault device PATH [read-error=N] [short-read=N] [read-latency=D] [open-latency=D] [held=yes|no]
    FaultSpooler,   // fault spooler [reject-port-writes=N] [enum-ports-error=N]
    FaultScm,       // fault scm [unreachable=N] [latency=DURATION]
    FaultRegistry,  // fault registry latency=DURATION
    // Checks.
    ExpectQueue,            // expect queue NAME [paused=yes|no] [status=STATUS] [port=PORT]
    ExpectLog,              // expect log "TEXT"
    ExpectNoLog,            // expect no-log "TEXT"
    ExpectSpooler,          // expect spooler running|stopped
    ExpectSpoolerRestarts,  // expect spooler-restarts N
    ExpectService,          // expect service running|stopped
    ExpectLongestControl,   // expect longest-control below DURATION
    ExpectOpenHandles,      // expect open-handles N
    ExpectPortWritesOnly,   // expect port-writes-only PORT...
    ExpectNewLog,           // expect new-log "TEXT"
    ExpectNoNewLog,         // expect no-new-log "TEXT"
    ExpectEvent,            // expect event ID [count N]
  };

  Kind kind = Kind::Wait;
  int line = 0;
  // The line as written, without its comment and outer blanks.
  std::string text;
  // Queue or port name, device path, or the text a log check looks for.
  std::string name;
  // The short name a device line gives its path (device PATH as NAME).
  std::string shortName;
  std::optional<std::string> port;
  std::optional<std::string> deviceId;
  std::optional<std::string> description;
  // How a device's notifications case its path: "upper", "lower" or "as-is".
  std::string notifyCase = "as-is";
  // Device status byte (Device, Status) or queue status (ExpectQueue).
  std::optional<std::uint32_t> status;
  std::optional<bool> paused;
  // Milliseconds (Wait, SpoolerStopTime, SpoolerStartTime,
  // ExpectLongestControl), control code (ServiceControl), code page
  // (CodePage, whose name is "system" or "thread"), count
  // (ExpectSpoolerRestarts, ExpectOpenHandles), tick count (ClockTicks) or
  // event id (ExpectEvent).
  std::int64_t number = 0;
  // How many entries an event check wants; any number from one up without.
  std::optional<std::int64_t> count;
  // "running" rather than "stopped" (ExpectSpooler, ExpectService,
  // SpoolerDependent); Windows' own answer rather than the kinder default
  // (UsbRemoval, SpoolerRestart).
  bool running = false;
  FaultSettings faults;
  // The ports a port-writes-only check allows.
  std::vector<std::string> ports;
  // A registry line's value (its key is `name`): its name, its type
  // (REG_SZ, ...), its data as the line gives it, and the byte count the
  // write gives, when the line says one.
  std::string valueName;
  std::uint32_t valueType = 0;
  std::string value;
  std::optional<std::uint32_t> size;

  [[nodiscard]] bool IsCheck() const { return kind >= Kind::ExpectQueue; }
};

struct ParseError {
  int line = 0;
  std::string why;
};

// The most lines not understood a file reports: beyond them it is most
// likely not a scenario at all.
inline constexpr std::size_t kMostErrors = 20;

struct Scenario {
  std::vector<Step> steps;
  // A file-wide error (an encoding) has line 0.
  std::vector<ParseError> errors;
  // More than kMostErrors lines were not understood; reading stopped there.
  bool tooManyErrors = false;
};

}  // namespace simrunner
