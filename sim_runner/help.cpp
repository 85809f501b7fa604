#include "sim_runner/help.h"

namespace simrunner {

namespace {

constexpr char kHelpText[] = R"(usage: spoolsync-sim [--quiet] [--seed N] [--svg PICTURE [--svg-window FROM..TO]] FILE
       spoolsync-sim swarm [--seeds FIRST..LAST] [--steps N] [--save DIR] [--jobs N] [--all-findings]
       spoolsync-sim --help

Plays a scenario against the spoolsync service running on a simulated Windows
machine (the print spooler queue it mirrors, USB devices, the service control
manager) and prints a timeline of what happened, stamped with virtual time.

  --quiet   print only the checks that failed (nothing when all held)
  --seed N  play with a schedule drawn from N: every Win32 call the service
            makes is a point where another ready thread may run, the next
            thread drawn at random (a random walk); the same N gives the same
            timeline. Without it a thread runs until it blocks and the first
            ready one in creation order goes next.
  --svg PICTURE
            also draw the run as a picture, one SVG file: lanes on the
            virtual time axis for each device (plugged in, its status byte
            with the bits named), each queue (running or paused, its status,
            its port), the Spooler and the service, a row of marks for the
            steps, one for the event log's entries and one for the checks
            that failed. Hover a band or a mark for its timeline lines. The
            picture grows wider with the run (1 px a second, from 1000 to
            12000 px). The same FILE and seed draw the same bytes. Its path
            is checked before the run.
  --svg-window FROM..TO
            draw only that stretch of virtual time (durations: 2h..2h30min)
  --help    print this text

Swarm testing
  spoolsync-sim swarm generates, for each seed, a history in the scenario
  language (the printer's status, plugs into sockets with and without a port
  record, late drivers and port records, other USB devices, the Spooler
  stopped and started by others, every fault, service stops and starts, waits)
  and plays it under that seed's schedule. At settled moments (faults
  cleared, 45 s without an event) an oracle that knows the history checks
  what must hold: the queue on the port that records the printer (also the
  one found at start), the status rules mirrored, offline after an unplug,
  the Spooler running and never down longer than its own times allow, every
  event log entry written once and true, no bad port written, every control
  answered at once, stops that end in bounded time with nothing open, no
  deadlock, no thread outliving its process. One line per failing seed with
  its replay command, then a summary.
  --seeds FIRST..LAST   the seeds to run (1..100)
  --steps N             generated events per seed (60)
  --save DIR            write each failing history to DIR as a scenario file
                        (replay it with spoolsync-sim --seed N FILE)
  --jobs N              run N seeds at once, each in a process of its own (1);
                        the output is the same whatever N
  --all-findings        play every history to its end whatever fails and
                        print each seed's distinct findings ("seed N finds:")

Scenario files
  One command per line. "#" at the start of a word starts a comment (inside a
  word, as in a device path, it is an ordinary character); blank lines are
  ignored. A duration is an integer followed by "ms", "s", "min", "h" or
  "d" (800ms, 2s, 5min, 8h, 7d), or several (2h30min), at most 30d; a
  scenario's waits add up to at most 366d. A value with blanks is written
  in double quotes (description="My printer"). A UTF-8 byte-order mark is
  skipped.

  A status BYTE of a printer is a number, decimal or hexadecimal with "0x"
  (32 or 0x20), or its bits by name joined by "+": cover-open (0x04),
  attention (0x10), paper (0x20); "paper+cover-open" is 0x24. A queue
  STATUS is a number too, or paper-out (0x10), offline (0x80),
  user-intervention (0x100000), door-open (0x400000), joined by "+".

  Setup and events happen at the current virtual time (it starts at 0); after
  each, the service's threads run until all of them wait, with no time passing.

