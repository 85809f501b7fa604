#include "sim_runner/picture.h"

#include <algorithm>
#include <cstdio>
#include <span>
#include <string_view>

#include "sim_runner/event_messages.h"
#include "sim_runner/parser.h"
#include "sim_runner/status_bits.h"
#include "sim_runner/timeline.h"
#include "sim_runner/widen.h"

namespace simrunner {

namespace {

constexpr char kGreen[] = "#81c784";
constexpr char kRed[] = "#e57373";
constexpr char kOrange[] = "#ffb74d";
constexpr char kYellow[] = "#fff176";
constexpr char kGrey[] = "#e0e0e0";
constexpr char kDarkGrey[] = "#9e9e9e";
constexpr char kBlue[] = "#64b5f6";
constexpr char kPurple[] = "#ce93d8";
// A port's colour is its rank among the ports the queue has had.
constexpr const char* kPortFills[] = {"#90caf9", "#a5d6a7", "#ffcc80", "#ce93d8", "#80cbc4", "#f48fb1"};

struct State {
  std::string state;
  std::string brief;
  std::string detail;
  std::string fill;
  bool operator==(const State&) const = default;
};

// A lane's states in time order. Equal consecutive states are one band; a
// state that lasted no time at all gives way to the one that followed it.
struct BandBuilder {
  struct Start {
    std::int64_t atMs;
    State state;
  };
  std::vector<Start> starts;

  void Set(std::int64_t atMs, State state) {
    if (!starts.empty() && starts.back().state == state) return;
    if (!starts.empty() && starts.back().atMs == atMs) {
      starts.pop_back();
      if (!starts.empty() && starts.back().state == state) return;
    }
    starts.push_back({atMs, std::move(state)});
  }

  [[nodiscard]] std::optional<Band> Last(std::int64_t endMs) const {
    if (starts.empty()) return std::nullopt;
    const State& s = starts.back().state;
    return Band{starts.back().atMs, endMs, s.state, s.brief, s.detail, s.fill};
  }

