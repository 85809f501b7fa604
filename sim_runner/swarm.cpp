#include "sim_runner/swarm.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <vector>

#include "sim_runner/parser.h"
#include "sim_runner/runner.h"
#include "sim_runner/swarm_oracle.h"
#include "sim_runner/timeline.h"
#include "sim_runner/widen.h"

namespace simrunner {

namespace {

// ---- The world the histories are drawn from.

constexpr char kQueue[] = "KX310MQ47H";
constexpr char kInterfaceClass[] = "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

// One USB socket a printer of the model can be plugged into: the device
// interface path it gets there, and the port the USB port monitor gives it.
struct Socket {
  std::string instance;  // the part of the path after VID/PID
  std::string port;      // empty: no port ever records it
  enum class Record { AtSetup, Late, Never } record = Record::AtSetup;
  bool lateDriver = false;  // the print interface is registered after the first plug
  std::string notifyCase = "as-is";
  // Model state.
  bool recorded = false;
  bool described = false;
  bool everPlugged = false;
  std::int64_t recordedAt = -1;
  std::int64_t describedAt = -1;
};

std::string PrinterPath(const std::string& instance) {
  return std::string("\\\\?\\USB#VID_0483&PID_5741#") + instance + kInterfaceClass;
}

std::string InstanceId(const std::string& instance) { return "USB\\VID_0483&PID_5741\\" + instance; }

constexpr char kMousePath[] = "\\\\?\\USB#VID_046D&PID_C077#M0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
// Another printer model on the same USB chip: the model's numbers, another
// port description.
constexpr char kLookalikePath[] = "\\\\?\\USB#VID_0483&PID_5741#LOOK01#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
// A sibling model on the same chip whose port records it, as the USB port
// monitor does for any printer: only its print interface tells it apart.
constexpr char kSiblingPath[] = "\\\\?\\USB#VID_0483&PID_5741#SIB310#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr char kSiblingPort[] = "USB006";
constexpr char kSiblingInstance[] = "SIB310";

// The sockets of the printer the oracle follows, and the one of a second
// printer of the model on the same till.
constexpr int kPrinterSockets = 4;
constexpr int kSecondPrinterSocket = 4;

// The queue the status rules leave for status byte `s`: each rule that fires
// replaces what the one before it did.
struct QueueExpectation {
  bool paused;
  std::uint32_t status;
};
QueueExpectation RulesFor(std::uint8_t s) {
  const bool coverOpen = (s & 0x04) != 0;
  const bool paper = (s & 0x20) != 0;
  const bool attention = (s & 0x10) != 0;
  QueueExpectation queue{false, 0};
  if (coverOpen) queue = {true, 0x400000};
  if (!coverOpen && !paper) queue = {true, 0x10};
  if (attention) queue = {true, 0x100000};
  if (!coverOpen && paper) queue = {false, 0};
  return queue;
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
  return text;
}

std::string Duration(std::int64_t ms) { return std::to_string(ms) + "ms"; }

// splitmix64, seeded apart from the schedule's stream.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed ^ 0x5EED5EED5EED5EEDull) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  std::int64_t Between(std::int64_t low, std::int64_t high) {
    return low + static_cast<std::int64_t>(Next() % static_cast<std::uint64_t>(high - low + 1));
  }
  bool Chance(int percent) { return Between(1, 100) <= percent; }
  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[static_cast<std::size_t>(Between(0, static_cast<std::int64_t>(items.size()) - 1))];
  }

 private:
  std::uint64_t state_;
};

// Records appearing later than this after an arrival are not waited for.
constexpr std::int64_t kLateRecordLimitMs = oracle::kRecordsInTimeMs;
// The devices of the oracle's record: the sockets first, then these.
constexpr int kMouseDevice = 5;
constexpr int kLookalikeDevice = 6;
constexpr int kSiblingDevice = 7;
// A status read that hangs: a printer that stopped answering.
constexpr std::int64_t kHungReadMs = 60000;
// A settled moment: faults cleared, then this long with no event.
constexpr std::int64_t kSettleMs = 45000;
// A system shutdown ends the service within this.
constexpr std::int64_t kShutdownMs = 10000;
// Tick counts a history may start the clock at: up to this long before it
// wraps.
constexpr std::int64_t kBeforeWrapMs = 120000;

// Generates one history and plays it; the oracle beside it knows what was
// generated and decides, at settled moments, what must hold.
//
// What the oracle still excuses, each because the service cannot do better
// or because the README leaves it open:
// - An administrator's Spooler stop: the Spooler's downtime is not counted
//   (it is theirs to start), and a service that was re-binding may start it
//   again as it was meant to (the restart raced the stop).
// - A fault in force (rejected port writes, a refused port list, an
//   unreachable control manager, a device fault) holds the queue's port and
//   status checks back until the next arrival after it cleared: the service
//   cannot move or mirror what Windows refuses it. The entries are checked
//   all the same.
// - While the control manager cannot be reached nobody can start the
//   Spooler or report STOPPED: downtime and the stop's end count from when
//   it can be reached again.
// - A shutdown: the Spooler's downtime across it is not counted (the
//   machine goes down with it), and the service is given the shutdown's own
//   bound instead of the Spooler's times.
// - Device events before the service registered for notifications or after
//   a stop was asked for: Windows did not tell it, or it is stopping; their
//   entries are not required (still at most one each). What was there at the
//   start is checked as the printer found at start instead.
// - Two printers of the model plugged in at once: which one the queue
//   follows at start, and whether unplugging the one it does not follow
//   gets an entry 110, the README does not say; the queue follows the one of
//   the model that arrived last, and that is what is checked.
// - A printer unplugged before its print interface was registered: the
//   service cannot tell it is the model's, so its 110 is not required.
// - Records that appear in the last 2 s of the re-check window: the monitor
//   thread looks once per pass, so they may just miss it.
// - A queue resumed within a few Spooler calls of its printer's status
//   changing, or while a device fault is in force: the read before it saw
//   the old byte, or the last complete record is in force by design; or
//   while the printer found could not be opened (another program held it):
//   the service looks for it again at the next arrival.
// - A printer plugged back while a handle to it was open arrives only once
//   that handle closes: its re-check window is not the plug's, and an
//   unplug before it arrived is one nobody is told of.
// - A status read that hangs holds the re-check until it ends: the window's
//   verdict may come up to the longest read later.
// - At a shutdown the service sends nothing more: an unplug it had not
//   taken yet has no 110.
// - A Spooler down, or a control manager out of reach, makes the service
//   wait for the port list rather than write 300.
// - An arrival superseded by a later printer of the model owes no 203.
// - Port writes after a stop count from a control's bound after it was sent.
class History {
 public:
  History(std::uint64_t seed, std::ostream* progress, bool allFindings)
      : random_(seed),
        session_(RunOptions{"swarm", true, seed}, quietOut_, seed),
        progress_(progress),
        allFindings_(allFindings) {}

  SeedOutcome Run(int steps);

 private:
  // ---- Playing lines.
  std::uint32_t Do(const std::string& line);
  void Expect(const std::string& line, const std::string& invariant);
  void Fail(const std::string& invariant);
  [[nodiscard]] std::int64_t Now() { return session_.Machine().Now(); }
  // Lets `ms` pass, carrying out scheduled events at their time.
  void WaitFor(std::int64_t ms);
  // A scheduled line; `socket` and `record` say which socket's record or
  // print interface it makes (socket -1: neither).
  void Schedule(std::int64_t at, std::string line, int socket = -1, bool record = false);
  // A duration between `low` and `high` ms; on the coarse time grid some
  // histories use, a multiple of 100 ms, so that events of different threads
  // fall on the same instant and the schedule decides their order.
  std::int64_t Ms(std::int64_t low, std::int64_t high);