  queue NAME port=PORT            a spooler queue on PORT, running, status 0;
                                  for a queue that is there, an administrator
                                  moves it to PORT (the printer's properties)
  queue NAME delete               an administrator deletes the queue
  queue NAME create port=PORT     an administrator adds the queue again (or
                                  anew) while the service runs
  registry KEY NAME type=TYPE value=TEXT [size=N]
                                  writes a value under HKEY_LOCAL_MACHINE\KEY
                                  (HKLM\ in front may be left out), as
                                  RegSetValueExW with cbData N: TYPE is sz,
                                  expand-sz, multi-sz (its strings split at
                                  ";"), dword, qword or binary (TEXT in
                                  hexadecimal, 01ff00); text is stored as
                                  UTF-16 with its NUL, numbers little-endian;
                                  size=N cuts or fills it with zeros to N
                                  bytes (even for text), so a value without
                                  its NUL, too long or of the wrong size can
                                  be written
  port NAME [device-id=TEXT]      a spooler port (enumerated in the order
                                  added); with device-id also its USB Monitor
                                  key with that "Device Id". For a port that
                                  exists, its record is replaced (removed
                                  without device-id): a USB port monitor that
                                  records the printer late
  device PATH [as NAME] [description=TEXT] [status=BYTE]
         [notify-case=upper|lower|as-is]
                                  a USB device interface, not yet present;
                                  description is the "Port Description" of
                                  its print interface (no print interface
                                  without it), status the status byte of its
                                  records (0x20 when left out); notify-case
                                  how its arrival and removal notifications
                                  case PATH (as-is, the case of its hardware
                                  id, when left out). The Setup API always
                                  lists PATH in lower case. Again for a
                                  declared PATH: from then on its print
                                  interface has that description (none
                                  without it), as a printer class driver that
                                  registers it late. "as NAME" gives PATH a
                                  short name that later lines may use in its
                                  place (a letter, then letters, digits, -, _
                                  or .; without case, like paths):
                                    device \\?\USB#...#{...} as printer
                                    plug printer
  plug PATH                       the device arrives; the service hears of it
                                  if it registered for USB devices
  unplug PATH                     the device goes (the same)
  status PATH BYTE                the device's status byte changes
  service start                   the control manager starts the service
  service stop                    sends the stop control
  service control N               sends control code N
  spooler stop                    stops the Spooler service
  spooler start                   starts the Spooler service
  spooler stop-time DURATION      how long the Spooler takes to stop (0)
  spooler start-time DURATION     how long the Spooler stays START_PENDING
                                  after a start (0); its calls fail with 1722
                                  until it runs
  spooler dependent NAME running|stopped
                                  a service that depends on the Spooler;
                                  while one runs, a stop control to the
                                  Spooler fails with 1051 (an administrator's
                                  "spooler stop" stops it first)
  usb removal waits-for-handles|at-once
                                  waits-for-handles: as Windows, an unplug
                                  with a handle to the device open completes
                                  only when the last one closes, and the
                                  device plugged in again meanwhile arrives
                                  only then (timeline: "removal of ... waits",
                                  "plugged back"), the default; at-once: it
                                  completes at once
  spooler restart forgets-status|keeps-status
                                  forgets-status: as Windows, a stop of the
                                  Spooler forgets each queue's status and
                                  keeps its pause, the default;
                                  keeps-status: both survive
  wait DURATION                   virtual time passes while the threads run
  clock ticks N                   GetTickCount returns N now and counts on
                                  from there, wrapping to 0 after 4294967295
                                  as Windows' does after 49.7 days (the
                                  timeline keeps counting from the start)
  codepage system 1252|936|65001  the system (ANSI) code page, which CP_ACP
                                  and the registry's "A" calls use
  codepage thread 1252|936|65001  the threads' (CP_THREAD_ACP); 65001 is
                                  UTF-8 (for either), as
                                  with Windows' "Use Unicode UTF-8 for
                                  worldwide language support" (both 1252
                                  when left out)

  repeat N                        plays the lines up to the matching "end"
  end                             N times (blocks may nest; at most 100000
                                  steps in all)

  PATH must be declared by an earlier device line (PATH or its NAME).
  A misspelt command or key is answered with the nearest one.

Faults (N is a Win32 error code or a count, decimal or 0x hexadecimal; an
error code of 0 switches that fault off)
  fault device PATH [read-error=N] [short-read=N] [read-latency=DURATION]
               [open-latency=DURATION] [held=yes|no]
                                  replaces the device's faults: every read
                                  fails with N, returns N bytes, or takes that
                                  long; every open takes that long; another
                                  program holds the device (sharing violation)
  fault spooler [reject-port-writes=N] [enum-ports-error=N] [latency=DURATION]
                                  port writes to a queue, or the port listing,
                                  fail with N; every spooler call takes that
                                  long
  fault registry latency=DURATION every registry call takes that long
  fault scm [unreachable=N] [latency=DURATION]
                                  opening the service control manager fails
                                  with N; every call to it takes that long (a
                                  status report takes effect at once, so a
                                  control can arrive before SetServiceStatus
                                  returns)

Checks
  expect queue NAME [paused=yes|no] [status=STATUS] [port=PORT]
  expect log "TEXT"               a debugger line so far contains TEXT
  expect no-log "TEXT"            no debugger line so far contains TEXT
  expect new-log "TEXT"           a debugger line logged since the previous
                                  checks (by the steps played after them)
                                  contains TEXT; checks in a row look at the
                                  same lines
  expect no-new-log "TEXT"        no debugger line since the previous checks
                                  contains TEXT
  expect spooler running|stopped
  expect spooler-restarts N       times the Spooler was stopped and started
  expect service running|stopped  the state the service last reported
  expect open-handles N           N handles are open on the machine
  expect port-writes-only PORT... every port written into a queue so far is
                                  one of these
  expect event ID                 the event log has an entry with this id (as
                                  the event viewer shows it) so far
  expect event ID count N         exactly N entries with this id so far
  expect longest-control below DURATION
                                  the service's control handler took less
                                  than DURATION for every control so far (the
                                  control manager answers 1053 for a control
                                  not handled within 30 s, on the timeline)

Timeline tags
  step     a line of the scenario       spool    a command the spooler got
  check    a check and its result       service  a status report of the service
  debug    the debugger channel         scm      the service control manager
  stdout   the service's stdout         usb      a device event
  process  a process starting or ending result   a refused start or control
  event    an event log entry: its type, id and inserts (flagged when its
           source is not registered)
  Control bytes and bytes from 0x80 on are printed as \r, \n, \t or \xHH.

Exit status
  0  every check held (swarm: every seed held)
  1  a check failed (each failure is printed as FILE:LINE: what was found;
     swarm: a seed failed)
  2  the file cannot be read (and why) or a line is not understood
     (FILE:LINE: why, at most 20 such lines, then "not a scenario file?");
     the whole file is read first, so nothing runs; or bad arguments; or
     the picture cannot be written (checked before the run)
)";

}  // namespace

std::string_view HelpText() { return kHelpText; }

}  // namespace simrunner