  [[nodiscard]] std::vector<Band> Finish(std::int64_t endMs) const {
    std::vector<Band> bands;
    for (std::size_t i = 0; i < starts.size(); ++i) {
      const std::int64_t toMs = i + 1 < starts.size() ? starts[i + 1].atMs : endMs;
      if (toMs <= starts[i].atMs) continue;
      const State& s = starts[i].state;
      bands.push_back({starts[i].atMs, toMs, s.state, s.brief, s.detail, s.fill});
    }
    return bands;
  }
};

std::string Hex(std::uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
  return text;
}

// The words of the bits set in `value`, joined by ", ", and the bits no
// name covers in hexadecimal.
std::string BitWords(std::uint32_t value, std::span<const NamedBit> names) {
  std::string words;
  for (const NamedBit& name : names) {
    if ((value & name.bit) == 0) continue;
    words += std::string(words.empty() ? "" : ", ") + name.words;
    value &= ~name.bit;
  }
  if (value != 0) words += (words.empty() ? "" : ", ") + Hex(value, 1);
  return words;
}

bool Has(std::uint32_t value, std::string_view scenarioName, std::span<const NamedBit> names) {
  for (const NamedBit& name : names) {
    if (scenarioName == name.scenarioName) return (value & name.bit) != 0;
  }
  return false;
}

State Plain(std::string state, const char* fill) { return {state, state, "", fill}; }

State PluggedState(bool plugged) { return plugged ? Plain("plugged in", kBlue) : Plain("unplugged", kGrey); }

State PrinterStatusState(std::uint32_t byte) {
  const auto has = [byte](std::string_view name) { return Has(byte, name, kPrinterStatusBits); };
  std::string words = BitWords(byte, kPrinterStatusBits);
  if (!has("paper")) words = "no paper" + std::string(words.empty() ? "" : ", ") + words;
  const char* fill = has("cover-open") ? kRed : !has("paper") ? kOrange : has("attention") ? kYellow : kGreen;
  return {Hex(byte, 2) + " " + words, Hex(byte, 2), "", fill};
}

State QueueRunningState(bool paused) { return paused ? Plain("paused", kRed) : Plain("running", kGreen); }

State QueueStatusState(std::uint32_t status) {
  if (status == 0) return {"none", "none", "0x0", kGrey};
  const auto has = [status](std::string_view name) { return Has(status, name, kQueueStatusBits); };
  const char* fill = has("offline")             ? kDarkGrey
                     : has("door-open")         ? kRed
                     : has("paper-out")         ? kOrange
                     : has("user-intervention") ? kYellow
                                                : kPurple;
  return {BitWords(status, kQueueStatusBits), Hex(status, 1), Hex(status, 1), fill};
}

State SpoolerState(std::string_view name) {
  if (name == "stopping") return Plain("stopping", kOrange);
  if (name == "stopped") return Plain("stopped", kRed);
  if (name == "starting") return Plain("starting", kYellow);
  return Plain("running", kGreen);
}

State SpoolerStateOf(std::uint32_t state) {
  switch (state) {
    case SERVICE_STOPPED:
      return SpoolerState("stopped");
    case SERVICE_STOP_PENDING:
      return SpoolerState("stopping");
    case SERVICE_START_PENDING:
      return SpoolerState("starting");
    default:
      return SpoolerState("running");
  }
}

// The service's state from the state word of its status report.
std::optional<State> ReportedServiceState(std::string_view reported) {
  if (reported == "RUNNING") return Plain("running", kGreen);
  if (reported == "START_PENDING") return Plain("start pending", kYellow);
  if (reported == "STOP_PENDING") return Plain("stop pending", kOrange);
  if (reported == "STOPPED") return Plain("stopped", kGrey);
  return std::nullopt;
}

struct DeviceLanes {
  const Step* declaration = nullptr;
  bool plugged = false;
  BandBuilder pluggedBands;
  BandBuilder statusBands;
};

struct QueueLanes {
  const Step* declaration = nullptr;
  std::int64_t declaredAtMs = 0;
  bool paused = false;
  bool deleted = false;            // by an administrator, until created again
  std::vector<std::string> ports;  // in the order the queue had them
  BandBuilder runningBands;
  BandBuilder statusBands;
  BandBuilder portBands;