  // ---- Generated events.
  void Setup();
  void Step();
  void Plug(int socket);
  void Unplug(int socket);
  void ChangeStatus();
  void SetFault();
  void ServiceStart();
  void ServiceStop(bool shutdown);
  void CheckStopped(const std::string& how);
  void StartSpoolerAsAnAdministrator();
  void Settle();
  void FinalChecks();

  // ---- Oracle.
  // `printer`: a printer of the model arrived, on `printerSocket`.
  void OnArrival(bool printer, int printerSocket = -1);
  // From the first millisecond of a start: an arrival before the service
  // registered for notifications is one it finds when it looks at start.
  // Whether the service hears of devices now: it runs and has registered
  // for their notifications (a device that comes or goes during its start,
  // before that, it is not told of).
  [[nodiscard]] bool ServiceSees() {
    if (!serviceRunning_) return false;
    for (const sim::TraceEntry& entry : session_.Machine().Trace()) {
      if (entry.time >= serviceStartedAt_ && entry.channel == sim::TraceEntry::Channel::Scm &&
          entry.text == "device notifications registered") {
        return true;
      }
    }
    return false;
  }
  void TaintBinding() { bindingClean_ = false; }
  void DeviceFaultTaint() {
    if (attached_ >= 0) monitorOpen_ = Open::Unknown;
  }
  [[nodiscard]] Socket& SocketAt(int index) { return sockets_[static_cast<std::size_t>(index)]; }
  void CheckNoFaults();
  // The checks over the whole history so far (the event log, the Spooler's
  // downtime, the controls, the queue against its printer's status).
  void CheckHistory();
  void Plugged(int device, bool arrival) { record_.pluggings.push_back({Now(), device, arrival}); }
  void SetStatusByte(std::uint8_t status) {
    status_ = status;
    record_.statusBytes.emplace_back(Now(), status);
  }
  void AdministratorStopsSpooler();
  // Situations made on purpose.
  void MoveWhileStopped();
  void PortListingRefusedForTheWindow();
  void PaperOutDuringARebinding();
  void StopDuringPortWriteRetries();
  void HungReadDuringARebinding();

  Random random_;
  oracle::Record record_;
  std::ostringstream quietOut_;
  Session session_;
  std::ostream* progress_;
  // Play the whole history whatever fails, and keep every distinct finding
  // (for measuring which faults a range of seeds finds).
  bool allFindings_;
  bool failedAny_ = false;
  std::ostringstream history_;
  SeedOutcome outcome_;
  bool grid_ = false;

  std::vector<Socket> sockets_;
  struct Scheduled {
    std::int64_t at;
    std::string line;  // empty: unplug the printer from `socket`, if still there
    int socket;
    bool record;  // a port record rather than a driver's registration
  };
  std::vector<Scheduled> scheduled_;

  // What the oracle knows.
  bool serviceRunning_ = false;
  bool serviceEverStarted_ = false;
  int generation_ = 0;
  std::int64_t serviceStartedAt_ = 0;
  int attached_ = -1;  // socket index of the printer the oracle follows
  bool secondAttached_ = false;
  std::uint8_t status_ = 0x20;
  bool mouseIn_ = false;
  bool lookalikeIn_ = false;
  bool siblingIn_ = false;
  // The longest stop and start times the Spooler was given: a stop or start
  // under way may still take that long.
  std::int64_t longestSpoolerStopMs_ = 0;
  std::int64_t longestSpoolerStartMs_ = 0;
  // Faults in force.
  bool deviceFault_ = false;
  bool held_ = false;
  bool spoolerFault_ = false;  // rejected writes, a failing port listing
  bool spoolerLatency_ = false;
  bool registryLatency_ = false;
  bool scmUnreachable_ = false;
  bool scmLatency_ = false;
  bool spoolerStoppedByOthers_ = false;
  bool anyArrivalOrSpoolerStop_ = false;
  // When a record or a driver's registration last appeared for an attached
  // printer: the monitor thread may be re-binding the queue for it.
  std::int64_t lastLateRecordAt_ = -1;
  // When a printer last arrived or its records last appeared: a re-binding,
  // which restarts the Spooler, may follow for a while.
  std::int64_t lastRebindingCauseAt_ = -1000000;
  // Others stopped the Spooler while a re-binding may have been restarting
  // it: the restart's start may bring it back, as it was meant to.
  bool othersStopRaced_ = false;
  // An accepted stop whose end has not been checked yet (the control
  // manager was unreachable: the service may owe the Spooler a start).
  bool stopToCheck_ = false;
  // A system shutdown: the machine goes down and comes back, and its Spooler
  // starts with it.
  bool shutDown_ = false;
  // The last arrival of a printer of the model (either), or the printer
  // found at start: the queue follows it.
  struct Arrival {
    bool seen = false;
    int generation = -1;
    int socket = -1;
    std::int64_t at = 0;
    // Which printer the queue follows is open: both were there at start, or
    // the other arrived within a re-check window before it.
    bool ambiguous = false;
  } arrival_;
  // When the first printer, and the second, last arrived.
  std::array<std::int64_t, 2> lastModelArrivalAt_{-1000000, -1000000};
  bool bindingClean_ = false;
  enum class Open { Yes, No, Unknown } monitorOpen_ = Open::No;
  int monitorGeneration_ = -1;
  // The printer's last removal, seen by the running service.
  bool offlineExpected_ = false;
  int offlineGeneration_ = -1;
};

std::uint32_t History::Do(const std::string& line) {
  // A fault line replaces the device's faults: one without held=yes lets the
  // device go.
  if (line.rfind("fault device ", 0) == 0 && line.find("held=yes") == std::string::npos &&
      !record_.deviceHeld.empty() && record_.deviceHeld.back().to == oracle::kOpenEnd &&
      line.find(record_.deviceHeldPaths.back()) != std::string::npos) {
    oracle::Record::Close(record_.deviceHeld, Now());
  }
  std::string error;
  const auto step = ParseLine(line, 0, error);
  if (!step) {
    Fail("generated line not understood: " + line + ": " + error);
    return 0;
  }
  history_ << line << '\n';
  if (progress_ != nullptr) *progress_ << "H " << line << '\n' << std::flush;
  return session_.Perform(*step);
}

void History::Expect(const std::string& line, const std::string& invariant) {
  std::string error;
  const auto step = ParseLine(line, 0, error);
  if (!step) {
    Fail("generated check not understood: " + line + ": " + error);
    return;
  }
  history_ << line << "    # " << invariant << '\n';
  if (progress_ != nullptr) *progress_ << "H " << line << "    # " << invariant << '\n' << std::flush;
  if (const auto found = session_.Check(*step)) Fail(invariant + ": " + line + ": found " + *found);
}