  void SetPort(std::int64_t atMs, const std::string& port) {
    std::size_t rank = 0;
    while (rank < ports.size() && ports[rank] != port) ++rank;
    if (rank == ports.size()) ports.push_back(port);
    portBands.Set(atMs, Plain(port, kPortFills[rank % std::size(kPortFills)]));
  }
};

DeviceLanes* FindDevice(std::vector<DeviceLanes>& devices, std::string_view path) {
  for (DeviceLanes& device : devices) {
    if (EqualIgnoringCase(device.declaration->name, path)) return &device;
  }
  return nullptr;
}

// A usb line: "plugged PATH", "unplugged PATH", "status of PATH is 0xNN".
void ApplyDeviceLine(std::vector<DeviceLanes>& devices, const sim::TraceEntry& entry) {
  const std::string_view text = entry.text;
  for (const std::string_view prefix : {"plugged ", "unplugged "}) {
    if (!text.starts_with(prefix)) continue;
    if (DeviceLanes* device = FindDevice(devices, text.substr(prefix.size()))) {
      device->plugged = prefix == "plugged ";
      device->pluggedBands.Set(entry.time, PluggedState(device->plugged));
    }
    return;
  }
  constexpr std::string_view kStatusOf = "status of ";
  const std::size_t is = text.rfind(" is ");
  if (!text.starts_with(kStatusOf) || is == std::string_view::npos || is < kStatusOf.size()) return;
  DeviceLanes* device = FindDevice(devices, text.substr(kStatusOf.size(), is - kStatusOf.size()));
  const auto status = ParseHex(text.substr(is + 4));
  if (device != nullptr && status) device->statusBands.Set(entry.time, PrinterStatusState(*status));
}

// An scm line about the Spooler, or the service's process ending unreported.
void ApplyScmLine(BandBuilder& spooler, BandBuilder& service, const sim::TraceEntry& entry) {
  const std::string_view text = entry.text;
  if (text.starts_with("Spooler stopping")) {
    spooler.Set(entry.time, SpoolerState("stopping"));
  } else if (text == "Spooler stopped") {
    spooler.Set(entry.time, SpoolerState("stopped"));
  } else if (text.starts_with("Spooler starting")) {
    spooler.Set(entry.time, SpoolerState("starting"));
  } else if (text == "Spooler started") {
    spooler.Set(entry.time, SpoolerState("running"));
  } else if (text == "service ended without reporting STOPPED") {
    service.Set(entry.time, *ReportedServiceState("STOPPED"));
  }
}

// A service line: "status RUNNING (accepts ...)".
void ApplyServiceLine(BandBuilder& service, const sim::TraceEntry& entry) {
  std::string_view text = entry.text;
  if (!text.starts_with("status ")) return;
  text.remove_prefix(7);
  if (const auto state = ReportedServiceState(text.substr(0, text.find(' ')))) service.Set(entry.time, *state);
}

void ApplyCommand(std::vector<QueueLanes>& queues, const sim::SpoolerCommand& command) {
  if (!command.succeeded) return;
  for (QueueLanes& queue : queues) {
    if (!EqualIgnoringCase(queue.declaration->name, Narrow(command.queue)) || command.time < queue.declaredAtMs) {
      continue;
    }
    switch (command.kind) {
      case sim::SpoolerCommand::Kind::Pause:
      case sim::SpoolerCommand::Kind::Resume:
        queue.paused = command.kind == sim::SpoolerCommand::Kind::Pause;
        queue.runningBands.Set(command.time, QueueRunningState(queue.paused));
        break;
      case sim::SpoolerCommand::Kind::SetStatus:
        queue.statusBands.Set(command.time, QueueStatusState(command.value));
        break;
      case sim::SpoolerCommand::Kind::SetPort:
        queue.SetPort(command.time, Narrow(command.port));
        break;
      default:
        break;
    }
    return;
  }
}

Lane StateLane(std::string kind, std::string subject, std::string label, const BandBuilder& bands, std::int64_t endMs) {
  return {std::move(kind), std::move(subject), std::move(label), bands.Finish(endMs), bands.Last(endMs), {}};
}

LegendGroup Group(std::string heading, const std::vector<State>& states) {
  LegendGroup group{std::move(heading), {}};
  for (const State& state : states) group.entries.push_back({state.state, state.fill});
  return group;
}

// The colours of the state lanes, from the states that give them.
std::vector<std::vector<LegendGroup>> Legend() {
  const auto named = [](State state, std::string words) {
    state.state = std::move(words);
    return state;
  };
  return {
      {Group("USB", {PluggedState(true), PluggedState(false)}),
       Group("status byte",
             {named(PrinterStatusState(0x20), "paper present"), named(PrinterStatusState(0x00), "no paper"),
              named(PrinterStatusState(0x24), "cover open"), named(PrinterStatusState(0x30), "needs attention")})},
      {Group("queue", {QueueRunningState(false), QueueRunningState(true)}),
       Group("status", {QueueStatusState(0), QueueStatusState(0x10), QueueStatusState(0x400000),
                        QueueStatusState(0x100000), QueueStatusState(0x80)})},
      {Group("Spooler",
             {SpoolerState("running"), SpoolerState("stopping"), SpoolerState("stopped"), SpoolerState("starting")}),
       Group("service", {*ReportedServiceState("RUNNING"), *ReportedServiceState("START_PENDING"),
                         *ReportedServiceState("STOP_PENDING"), *ReportedServiceState("STOPPED")})},
  };
}

}  // namespace

std::string DeviceLabel(const Step& declaration) {
  if (!declaration.shortName.empty()) return declaration.shortName;
  // \\?\USB#VID_xxxx&PID_xxxx#INSTANCE#{class}
  const std::string& path = declaration.name;
  const std::size_t first = path.find('#');
  const std::size_t second = first == std::string::npos ? first : path.find('#', first + 1);
  const std::size_t third = second == std::string::npos ? second : path.find('#', second + 1);
  if (third == std::string::npos || third == second + 1) return path;
  return path.substr(second + 1, third - second - 1);
}

namespace {

constexpr std::string_view kMessageTable = kEventMessageTable;

// An event's type as the event viewer names it, and its mark's colour.
std::pair<std::string, const char*> EventType(WORD type) {
  switch (type) {
    case EVENTLOG_ERROR_TYPE:
      return {"error", kRed};
    case EVENTLOG_WARNING_TYPE:
      return {"warning", kOrange};
    case EVENTLOG_INFORMATION_TYPE:
      return {"information", kBlue};
    case EVENTLOG_AUDIT_SUCCESS:
      return {"audit success", kGreen};
    case EVENTLOG_AUDIT_FAILURE:
      return {"audit failure", kPurple};
    default:
      return {"type " + std::to_string(type), kDarkGrey};
  }
}

}  // namespace

std::string EventMessage(const sim::EventLogEntry& entry) {
  const std::string id = "\nMessageId=" + std::to_string(entry.ShownId()) + "\n";
  std::size_t at = kMessageTable.find(id);
  if (at != std::string_view::npos) at = kMessageTable.find("\nLanguage=", at + 1);
  if (at != std::string_view::npos) at = kMessageTable.find('\n', at + 1);
  std::string message;
  if (at == std::string_view::npos) {
    message = "(no message " + std::to_string(entry.ShownId()) + " in the message table)";
    for (const std::wstring& insert : entry.inserts) message += " \"" + Narrow(insert) + "\"";
    return message;
  }
  // The message runs to a line holding only ".".
  const std::size_t end = kMessageTable.find("\n.\n", at);
  std::string_view text = kMessageTable.substr(at + 1, end == std::string_view::npos ? 0 : end - at - 1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') {
      message += ' ';
    } else if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
      const auto n = static_cast<std::size_t>(text[++i] - '1');
      message += n < entry.inserts.size() ? Narrow(entry.inserts[n]) : "%" + std::to_string(n + 1);
    } else {
      message += text[i];
    }
  }
  return message;
}

struct PictureBuilder::Impl {
  std::vector<DeviceLanes> devices;
  std::vector<QueueLanes> queues;
  BandBuilder spooler;
  BandBuilder service;
  std::vector<Mark> steps;
  std::vector<Mark> failed;
  std::vector<Mark> events;
  std::vector<Mark> restarts;
  int checks = 0;
  int failedChecks = 0;
  // The Spooler restart under way: when it began to stop.
  std::optional<std::int64_t> stoppingSince;

  static void AddToMark(std::vector<Mark>& marks, const PlayedStep& played) {
    const bool check = played.step->IsCheck();
    if (marks.empty() || marks.back().atMs != played.atMs) marks.push_back({played.atMs, {}, false, "", "", "", ""});
    marks.back().hasEvents = marks.back().hasEvents || !check;
    marks.back().lines.push_back(check ? TimelineLine(played.atMs, "check", CheckText(played.step->text, played.found))
                                       : TimelineLine(played.atMs, "step", played.step->text));
  }

  QueueLanes* FindQueue(std::string_view name) {
    for (QueueLanes& queue : queues) {
      if (EqualIgnoringCase(queue.declaration->name, name)) return &queue;
    }
    return nullptr;
  }

  void SpoolerLine(const sim::TraceEntry& entry) {
    const std::string_view text = entry.text;
    // A Spooler that takes no time to stop reports only that it stopped.
    if (text.starts_with("Spooler stopping") || text == "Spooler stopped") {
      if (!stoppingSince) stoppingSince = entry.time;
    } else if (text == "Spooler started" && stoppingSince) {
      const std::string number = std::to_string(restarts.size() + 1);
      restarts.push_back({*stoppingSince,
                          {"Spooler restart " + number + ": stopping at " + TrimmedTime(*stoppingSince) +
                           ", running again at " + TrimmedTime(entry.time)},
                          true,
                          "restart " + number,
                          kEventMarkFill,
                          "",
                          ""});
      stoppingSince.reset();
    }
  }