void History::CheckHistory() {
  if (!outcome_.held) return;
  for (const oracle::Finding& finding : oracle::CheckHistory(session_.Machine(), record_, Now())) {
    if (std::find(outcome_.findings.begin(), outcome_.findings.end(), finding.invariant) != outcome_.findings.end()) {
      continue;
    }
    // The finding as a comment, so that the scenario the failure writes says
    // what failed even where no check of the language can say it.
    const std::string note = "# oracle: " + finding.invariant;
    history_ << note << '\n';
    if (progress_ != nullptr) *progress_ << "H " << note << '\n' << std::flush;
    if (!finding.expect.empty()) Expect(finding.expect, finding.invariant);
    Fail(finding.invariant);
    if (!outcome_.held) return;
  }
}

void History::Fail(const std::string& invariant) {
  if (!outcome_.held) return;  // the first failure is the one reported
  if (std::find(outcome_.findings.begin(), outcome_.findings.end(), invariant) == outcome_.findings.end()) {
    outcome_.findings.push_back(invariant);
  }
  if (failedAny_) return;
  failedAny_ = true;
  outcome_.invariant = invariant;
  outcome_.failedAtMs = Now();
  if (!allFindings_) outcome_.held = false;
}

void History::CheckNoFaults() {
  // The machine's own findings: calls after STOPPED, code past a process's
  // end, a pending state without progress. A replay fails on them too.
  const auto faults = session_.Machine().Faults();
  if (!faults.empty()) Fail("Windows lets nothing of this pass: " + faults.front());
}

void History::Schedule(std::int64_t at, std::string line, int socket, bool record) {
  scheduled_.push_back({at, std::move(line), socket, record});
}

std::int64_t History::Ms(std::int64_t low, std::int64_t high) {
  const std::int64_t ms = random_.Between(low, high);
  return grid_ ? ms / 100 * 100 : ms;
}

void History::WaitFor(std::int64_t ms) {
  const std::int64_t end = Now() + ms;
  for (;;) {
    auto next = std::min_element(scheduled_.begin(), scheduled_.end(),
                                 [](const Scheduled& a, const Scheduled& b) { return a.at < b.at; });
    if (next == scheduled_.end() || next->at > end) break;
    if (next->at > Now()) Do("wait " + Duration(next->at - Now()));
    const Scheduled event = *next;
    scheduled_.erase(next);
    if (event.line.empty()) {
      if (attached_ == event.socket) Unplug(event.socket);
      continue;
    }
    Do(event.line);
    if (event.socket < 0) continue;
    Socket& socket = SocketAt(event.socket);
    if (attached_ == event.socket || (event.socket == kSecondPrinterSocket && secondAttached_)) {
      lastLateRecordAt_ = lastRebindingCauseAt_ = Now();
    }
    if (event.record) {
      socket.recorded = true;
      socket.recordedAt = Now();
      record_.devices[static_cast<std::size_t>(event.socket)].recordedAt = Now();
    } else {
      socket.described = true;
      socket.describedAt = Now();
      record_.devices[static_cast<std::size_t>(event.socket)].describedAt = Now();
      // A printer waiting to be recognised is opened once its driver has
      // registered its print interface.
      if (attached_ == event.socket && arrival_.seen && arrival_.generation == generation_ &&
          arrival_.socket == event.socket && Now() - arrival_.at <= kLateRecordLimitMs) {
        monitorOpen_ = held_ || deviceFault_ ? Open::Unknown : Open::Yes;
        monitorGeneration_ = generation_;
      }
    }
  }
  if (end > Now()) Do("wait " + Duration(end - Now()));
}

void History::Setup() {
  grid_ = random_.Chance(50);
  sockets_ = {
      {"ABC123", "USB002", Socket::Record::AtSetup, false},
      {"5&1A2B3C&0&1", "USB003", random_.Chance(50) ? Socket::Record::AtSetup : Socket::Record::Late, false},
      {"5&1A2B3C&0&2", "USB004", random_.Chance(60) ? Socket::Record::Late : Socket::Record::Never, random_.Chance(50)},
      {"5&1A2B3C&0&3", "", Socket::Record::Never, false},
      // The second printer's socket.
      {"5&1A2B3C&0&9", "USB005", random_.Chance(40) ? Socket::Record::AtSetup : Socket::Record::Late,
       random_.Chance(25)},
  };
  const std::vector<std::string> cases = {"as-is", "upper", "lower"};
  // A till up for weeks: the tick count wraps during the history.
  if (random_.Chance(25)) Do("clock ticks " + std::to_string(4294967296LL - Ms(1000, kBeforeWrapMs)));
  Do(std::string("queue ") + kQueue + " port=USB001");
  Do("port COM1");
  Do("port LPT1");
  Do("port USB001 device-id=USB\\VID_04B8&PID_0202\\OTHER");
  SetStatusByte(
      static_cast<std::uint8_t>(random_.Pick(std::vector<int>{0x00, 0x04, 0x10, 0x14, 0x20, 0x24, 0x30, 0x34})));
  for (std::size_t i = 0; i < sockets_.size(); ++i) {
    Socket& socket = sockets_[i];
    socket.notifyCase = random_.Pick(cases);
    if (socket.record == Socket::Record::AtSetup) {
      Do("port " + socket.port + " device-id=" + InstanceId(socket.instance));
      socket.recorded = true;
      socket.recordedAt = 0;
    } else if (!socket.port.empty() && socket.record == Socket::Record::Late && random_.Chance(50)) {
      Do("port " + socket.port);  // the port exists, with no record of this printer yet
    }
    std::string line = "device " + PrinterPath(socket.instance);
    if (!socket.lateDriver) {
      line += std::string(" description=") + kQueue;
      socket.described = true;
      socket.describedAt = 0;
    }
    line += " status=" + Hex(status_) + " notify-case=" + socket.notifyCase;
    Do(line);
    record_.devices.push_back(
        {PrinterPath(socket.instance), socket.port, true, true, socket.describedAt, socket.recorded ? 0 : -1});
  }
  Do(std::string("device ") + kMousePath);
  Do(std::string("device ") + kLookalikePath + " description=KX200OTHER");
  // The sibling's port records it from the start.
  Do(std::string("port ") + kSiblingPort + " device-id=" + InstanceId(kSiblingInstance));
  Do(std::string("device ") + kSiblingPath + " description=KX310MQ48J status=0x20");
  record_.devices.push_back({kMousePath, "", false, false, -1, -1});
  record_.devices.push_back({kLookalikePath, "", false, true, 0, -1});
  record_.devices.push_back({kSiblingPath, kSiblingPort, false, true, 0, 0});
  if (random_.Chance(30)) Do("spooler dependent Fax running");
  // A busy machine from the start: every control-manager call is slow.
  if (random_.Chance(20)) {
    const std::int64_t latency = Ms(100, 800);
    Do("fault scm latency=" + Duration(latency));
    record_.scmLatencyMs = std::max(record_.scmLatencyMs, latency);
    scmLatency_ = true;
  }
  // A Spooler slow to stop or to start, now and then very slow.
  if (random_.Chance(40)) {
    const std::int64_t stopMs = Ms(0, random_.Chance(25) ? 60000 : 12000);
    longestSpoolerStopMs_ = std::max(longestSpoolerStopMs_, stopMs);
    record_.spoolerStopMs = longestSpoolerStopMs_;
    Do("spooler stop-time " + Duration(stopMs));
  }
  if (random_.Chance(40)) {
    const std::int64_t startMs = Ms(0, random_.Chance(20) ? 60000 : 6000);
    longestSpoolerStartMs_ = std::max(longestSpoolerStartMs_, startMs);
    record_.spoolerStartMs = longestSpoolerStartMs_;
    Do("spooler start-time " + Duration(startMs));
  }
  if (random_.Chance(30)) {
    // Plugged in before the service starts: no arrival for it to see.
    attached_ = static_cast<int>(random_.Between(0, kPrinterSockets - 1));
    Do("plug " + PrinterPath(SocketAt(attached_).instance));
    Plugged(attached_, true);
    SocketAt(attached_).everPlugged = true;
  }
}

void History::OnArrival(bool printer, int printerSocket) {
  anyArrivalOrSpoolerStop_ = true;
  if (!serviceRunning_) return;
  // Every arrival asks the monitor thread to reopen the printer.
  const bool seen = ServiceSees();
  if (!seen) {
    monitorOpen_ = Open::Unknown;
  } else if (attached_ >= 0) {
    const Socket& socket = SocketAt(attached_);
    monitorOpen_ = !socket.described ? Open::No : (held_ || deviceFault_ ? Open::Unknown : Open::Yes);
  } else {
    monitorOpen_ = Open::No;
  }
  monitorGeneration_ = generation_;
  if (!printer) return;
  lastRebindingCauseAt_ = Now();
  // The other printer's arrival may still be re-binding the queue.
  const std::int64_t other = lastModelArrivalAt_[printerSocket == kSecondPrinterSocket ? 0 : 1];
  const bool ambiguous = Now() - other <= oracle::kRecheckWindowMs;
  lastModelArrivalAt_[printerSocket == kSecondPrinterSocket ? 1 : 0] = Now();
  arrival_ = {seen, generation_, printerSocket, Now(), ambiguous};
  bindingClean_ = seen && !spoolerFault_ && !scmUnreachable_ && !spoolerStoppedByOthers_;
  offlineExpected_ = false;
}

void History::Plug(int index) {
  Socket& socket = SocketAt(index);
  const bool second = index == kSecondPrinterSocket;
  if (second ? secondAttached_ : attached_ >= 0) return;
  if (second) {
    secondAttached_ = true;
  } else {
    attached_ = index;
  }
  const std::string path = PrinterPath(socket.instance);
  Do("status " + path + " " + Hex(status_));
  Do("plug " + path);
  Plugged(index, true);
  if (!socket.everPlugged) {
    socket.everPlugged = true;
    // The port monitor records a new socket, and a late driver registers the
    // print interface, a while after the device arrives: up to 2 s before
    // the service's re-check window ends.
    if (socket.record == Socket::Record::Late && !socket.recorded) {
      Schedule(Now() + Ms(500, kLateRecordLimitMs), "port " + socket.port + " device-id=" + InstanceId(socket.instance),
               index, true);
    }
    if (socket.lateDriver && !socket.described) {
      Schedule(Now() + Ms(300, 12000), "device " + path + " description=" + kQueue, index, false);
    }
  }
  // The queue follows the printer of the model that arrived last (the
  // README: the service re-binds the queue at every arrival of the model's
  // printer), whichever of the two it is.
  OnArrival(true, index);
}

void History::Unplug(int index) {
  const Socket& socket = SocketAt(index);
  Do("unplug " + PrinterPath(socket.instance));
  Plugged(index, false);
  if (index == kSecondPrinterSocket) {
    secondAttached_ = false;
  } else {
    attached_ = -1;
  }
  // The monitor thread may have had this one open: it mirrors nothing
  // until an arrival has it reopen a printer.
  monitorOpen_ = Open::No;
  // The removal reads the print interface's entries, which stay after the
  // unplug: a recognised printer is marked offline. Excused: while the other
  // printer of the model is still plugged in, any arrival may have the
  // monitor thread open that one, which ends the offline (README,
  // "Unplugged").
  const bool otherStays = index == kSecondPrinterSocket ? attached_ >= 0 : secondAttached_;
  offlineExpected_ = ServiceSees() && socket.described && !otherStays;
  offlineGeneration_ = generation_;
  // Another device arriving right behind the unplug, while the monitor
  // thread's next pass may be reading the printer's stale handle.
  if (random_.Chance(30)) {
    if (!mouseIn_) {
      Do(std::string("plug ") + kMousePath);
      Plugged(kMouseDevice, true);
      mouseIn_ = true;
      OnArrival(false);
    } else if (!lookalikeIn_) {
      Do(std::string("plug ") + kLookalikePath);
      Plugged(kLookalikeDevice, true);
      lookalikeIn_ = true;
      OnArrival(false);
    }
  }
}

void History::ChangeStatus() {
  static const std::vector<int> kBytes = {0x00, 0x04, 0x10, 0x14, 0x20, 0x24, 0x30, 0x34};
  SetStatusByte(static_cast<std::uint8_t>(
      random_.Pick(kBytes) | (random_.Chance(20) ? random_.Pick(std::vector<int>{0x01, 0x02, 0x08, 0x40, 0x80}) : 0)));
  const int socket = attached_ >= 0 ? attached_ : 0;
  Do("status " + PrinterPath(SocketAt(socket).instance) + " " + Hex(status_));
  // Both printers report the same: the queue shows it whichever is open.
  if (secondAttached_) Do("status " + PrinterPath(SocketAt(kSecondPrinterSocket).instance) + " " + Hex(status_));
}

void History::SetFault() {
  const int kind = static_cast<int>(random_.Between(0, 10));
  const int socket = attached_ >= 0 ? attached_ : static_cast<int>(random_.Between(0, kPrinterSockets - 1));
  const std::string path = PrinterPath(SocketAt(socket).instance);
  switch (kind) {
    case 0:
      Do("fault device " + path + " read-error=" + (random_.Chance(50) ? "31" : "1167"));
      break;
    case 1:
      Do("fault device " + path + " short-read=" + std::to_string(random_.Between(0, 4)));
      break;
    case 2: {
      // Now and then a printer that stops answering: its read hangs for a
      // minute.
      const std::int64_t latency = random_.Chance(30) ? kHungReadMs : Ms(50, 3000);
      Do("fault device " + path + " read-latency=" + Duration(latency));
      record_.readLatencyMs = std::max(record_.readLatencyMs, latency);
      break;
    }
    case 3:
      Do("fault device " + path + " open-latency=" + Duration(Ms(50, 2000)));
      break;
    case 4:
      Do("fault device " + path + " held=yes");
      held_ = true;
      // One held device at a time: the fault is cleared for all at once.
      if (record_.deviceHeld.empty() || record_.deviceHeld.back().to != oracle::kOpenEnd) {
        oracle::Record::Open(record_.deviceHeld, Now());
        record_.deviceHeldPaths.push_back(path);
      }
      break;
    case 5:
      Do("fault spooler reject-port-writes=" + std::string(random_.Chance(50) ? "5" : "1796"));
      spoolerFault_ = true;
      oracle::Record::Open(record_.portWritesRejected, Now());
      TaintBinding();
      return;
    case 6:
      Do("fault spooler enum-ports-error=" + std::string(random_.Chance(50) ? "5" : "1722"));
      spoolerFault_ = true;
      oracle::Record::Open(record_.portListingRefused, Now());
      TaintBinding();
      return;
    case 7: {
      // A busy Spooler, now and then half a second per call.
      const std::int64_t latency = random_.Chance(25) ? Ms(100, 500) : Ms(1, 50);
      Do("fault spooler latency=" + Duration(latency));
      record_.spoolerLatencyMs = std::max(record_.spoolerLatencyMs, latency);
      spoolerLatency_ = true;
      return;
    }
    case 8:
      if (random_.Chance(50)) {
        const std::int64_t latency = Ms(1, 20);
        Do("fault registry latency=" + Duration(latency));
        record_.registryLatencyMs = std::max(record_.registryLatencyMs, latency);
        registryLatency_ = true;
      } else {
        // A registry call that stalls for a moment (a busy disk), while
        // other threads go on; now and then the printer is unplugged right
        // after, while a call made during the stall still waits.
        const std::int64_t stall = Ms(500, 2000);
        Do("fault registry latency=" + Duration(stall));
        record_.registryStallMs = std::max(record_.registryStallMs, stall);
        const std::int64_t reset = Now() + Ms(100, 1500);
        Schedule(reset, "fault registry latency=0ms");
        if (attached_ >= 0 && random_.Chance(40)) Schedule(reset + Ms(0, 600), "", attached_);
      }
      return;
    case 9:
      if (random_.Chance(40)) {
        Do("fault scm unreachable=5");
        scmUnreachable_ = true;
        oracle::Record::Open(record_.scmUnreachable, Now());
        TaintBinding();
      } else {
        const std::int64_t latency = Ms(1, 500);
        Do("fault scm latency=" + Duration(latency));
        record_.scmLatencyMs = std::max(record_.scmLatencyMs, latency);
        scmLatency_ = true;
      }
      return;
    default:
      Do(random_.Chance(50) ? "spooler dependent Fax running" : "spooler dependent Fax stopped");
      return;
  }
  deviceFault_ = true;
  oracle::Record::Open(record_.deviceFaults, Now());
  if (socket == attached_) DeviceFaultTaint();
}