  static std::string TrimmedTime(std::int64_t ms) {
    const std::string time = FormatTime(ms);
    return time.substr(time.find_first_not_of(' ')) + " s";
  }

  static constexpr char kEventMarkFill[] = "#37474f";
};

PictureBuilder::PictureBuilder(std::uint32_t spoolerAtStart) : impl_(std::make_unique<Impl>()) {
  impl_->spooler.Set(0, SpoolerStateOf(spoolerAtStart));
  impl_->service.Set(0, *ReportedServiceState("STOPPED"));
}

PictureBuilder::~PictureBuilder() = default;

void PictureBuilder::Played(const PlayedStep& played) {
  Impl& p = *impl_;
  const Step& step = *played.step;
  if (step.IsCheck()) {
    ++p.checks;
    p.failedChecks += played.found ? 1 : 0;
  }
  Impl::AddToMark(p.steps, played);
  if (played.found) Impl::AddToMark(p.failed, played);
  if (step.kind == Step::Kind::Device && FindDevice(p.devices, step.name) == nullptr) {
    DeviceLanes& device = p.devices.emplace_back();
    device.declaration = &step;
    device.pluggedBands.Set(played.atMs, PluggedState(false));
    device.statusBands.Set(played.atMs, PrinterStatusState(step.status.value_or(kNewDeviceStatus)));
  }
  const bool creates = step.kind == Step::Kind::Queue || step.kind == Step::Kind::QueueCreate;
  QueueLanes* queue = p.FindQueue(step.name);
  if (creates && queue == nullptr) {
    queue = &p.queues.emplace_back();
    queue->declaration = &step;
    queue->declaredAtMs = played.atMs;
  } else if (creates && queue->deleted) {
    queue->deleted = false;
  } else if (step.kind == Step::Kind::Queue && queue != nullptr) {
    // An administrator moves the queue to another port.
    queue->SetPort(played.atMs, *step.port);
    return;
  } else if (step.kind == Step::Kind::QueueDelete && queue != nullptr) {
    queue->deleted = true;
    queue->runningBands.Set(played.atMs, Plain("deleted", kGrey));
    queue->statusBands.Set(played.atMs, Plain("deleted", kGrey));
    queue->portBands.Set(played.atMs, Plain("deleted", kGrey));
    return;
  } else {
    return;
  }
  // A new queue, or one created again: running, no status, on its port.
  queue->paused = false;
  queue->runningBands.Set(played.atMs, QueueRunningState(false));
  queue->statusBands.Set(played.atMs, QueueStatusState(0));
  queue->SetPort(played.atMs, *step.port);
}

void PictureBuilder::Traced(const sim::TraceEntry& entry) {
  Impl& p = *impl_;
  if (entry.channel == sim::TraceEntry::Channel::Device) ApplyDeviceLine(p.devices, entry);
  if (entry.channel == sim::TraceEntry::Channel::Scm) {
    ApplyScmLine(p.spooler, p.service, entry);
    p.SpoolerLine(entry);
    // "the status of NAME (0x80) went with the Spooler; ...": a restart that
    // forgets the queues' status.
    constexpr std::string_view kStatusOf = "the status of ";
    const std::string_view text = entry.text;
    if (const std::size_t open = text.find(" ("); text.starts_with(kStatusOf) && open != std::string_view::npos) {
      if (QueueLanes* queue = p.FindQueue(text.substr(kStatusOf.size(), open - kStatusOf.size()))) {
        queue->statusBands.Set(entry.time, QueueStatusState(0));
      }
    }
  }
  if (entry.channel == sim::TraceEntry::Channel::Service) ApplyServiceLine(p.service, entry);
}