void History::ServiceStart() {
  if (serviceRunning_) return;
  if (Do("service start") != 0) return;
  record_.runs.push_back({Now(), oracle::kOpenEnd, false});
  // Started again: the stop before, whatever it waited for, has ended.
  stopToCheck_ = false;
  // A stop right behind the start races the service's start-up; refused
  // while it is still starting.
  if (random_.Chance(15)) {
    if (Do("service stop") == 0) {
      record_.runs.back().stopAt = Now();
      serviceEverStarted_ = true;
      ++generation_;
      WaitFor(oracle::StopBoundMs(record_));
      CheckStopped("a stop during start-up");
      return;
    }
  }
  serviceRunning_ = true;
  serviceEverStarted_ = true;
  ++generation_;
  serviceStartedAt_ = Now();
  // The monitor thread opens a recognised printer that is already there.
  if (attached_ >= 0) {
    const Socket& socket = SocketAt(attached_);
    monitorOpen_ = !socket.described ? Open::No : (held_ || deviceFault_ ? Open::Unknown : Open::Yes);
  } else {
    monitorOpen_ = Open::No;
  }
  monitorGeneration_ = generation_;
  offlineExpected_ = false;
  // At start the service looks at the printer that is there as at an
  // arrival: a printer moved while it did not run is re-bound. With both
  // printers of the model there, which one it takes is open.
  const int present = attached_ >= 0 ? attached_ : (secondAttached_ ? kSecondPrinterSocket : -1);
  if (present >= 0) {
    arrival_ = {true, generation_, present, Now(), attached_ >= 0 && secondAttached_};
    lastModelArrivalAt_[present == kSecondPrinterSocket ? 1 : 0] = lastRebindingCauseAt_ = Now();
    bindingClean_ = !spoolerFault_ && !scmUnreachable_ && !spoolerStoppedByOthers_;
  } else {
    arrival_.seen = false;
  }
  // Arrivals and removals from the first millisecond of the start, before
  // the service may have registered for notifications.
  if (random_.Chance(15)) {
    WaitFor(Ms(0, 60));
    if (attached_ >= 0 && random_.Chance(50)) {
      Unplug(attached_);
      if (random_.Chance(60)) WaitFor(Ms(0, 60));
    }
    if (attached_ < 0) Plug(static_cast<int>(random_.Between(0, kPrinterSockets - 1)));
  }
}

void History::CheckStopped(const std::string& how) {
  Expect("expect service stopped", how + " ends with the service STOPPED");
  Expect("expect open-handles 0", how + " leaves no handle open and its notification unregistered");
  if (session_.Machine().ThreadsOfEndedProcesses() != 0) Fail("no thread of the service runs after its process ended");
  CheckNoFaults();
}

void History::ServiceStop(bool shutdown) {
  if (!serviceRunning_) {
    Do("service stop");  // refused: the service is not running
    return;
  }
  if (Do(shutdown ? "service control 5" : "service stop") != 0) return;  // refused while it starts
  if (!record_.runs.empty()) {
    record_.runs.back().stopAt = Now();
    record_.runs.back().shutdown = shutdown;
  }
  if (shutdown) record_.shutdowns.push_back(Now());
  serviceRunning_ = false;
  TaintBinding();
  offlineExpected_ = false;
  monitorOpen_ = Open::No;
  if (shutdown) {
    // The machine is going down: the service ends within a few seconds of
    // the shutdown reaching it, whatever it was doing; the shutdown reaches
    // it as soon as the handler has answered the control before it.
    WaitFor(2 * oracle::ControlBoundMs(record_) + kShutdownMs);
    CheckStopped("a shutdown");
    shutDown_ = true;
    return;
  }
  if (scmUnreachable_) {
    // A Spooler start the service owes waits for the control manager: the
    // stop ends once it can be made, checked at the next settled moment.
    stopToCheck_ = true;
    return;
  }
  // The stop ends in bounded time, also behind a re-binding and a Spooler
  // that takes its time to stop and start again: the Spooler's own times
  // plus the service's slack.
  WaitFor(oracle::StopBoundMs(record_));
  CheckStopped("a stop");
}

void History::Step() {
  // Right after a late record the monitor thread may be re-binding the queue,
  // against a Spooler that takes its time: a stop, or another printer of the
  // model, arriving then is what the re-binding must survive.
  if (serviceRunning_ && lastLateRecordAt_ >= 0 && Now() - lastLateRecordAt_ <= 6000) {
    lastLateRecordAt_ = -1;
    if (random_.Chance(30)) {
      ServiceStop(random_.Chance(15));
      return;
    }
    if (!secondAttached_ && random_.Chance(40)) {
      Plug(kSecondPrinterSocket);
      if (random_.Chance(60)) WaitFor(Ms(0, 4000));
      return;
    }
  }
  const int roll = static_cast<int>(random_.Between(1, 100));
  if (roll <= 14) {
    if (attached_ >= 0) {
      Unplug(attached_);
    } else {
      Plug(static_cast<int>(random_.Between(0, kPrinterSockets - 1)));
    }
  } else if (roll <= 19) {
    if (secondAttached_) {
      Unplug(kSecondPrinterSocket);
    } else {
      Plug(kSecondPrinterSocket);
    }
  } else if (roll <= 31) {
    ChangeStatus();
  } else if (roll <= 37) {
    Do(std::string(mouseIn_ ? "unplug " : "plug ") + kMousePath);
    mouseIn_ = !mouseIn_;
    Plugged(kMouseDevice, mouseIn_);
    if (mouseIn_) OnArrival(false);
  } else if (roll <= 40) {
    Do(std::string(lookalikeIn_ ? "unplug " : "plug ") + kLookalikePath);
    lookalikeIn_ = !lookalikeIn_;
    Plugged(kLookalikeDevice, lookalikeIn_);
    if (lookalikeIn_) OnArrival(false);
  } else if (roll <= 43) {
    Do(std::string(siblingIn_ ? "unplug " : "plug ") + kSiblingPath);
    siblingIn_ = !siblingIn_;
    Plugged(kSiblingDevice, siblingIn_);
    if (siblingIn_) OnArrival(false);
  } else if (roll <= 50) {
    if (spoolerStoppedByOthers_) {
      // Refused while the Spooler is still stopping.
      if (Do("spooler start") == 0) spoolerStoppedByOthers_ = false;
    } else {
      AdministratorStopsSpooler();
    }
  } else if (roll <= 62) {
    SetFault();
  } else if (roll <= 66) {
    if (random_.Chance(50)) {
      const std::int64_t stopMs = Ms(0, random_.Chance(25) ? 60000 : 12000);
      longestSpoolerStopMs_ = std::max(longestSpoolerStopMs_, stopMs);
      record_.spoolerStopMs = longestSpoolerStopMs_;
      Do("spooler stop-time " + Duration(stopMs));
    } else {
      const std::int64_t startMs = Ms(0, random_.Chance(20) ? 60000 : 6000);
      longestSpoolerStartMs_ = std::max(longestSpoolerStartMs_, startMs);
      record_.spoolerStartMs = longestSpoolerStartMs_;
      Do("spooler start-time " + Duration(startMs));
    }
  } else if (roll <= 71) {
    if (serviceRunning_) {
      ServiceStop(random_.Chance(20));
    } else {
      ServiceStart();
    }
  } else if (roll <= 74) {
    Do("service control " + std::string(random_.Chance(50) ? "4" : "200"));
  } else if (roll <= 77 && !serviceRunning_) {
    ServiceStart();
  } else if (roll <= 82) {
    MoveWhileStopped();
  } else if (roll <= 85) {
    if (random_.Chance(50)) {
      PortListingRefusedForTheWindow();
    } else {
      StopDuringPortWriteRetries();
    }
  } else if (roll <= 90) {
    PaperOutDuringARebinding();
  } else if (roll <= 94) {
    HungReadDuringARebinding();
  } else if (serviceRunning_ && roll <= 97) {
    // A stop or a shutdown at any moment: here within a few status passes
    // of the last event, whatever the service is doing.
    WaitFor(Ms(0, 1500));
    ServiceStop(random_.Chance(30));
  }
  // Time passes between events: sometimes none at all.
  if (random_.Chance(80)) WaitFor(Ms(0, 4000));
}

void History::AdministratorStopsSpooler() {
  anyArrivalOrSpoolerStop_ = true;
  const std::size_t before = session_.Machine().Trace().size();
  // Refused while the Spooler is not running (the service may be
  // restarting it).
  if (Do("spooler stop") != 0) return;
  record_.adminSpoolerStops.emplace_back(before, session_.Machine().Trace().size());
  spoolerStoppedByOthers_ = true;
  // A re-binding may be restarting it, until all its waits are over.
  othersStopRaced_ = serviceRunning_ && Now() - lastRebindingCauseAt_ <= kLateRecordLimitMs + 30000;
  TaintBinding();
}

void History::MoveWhileStopped() {
  // A till switched off overnight, an upgrade window: the printer is moved to
  // another socket while the service does not run, and the service is
  // started after it (Windows sends no arrival for a device already there).
  const bool wasRunning = serviceRunning_;
  if (wasRunning) ServiceStop(false);
  if (serviceRunning_ || !outcome_.held) return;
  if (attached_ >= 0) Unplug(attached_);
  WaitFor(Ms(0, 2000));
  // Sockets 0 and 1 have their records from the setup or soon after.
  Plug(static_cast<int>(random_.Between(0, 1)));
  WaitFor(Ms(0, 3000));
  if (wasRunning || random_.Chance(70)) ServiceStart();
}

void History::PortListingRefusedForTheWindow() {
  // The Spooler runs but cannot list its ports, for longer than the
  // service's re-check window, while the printer arrives on another socket:
  // entry 300 says so, once.
  if (!serviceRunning_) ServiceStart();
  if (!serviceRunning_) return;
  Do("fault spooler enum-ports-error=" + std::string(random_.Chance(50) ? "1722" : "5"));
  spoolerFault_ = true;
  oracle::Record::Open(record_.portListingRefused, Now());
  TaintBinding();
  if (attached_ >= 0) {
    Unplug(attached_);
    WaitFor(Ms(0, 1500));
  }
  Plug(static_cast<int>(random_.Between(0, 1)));
  WaitFor(oracle::kRecheckWindowMs + Ms(6000, 30000));
  Do("fault spooler enum-ports-error=0");
  oracle::Record::Close(record_.portListingRefused, Now());
}

void History::StopDuringPortWriteRetries() {
  // A busy Spooler that refuses every port write while the printer arrives on
  // another socket; a stop or shutdown comes while the service retries.
  if (!serviceRunning_) ServiceStart();
  if (!serviceRunning_) return;
  const std::int64_t latency = Ms(200, 500);
  Do("fault spooler latency=" + Duration(latency) + " reject-port-writes=" + (random_.Chance(50) ? "5" : "1796"));
  record_.spoolerLatencyMs = std::max(record_.spoolerLatencyMs, latency);
  spoolerFault_ = spoolerLatency_ = true;
  oracle::Record::Open(record_.portWritesRejected, Now());
  TaintBinding();
  if (attached_ >= 0) {
    Unplug(attached_);
    WaitFor(Ms(0, 1000));
  }
  Plug(static_cast<int>(random_.Between(0, 1)));
  WaitFor(Ms(300, 4000));
  ServiceStop(random_.Chance(30));
}

void History::PaperOutDuringARebinding() {
  // The printer moves to another socket and its paper runs out while the
  // queue is re-bound: at the re-binding's end the queue must show it.
  if (attached_ >= 0) {
    Unplug(attached_);
    WaitFor(Ms(0, 1000));
  }
  SetStatusByte(0x20);
  Plug(static_cast<int>(random_.Between(0, 2)));
  WaitFor(Ms(0, 1500));
  static const std::vector<int> kStopping = {0x00, 0x04, 0x24, 0x30};
  SetStatusByte(static_cast<std::uint8_t>(random_.Pick(kStopping)));
  if (attached_ >= 0) Do("status " + PrinterPath(SocketAt(attached_).instance) + " " + Hex(status_));
  if (secondAttached_) Do("status " + PrinterPath(SocketAt(kSecondPrinterSocket).instance) + " " + Hex(status_));
}

void History::HungReadDuringARebinding() {
  // A printer that stops answering (its read hangs for a minute) right as a
  // re-binding begins, so a Spooler start the re-binding owes waits behind
  // the read unless nothing does.
  if (attached_ >= 0) {
    Unplug(attached_);
    WaitFor(Ms(0, 1000));
  }
  const int socket = static_cast<int>(random_.Between(0, 1));
  Plug(socket);
  WaitFor(Ms(0, 800));
  Do("fault device " + PrinterPath(SocketAt(socket).instance) + " read-latency=" + Duration(kHungReadMs));
  record_.readLatencyMs = std::max(record_.readLatencyMs, kHungReadMs);
  deviceFault_ = true;
  oracle::Record::Open(record_.deviceFaults, Now());
  DeviceFaultTaint();
}