void PictureBuilder::Commanded(const sim::SpoolerCommand& command) { ApplyCommand(impl_->queues, command); }

void PictureBuilder::Logged(const sim::EventLogEntry& entry) {
  const auto [typeName, fill] = EventType(entry.type);
  const std::string id = std::to_string(entry.ShownId());
  Mark mark{entry.time, {TimelineLine(entry.time, "event", typeName + " " + id + ": " + EventMessage(entry))},
            true,       id,
            fill,       id,
            typeName};
  impl_->events.push_back(std::move(mark));
}

Picture PictureBuilder::Finish(const std::string& fileName, std::optional<std::uint64_t> seed,
                               std::int64_t endMs) const {
  const Impl& p = *impl_;
  std::string title = fileName;
  if (seed) title += " (seed " + std::to_string(*seed) + ")";
  const std::string time = FormatTime(endMs);
  title += ": " + time.substr(time.find_first_not_of(' ')) + " s of virtual time, ";
  if (p.failedChecks == 0) {
    title += std::to_string(p.checks) + (p.checks == 1 ? " check, held" : " checks, all held");
  } else {
    title += std::to_string(p.failedChecks) + " of " + std::to_string(p.checks) + " checks failed";
  }

  Picture picture{title, endMs, 0, std::nullopt, {}, Legend()};
  std::vector<std::string> labels;
  for (const DeviceLanes& device : p.devices) labels.push_back(DeviceLabel(*device.declaration));
  for (std::size_t i = 0; i < p.devices.size(); ++i) {
    // Two devices with the same instance part are told apart by their paths.
    const bool unique = std::count(labels.begin(), labels.end(), labels[i]) == 1;
    const std::string& label = unique ? labels[i] : p.devices[i].declaration->name;
    const std::string& path = p.devices[i].declaration->name;
    picture.lanes.push_back(StateLane("device-plugged", path, label + " USB", p.devices[i].pluggedBands, endMs));
    picture.lanes.push_back(StateLane("device-status", path, label + " status byte", p.devices[i].statusBands, endMs));
  }
  for (const QueueLanes& queue : p.queues) {
    const std::string& name = queue.declaration->name;
    picture.lanes.push_back(StateLane("queue-state", name, "queue " + name, queue.runningBands, endMs));
    picture.lanes.push_back(StateLane("queue-status", name, "queue " + name + " status", queue.statusBands, endMs));
    picture.lanes.push_back(StateLane("queue-port", name, "queue " + name + " port", queue.portBands, endMs));
  }
  Lane spoolerLane = StateLane("spooler", "", "Spooler", p.spooler, endMs);
  spoolerLane.marks = p.restarts;
  picture.lanes.push_back(std::move(spoolerLane));
  picture.lanes.push_back(StateLane("service", "", "service", p.service, endMs));
  picture.lanes.push_back({"event-log", "", "Event Log", {}, std::nullopt, p.events});
  picture.lanes.push_back({"steps", "", "steps", {}, std::nullopt, p.steps});
  picture.lanes.push_back({"failed-checks", "", "failed checks", {}, std::nullopt, p.failed});
  return picture;
}

Picture BuildPicture(const RunRecord& record) {
  PictureBuilder builder(record.spoolerAtStart);
  for (const PlayedStep& played : record.steps) builder.Played(played);
  for (const sim::TraceEntry& entry : record.trace) builder.Traced(entry);
  for (const sim::SpoolerCommand& command : record.journal) builder.Commanded(command);
  for (const sim::EventLogEntry& entry : record.events) builder.Logged(entry);
  return builder.Finish(record.fileName, record.seed, record.endMs);
}

}  // namespace simrunner