void History::StartSpoolerAsAnAdministrator() {
  // Refused while the Spooler is still stopping: tried again once any stop
  // has had its time.
  if (Do("spooler start") != 0) {
    WaitFor(longestSpoolerStopMs_ + 1000);
    Do("spooler start");
  }
}

void History::Settle() {
  if (deviceFault_) {
    for (const Socket& socket : sockets_) Do("fault device " + PrinterPath(socket.instance));
    deviceFault_ = false;
    held_ = false;
  }
  oracle::Record::Close(record_.deviceFaults, Now());
  oracle::Record::Close(record_.deviceHeld, Now());
  if (spoolerFault_ || spoolerLatency_) {
    Do("fault spooler reject-port-writes=0 enum-ports-error=0 latency=0ms");
    spoolerFault_ = spoolerLatency_ = false;
  }
  oracle::Record::Close(record_.portWritesRejected, Now());
  oracle::Record::Close(record_.portListingRefused, Now());
  Do("fault registry latency=0ms");
  registryLatency_ = false;
  if (scmUnreachable_ || scmLatency_) {
    Do("fault scm unreachable=0 latency=0ms");
    scmUnreachable_ = scmLatency_ = false;
  }
  oracle::Record::Close(record_.scmUnreachable, Now());
  if (shutDown_) {
    // The machine came back up: its Spooler runs (the service starts only
    // when the history starts it).
    if (session_.Machine().SpoolerState() != SERVICE_RUNNING) StartSpoolerAsAnAdministrator();
    spoolerStoppedByOthers_ = false;
    shutDown_ = false;
  }
  if (spoolerStoppedByOthers_ && (serviceRunning_ || random_.Chance(50))) {
    StartSpoolerAsAnAdministrator();
    spoolerStoppedByOthers_ = false;
  }
  // Long enough for the Spooler to come back from a stop under way, and for
  // the re-binding of each printer that waited for it (two at most) to
  // restart it once more; and for a read that hung, which holds the monitor
  // thread's re-checks until it ends.
  WaitFor(kSettleMs + 3 * (longestSpoolerStopMs_ + longestSpoolerStartMs_) + record_.readLatencyMs);
  if (!outcome_.held) return;
  if (stopToCheck_) {
    CheckStopped("a stop while the control manager could not be reached");
    stopToCheck_ = false;
  }

  if (session_.Machine().ThreadsOfEndedProcesses() != 0) Fail("no thread of the service runs after its process ended");
  CheckNoFaults();
  if (spoolerStoppedByOthers_) {
    if (!serviceRunning_ && !othersStopRaced_) {
      Expect("expect spooler stopped", "the service does not start a Spooler others stopped");
    }
  } else {
    Expect("expect spooler running", "the Spooler is never left stopped by the service");
  }
  Expect("expect port-writes-only USB002 USB003 USB004 USB005",
         "no empty port and no port recording another device is ever written");
  Expect("expect no-log \" (unformattable diagnostic)\"", "every diagnostic can be formatted");
  if (serviceEverStarted_) {
    Expect("expect longest-control below 30s", "every control is handled within the control manager's 30 s");
  }
  if (!anyArrivalOrSpoolerStop_) Expect("expect spooler-restarts 0", "nothing restarts the Spooler unasked");
  CheckHistory();
  if (!outcome_.held || !serviceRunning_) return;
  Expect("expect service running", "the service keeps running");
  Expect("expect log \"GetPrinterHandle\"", "the service reads the queue's port at start");

  // The printer the queue follows: the last of the model to arrive, or the
  // one found at start. Attached, recognised and recorded in time, its
  // arrival seen by this service with nothing in the way: the queue is on
  // its port.
  const int followed = arrival_.socket;
  const bool followedAttached =
      followed >= 0 && (followed == attached_ || (followed == kSecondPrinterSocket && secondAttached_));
  if (arrival_.seen && arrival_.generation == generation_ && followedAttached && bindingClean_ && !arrival_.ambiguous) {
    const Socket& socket = SocketAt(followed);
    const bool recognisedInTime =
        socket.described && std::max(socket.describedAt, arrival_.at) - arrival_.at <= kLateRecordLimitMs;
    const bool recordedInTime =
        socket.recorded && std::max(socket.recordedAt, arrival_.at) - arrival_.at <= kLateRecordLimitMs;
    if (recognisedInTime && recordedInTime) {
      // An arrival before the service registered for notifications is one
      // Windows did not tell it of: it finds the printer at start instead.
      std::int64_t registeredAt = Now();
      for (const sim::TraceEntry& entry : session_.Machine().Trace()) {
        if (entry.time >= serviceStartedAt_ && entry.channel == sim::TraceEntry::Channel::Scm &&
            entry.text == "device notifications registered") {
          registeredAt = entry.time;
          break;
        }
      }
      Expect(std::string("expect queue ") + kQueue + " port=" + socket.port,
             arrival_.at == serviceStartedAt_ ? "after the start the queue is on the port that records the printer"
             : arrival_.at <= registeredAt
                 ? "after the start the queue is on the port that records the printer (it arrived during the start)"
                 : "the queue is on the port that records the printer that arrived");
    }
  }
  if (attached_ >= 0) {
    if (monitorOpen_ == Open::Yes && monitorGeneration_ == generation_) {
      const QueueExpectation queue = RulesFor(status_);
      Expect(std::string("expect queue ") + kQueue + " paused=" + (queue.paused ? "yes" : "no") +
                 " status=" + Hex(queue.status),
             "the queue shows what the status rules give for the printer's status byte");
    }
  } else if (offlineExpected_ && offlineGeneration_ == generation_) {
    Expect(std::string("expect queue ") + kQueue + " paused=yes status=0x80",
           "an unplugged printer leaves the queue paused and offline until it returns");
  }
}

void History::FinalChecks() {
  // Every port written was recording the printer when it was written.
  for (const auto& command : session_.Machine().SpoolerJournal()) {
    if (command.kind != sim::SpoolerCommand::Kind::SetPort) continue;
    const std::string port(command.port.begin(), command.port.end());
    const auto socket = std::find_if(sockets_.begin(), sockets_.end(), [&](const Socket& s) {
      return !s.port.empty() && EqualIgnoringCase(s.port, port);
    });
    if (socket == sockets_.end() || !socket->recorded || socket->recordedAt > command.time) {
      Fail("no port is written before it records the printer: " + port + " at " +
           FormatTime(command.time).substr(FormatTime(command.time).find_first_not_of(' ')));
    }
  }
  if (serviceRunning_) ServiceStop(false);
  if (spoolerStoppedByOthers_) {
    StartSpoolerAsAnAdministrator();
    spoolerStoppedByOthers_ = false;
  }
  WaitFor(longestSpoolerStartMs_ + 1000);
  Expect("expect spooler running", "the Spooler runs at the end of every history");
  CheckNoFaults();
  CheckHistory();
}

SeedOutcome History::Run(int steps) {
  Setup();
  if (random_.Chance(85)) ServiceStart();
  WaitFor(Ms(0, 3000));
  const int settleEvery = static_cast<int>(random_.Between(6, 16));
  for (int i = 1; i <= steps && outcome_.held; ++i) {
    Step();
    if (i % settleEvery == 0) Settle();
  }
  if (outcome_.held) Settle();
  if (outcome_.held) FinalChecks();
  if (failedAny_) outcome_.held = false;
  outcome_.history = history_.str();
  outcome_.simulatedMs = Now();
  return outcome_;
}

// ---- Running seeds in processes of their own.

struct ChildReport {
  SeedOutcome outcome;
  std::string otherOutput;
  bool reported = false;
};

// A seed's process, running: what it has written so far.
struct Child {
  std::uint64_t seed = 0;
  pid_t pid = -1;
  int fd = -1;
  std::string text;
  bool done = false;
  int status = 0;
  std::string startError;
};

ChildReport ReportOf(const Child& child);

Child StartSeedInChild(std::uint64_t seed, int steps, bool allFindings) {
  Child started;
  started.seed = seed;
  int fds[2];
  if (pipe(fds) != 0) {
    started.done = true;
    started.startError = "cannot create a pipe";
    return started;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[1]);
    int code = 0;
    {
      const SeedOutcome outcome = RunSeed(seed, steps, &std::cout, allFindings);
      for (const std::string& finding : outcome.findings) std::cout << "F " << finding << '\n';
      std::cout << "R " << (outcome.held ? "held" : "failed") << '\t' << outcome.failedAtMs << '\t'
                << outcome.simulatedMs << '\t' << outcome.invariant << '\n'
                << std::flush;
      code = outcome.held ? 0 : 1;
    }
    std::_Exit(code);
  }
  close(fds[1]);
  started.pid = child;
  started.fd = fds[0];
  return started;
}

// Reads what the running children have written, until at least one more of
// them has ended; each is read as it writes, so none waits on a full pipe.
void ReadChildren(std::deque<Child>& children) {
  std::vector<pollfd> polled;
  for (const Child& child : children) {
    if (!child.done) polled.push_back({child.fd, POLLIN, 0});
  }
  if (polled.empty()) return;
  if (poll(polled.data(), polled.size(), -1) < 0) return;
  std::array<char, 65536> buffer{};
  for (const pollfd& p : polled) {
    if (p.revents == 0) continue;
    Child& child = *std::find_if(children.begin(), children.end(), [&](const Child& c) { return c.fd == p.fd; });
    const ssize_t n = read(child.fd, buffer.data(), buffer.size());
    if (n > 0) {
      child.text.append(buffer.data(), static_cast<std::size_t>(n));
      continue;
    }
    close(child.fd);
    waitpid(child.pid, &child.status, 0);
    child.done = true;
  }
}

ChildReport ReportOf(const Child& child) {
  ChildReport report;
  if (!child.startError.empty()) {
    report.outcome.held = false;
    report.outcome.invariant = child.startError;
    return report;
  }
  const int status = child.status;
  std::istringstream lines(child.text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.starts_with("H ")) {
      report.outcome.history += line.substr(2) + '\n';
    } else if (line.starts_with("F ")) {
      report.outcome.findings.push_back(line.substr(2));
    } else if (line.starts_with("R ")) {
      std::istringstream fields(line.substr(2));
      std::string held;
      std::getline(fields, held, '\t');
      std::string at;
      std::getline(fields, at, '\t');
      std::string simulated;
      std::getline(fields, simulated, '\t');
      std::getline(fields, report.outcome.invariant);
      report.outcome.held = held == "held";
      report.outcome.failedAtMs = std::stoll(at);
      report.outcome.simulatedMs = std::stoll(simulated);
      report.reported = true;
    } else {
      report.otherOutput += line + '\n';
    }
  }
  if (!report.reported) {
    report.outcome.held = false;
    // The first line that says something (a sanitizer's report opens with a
    // rule of "=").
    std::string why;
    std::istringstream other(report.otherOutput);
    for (std::string said; why.empty() && std::getline(other, said);) {
      if (said.find_first_not_of("= ") != std::string::npos) why = said;
    }
    if (WIFSIGNALED(status)) {
      report.outcome.invariant = "no deadlock, no crash: the run ended with signal " +
                                 std::to_string(WTERMSIG(status)) + (why.empty() ? "" : " (" + why + ")");
    } else {
      report.outcome.invariant = "the run ended without a result" + (why.empty() ? "" : " (" + why + ")");
    }
  }
  return report;
}

}  // namespace

SeedOutcome RunSeed(std::uint64_t seed, int steps, std::ostream* progress, bool allFindings) {
  History history(seed, progress, allFindings);
  return history.Run(steps);
}

int RunSwarm(const SwarmOptions& options, std::ostream& out) {
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t run = 0;
  std::uint64_t failed = 0;
  double simulatedHours = 0;
  // Up to `jobs` seeds run at once; their results are reported in seed
  // order, so the output does not depend on which ends first.
  std::deque<Child> children;
  std::uint64_t next = options.firstSeed;
  bool more = true;
  while (more || !children.empty()) {
    while (more && children.size() < static_cast<std::size_t>(std::max(options.jobs, 1))) {
      children.push_back(StartSeedInChild(next, options.steps, options.allFindings));
      if (next == options.lastSeed) {
        more = false;
      } else {
        ++next;
      }
    }
    while (!children.front().done) ReadChildren(children);
    const std::uint64_t seed = children.front().seed;
    const ChildReport report = ReportOf(children.front());
    children.pop_front();
    ++run;
    simulatedHours += static_cast<double>(report.outcome.simulatedMs) / 3600000.0;
    if (!report.outcome.held) {
      ++failed;
      const std::string swarmReplay = "spoolsync-sim swarm --seeds " + std::to_string(seed) + ".." +
                                      std::to_string(seed) + " --steps " + std::to_string(options.steps);
      std::string line =
          "seed " + std::to_string(seed) + ": " + report.outcome.invariant + " at " +
          FormatTime(report.outcome.failedAtMs).substr(FormatTime(report.outcome.failedAtMs).find_first_not_of(' ')) +
          " s; replay: " + swarmReplay;
      if (options.saveDir) {
        std::filesystem::create_directories(*options.saveDir);
        const std::string file =
            (std::filesystem::path(*options.saveDir) / ("swarm_seed_" + std::to_string(seed) + ".scenario")).string();
        std::ofstream saved(file, std::ios::binary);
        saved << "# A history generated by " << swarmReplay << ".\n"
              << "# It failed: " << report.outcome.invariant << "\n"
              << "# replay: spoolsync-sim --seed " << seed << " " << file << "\n"
              << "# seed: " << seed << "\n\n"
              << report.outcome.history;
        line += "; saved: spoolsync-sim --seed " + std::to_string(seed) + " " + file;
      } else {
        // Without a folder to save in, say how to get the scenario.
        line += "; its scenario: " + swarmReplay + " --save DIR";
      }
      out << line << '\n';
      if (options.allFindings) {
        for (const std::string& finding : report.outcome.findings)
          out << "seed " << seed << " finds: " << finding << '\n';
      }
      out << std::flush;
      // What the run printed besides its history (a sanitizer's report, a
      // deadlock's threads) goes to the error stream.
      if (!report.otherOutput.empty()) std::cerr << report.otherOutput << std::flush;
    }
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char summary[200];
  std::snprintf(summary, sizeof summary, "swarm: %llu seeds run, %llu failed, %.1f simulated hours, %.1f wall seconds",
                static_cast<unsigned long long>(run), static_cast<unsigned long long>(failed), simulatedHours, wall);
  out << summary << '\n';
  return failed == 0 ? 0 : 1;
}

}  // namespace simrunner
