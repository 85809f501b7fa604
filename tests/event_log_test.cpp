// The service's event log entries: the message file compiled into the exe,
// the ids the code reports and the administrator's guide's table agree, and
// reports reach the event log with their type, id and inserts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/event_log.h"
#include "service/device_events.h"
#include "spooler/port_binding.h"
#include "tests/guide_reader.h"
#include "tests/sim_fixture.h"

namespace {

// One message of the .mc file, as the message compiler reads it.
struct McMessage {
  int line = 0;
  DWORD id = 0;
  std::string severity;
  std::string symbol;
  std::string text;
};

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The messages of the file, in order. A message starts at MessageId=, takes
// Severity= and SymbolicName=, and its text runs from the line after
// Language= to a line holding only ".". Severity carries over to the next
// message when left out, as the message compiler does.
std::vector<McMessage> ReadMessageFile(const std::string& path) {
  std::ifstream in(path);
  std::vector<McMessage> messages;
  std::string line;
  std::string severity = "Success";
  bool inText = false;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (inText) {
      if (Trim(line) == ".") {
        inText = false;
      } else {
        messages.back().text += line + "\n";
      }
      continue;
    }
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == ';') continue;
    const auto equals = trimmed.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = Trim(trimmed.substr(0, equals));
    const std::string value = Trim(trimmed.substr(equals + 1));
    if (key == "MessageId") {
      messages.push_back({number, static_cast<DWORD>(std::stoul(value, nullptr, 0)), severity, {}, {}});
    } else if (key == "Severity" && !messages.empty()) {
      severity = messages.back().severity = value;
    } else if (key == "SymbolicName" && !messages.empty()) {
      messages.back().symbol = value;
    } else if (key == "Language" && !messages.empty()) {
      inText = true;
    }
  }
  return messages;
}

// The insert numbers a message text uses (%1 to %99); "%%" is a percent sign.
std::set<int> InsertsUsed(const std::string& text) {
  std::set<int> used;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (text[i + 1] == '%') {
      ++i;
      continue;
    }
    int value = 0;
    std::size_t digits = 0;
    while (i + 1 + digits < text.size() && digits < 2 &&
           std::isdigit(static_cast<unsigned char>(text[i + 1 + digits]))) {
      value = value * 10 + (text[i + 1 + digits] - '0');
      ++digits;
    }
    if (digits > 0) used.insert(value);
  }
  return used;
}

WORD TypeOfSeverity(const std::string& severity) {
  if (severity == "Informational") return EVENTLOG_INFORMATION_TYPE;
  if (severity == "Warning") return EVENTLOG_WARNING_TYPE;
  if (severity == "Error") return EVENTLOG_ERROR_TYPE;
  return 0xFFFF;
}

const std::string kMessageFile = SPOOLSYNC_SOURCE_DIR "/windows/messages.mc";

TEST(EventMessages, TheMessageFileAndTheServiceAgreeOnEveryEntry) {
  const std::vector<McMessage> messages = ReadMessageFile(kMessageFile);
  ASSERT_FALSE(messages.empty()) << "no messages read from " << kMessageFile;
  std::map<DWORD, const McMessage*> byId;
  std::set<std::string> symbols;
  for (const McMessage& message : messages) {
    EXPECT_TRUE(byId.emplace(message.id, &message).second) << "MessageId " << message.id << " twice";
    EXPECT_FALSE(message.symbol.empty()) << "MessageId " << message.id << " has no SymbolicName";
    EXPECT_TRUE(symbols.insert(message.symbol).second) << message.symbol << " twice";
  }
  EXPECT_EQ(messages.size(), std::size(kServiceEvents)) << "the message file and ServiceEvent differ in entries";
  for (const ServiceEventDefinition& event : kServiceEvents) {
    const auto id = static_cast<DWORD>(event.id);
    SCOPED_TRACE("entry " + std::to_string(id));
    const auto found = byId.find(id);
    ASSERT_NE(found, byId.end()) << "not in " << kMessageFile;
    const McMessage& message = *found->second;
    EXPECT_EQ(TypeOfSeverity(message.severity), event.type) << "Severity=" << message.severity;
    // The message's inserts are exactly %1..%n for the n strings reported.
    std::set<int> expected;
    for (std::size_t i = 1; i <= event.inserts; ++i) expected.insert(static_cast<int>(i));
    EXPECT_EQ(InsertsUsed(message.text), expected) << message.text;
    EXPECT_GT(message.text.size(), 20u) << "a sentence, not a stub";
    // The id reported carries the severity in its top bits, as the compiler
    // numbers the entry.
    EXPECT_EQ(MessageIdOf(event.id) & 0xFFFFu, id);
    EXPECT_EQ(MessageIdOf(event.id) >> 30, event.type == EVENTLOG_ERROR_TYPE     ? 3u
                                           : event.type == EVENTLOG_WARNING_TYPE ? 2u
                                                                                 : 1u);
  }
}

// The reader above must see what the message compiler sees: checked on a
// text with the cases it meets.
TEST(EventMessages, TheMessageReaderFollowsTheCompilersRules) {
  const std::string path = testing::TempDir() + "/reader_check.mc";
  {
    std::ofstream out(path);
    out << "; // a comment with MessageId=999\n"
           "MessageIdTypedef=DWORD\n"
           "MessageId=7\nSeverity=Warning\nSymbolicName=A\nLanguage=English\n"
           "Line %1 and %2, 100%% sure.\nSecond line %12.\n.\n"
           "MessageId=0x10\nSymbolicName=B\nLanguage=English\nNo inserts.\n.\n";
  }
  const std::vector<McMessage> messages = ReadMessageFile(path);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0].id, 7u);
  EXPECT_EQ(messages[0].symbol, "A");
  EXPECT_EQ(InsertsUsed(messages[0].text), (std::set<int>{1, 2, 12}));
  EXPECT_EQ(messages[1].id, 16u);
  EXPECT_EQ(messages[1].severity, "Warning");  // carried over
  EXPECT_TRUE(InsertsUsed(messages[1].text).empty());
}

const char* LevelOfType(WORD type) {
  switch (type) {
    case EVENTLOG_INFORMATION_TYPE:
      return "Information";
    case EVENTLOG_WARNING_TYPE:
      return "Warning";
    case EVENTLOG_ERROR_TYPE:
      return "Error";
    default:
      return "(no level)";
  }
}

// The guide quotes each message with its inserts in brackets ("port [port]")
// and may cut it off with "..."; the pattern matches the texts it quotes.
std::regex PatternOfQuotedText(const std::string& quoted) {
  std::string text = quoted;
  bool cut = false;
  if (text.size() >= 3 && text.compare(text.size() - 3, 3, "...") == 0) {
    text.resize(text.size() - 3);
    cut = true;
  }
  std::string pattern;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::size_t close = text[i] == '[' ? text.find(']', i) : std::string::npos;
    if (close != std::string::npos) {
      pattern += "%[0-9]+";
      i = close;
    } else if (std::string_view("\\^$.|?*+()[]{}").find(text[i]) != std::string_view::npos) {
      pattern += std::string("\\") + text[i];
    } else {
      pattern += text[i];
    }
  }
  return std::regex(cut ? pattern + ".*" : pattern);
}

// The message as the event viewer shows it, its lines joined.
std::string OneLine(const std::string& text) {
  std::string line = text;
  std::replace(line.begin(), line.end(), '\n', ' ');
  return Trim(line);
}

// The guide's table of entries names each entry of the message file once,
// with the level the service reports it with and a text the entry has. A
// message changed in windows/messages.mc fails here until the guide quotes
// it as it is.
TEST(EventMessages, TheGuidesTableQuotesEveryEntryWithItsLevel) {
  std::map<DWORD, const McMessage*> messages;
  const std::vector<McMessage> read = ReadMessageFile(kMessageFile);
  for (const McMessage& message : read) messages.emplace(message.id, &message);
  const std::vector<GuideTableRow> rows = GuideTableUnder(kGuideFile, "## The event log entries");
  ASSERT_FALSE(rows.empty()) << kGuideFile << " has no table under \"## The event log entries\"";
  std::set<DWORD> listed;
  for (const GuideTableRow& row : rows) {
    const std::string where = "docs/administrator-guide.md:" + std::to_string(row.line);
    ASSERT_GE(row.cells.size(), 3u) << where << ": a row needs its id, level and text";
    const DWORD id = static_cast<DWORD>(std::stoul(row.cells[0]));
    EXPECT_TRUE(listed.insert(id).second) << where << ": entry " << id << " a second time";
    const auto event = std::find_if(std::begin(kServiceEvents), std::end(kServiceEvents),
                                    [id](const ServiceEventDefinition& e) { return static_cast<DWORD>(e.id) == id; });
    if (event == std::end(kServiceEvents)) {
      ADD_FAILURE() << where << ": entry " << id << " is not in ServiceEvent (common/event_log.h)";
    } else {
      EXPECT_EQ(row.cells[1], LevelOfType(event->type)) << where << ": the level of entry " << id;
    }
    const auto message = messages.find(id);
    if (message == messages.end()) {
      ADD_FAILURE() << where << ": entry " << id << " is not in " << kMessageFile;
      continue;
    }
    EXPECT_TRUE(std::regex_match(OneLine(message->second->text), PatternOfQuotedText(row.cells[2])))
        << where << ": the text of entry " << id << " is not the message's\n  guide:   " << row.cells[2]
        << "\n  message: " << OneLine(message->second->text);
  }
  for (const ServiceEventDefinition& event : kServiceEvents) {
    EXPECT_EQ(listed.count(static_cast<DWORD>(event.id)), 1u)
        << "entry " << static_cast<DWORD>(event.id) << " of ServiceEvent is not in the guide's table";
  }
}

TEST(EventMessages, TheGuidesQuotesMatchOnlyTheTextTheyQuote) {
  struct Row {
    const char* quoted;
    const char* message;
    bool matches;
  };
  const Row rows[] = {
      {"Moved from [old] to [new].", "Moved from %1 to %2.", true},
      {"Moved from [old] to [new].", "Moved from %1 to %2. More.", false},
      {"Moved from [old] to [new]. ...", "Moved from %1 to %2. More.", true},
      {"Moved from [old] (a.k.a. x) ...", "Moved from %1 (a.k.a. x) then", true},
      {"Moved from [old] (a.k.a. x) ...", "Moved from %1 (aXk.a. x) then", false},
      {"Moved to port [port].", "Moved to port USB001.", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(std::regex_match(std::string(row.message), PatternOfQuotedText(row.quoted)), row.matches)
        << row.quoted << " against " << row.message;
  }
}

// The waits the entries' rows tell the administrator about are the code's.
TEST(EventMessages, TheGuidesTableGivesTheWaitsTheCodeUses) {
  struct Row {
    const char* id;
    std::string says;
  };
  const Row rows[] = {
      {"202", "than the service waits (" + std::to_string(kSpoolerStopTimeoutMs / 1000) + " s)"},
      {"203", "within " + std::to_string(kArrivalRecheckWindowMs / 1000) + " s"},
      {"301", std::to_string(kPortWriteAttempts) + " attempts"},
  };
  static_assert(kSpoolerStopTimeoutMs % 1000 == 0 && kArrivalRecheckWindowMs % 1000 == 0,
                "the guide gives these waits in whole seconds");
  const std::vector<GuideTableRow> table = GuideTableUnder(kGuideFile, "## The event log entries");
  for (const Row& row : rows) {
    const auto found = std::find_if(table.begin(), table.end(), [&row](const GuideTableRow& r) {
      return !r.cells.empty() && r.cells[0] == row.id;
    });
    ASSERT_NE(found, table.end()) << "no row for entry " << row.id;
    std::string rest;
    for (std::size_t i = 3; i < found->cells.size(); ++i) rest += found->cells[i] + " ";
    EXPECT_NE(rest.find(row.says), std::string::npos)
        << "docs/administrator-guide.md:" << found->line << ": the row of entry " << row.id << " should say \""
        << row.says << "\"";
  }
}

class EventLog : public SimTest {
 protected:
  ~EventLog() override { CloseServiceEventLog(); }

  // Runs `body` in a process of its own, as the service's calls are made.
  void InProcess(const std::function<void()>& body) {
    machine.RunConsoleProcess([&body] {
      body();
      return 0;
    });
  }
};

TEST_F(EventLog, EachEntryIsWrittenWithItsTypeIdAndInserts) {
  InProcess([] {
    OpenServiceEventLog();
    EXPECT_TRUE(ReportServiceEvent<ServiceEvent::QueueRebound>(L"USB001", std::wstring(L"USB002"), L"Restarted."));
    EXPECT_TRUE(ReportServiceEvent<ServiceEvent::SpoolerStartOwed>());
    EXPECT_TRUE(ReportServiceEvent<ServiceEvent::RebindFailed>(L"USB002", std::to_wstring(1796), Win32ErrorText(1796)));
    CloseServiceEventLog();
  });
  const auto& log = machine.EventLog();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[0].source, L"spoolsync");
  EXPECT_EQ(log[0].type, EVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(log[0].eventId, 0x40000078u);
  EXPECT_EQ(log[0].ShownId(), 120u);
  EXPECT_EQ(log[0].inserts, (std::vector<std::wstring>{L"USB001", L"USB002", L"Restarted."}));
  EXPECT_TRUE(log[0].sourceRegistered);
  EXPECT_EQ(log[1].type, EVENTLOG_WARNING_TYPE);
  EXPECT_EQ(log[1].ShownId(), 202u);
  EXPECT_TRUE(log[1].inserts.empty());
  EXPECT_EQ(log[2].type, EVENTLOG_ERROR_TYPE);
  EXPECT_EQ(log[2].eventId, 0xC000012Cu);
  EXPECT_EQ(log[2].inserts, (std::vector<std::wstring>{L"USB002", L"1796", L"The specified port is unknown."}));
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(EventLog, NothingIsWrittenWithoutAnOpenSource) {
  InProcess([] {
    EXPECT_FALSE(ReportServiceEvent<ServiceEvent::ServiceStarted>(L"USB001"));
    OpenServiceEventLog();
    CloseServiceEventLog();
    EXPECT_FALSE(ReportServiceEvent<ServiceEvent::ServiceStopped>(L"a stop"));
    CloseServiceEventLog();  // closing again is harmless
  });
  EXPECT_TRUE(machine.EventLog().empty());
  EXPECT_EQ(machine.CallCounts().count("ReportEventW"), 0u);
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

// The source stays open until closed, and is one handle however often the
// service reports: a leak check sees a source left open.
TEST_F(EventLog, AnOpenSourceIsOneHandleUntilClosed) {
  static sim::HandleCounts whileOpen;
  static sim::HandleCounts afterClose;
  static sim::Machine* onMachine;
  onMachine = &machine;
  InProcess([] {
    OpenServiceEventLog();
    for (int i = 0; i < 3; ++i) ReportServiceEvent<ServiceEvent::PrinterBack>(L"path");
    whileOpen = onMachine->OpenHandles();
    CloseServiceEventLog();
    afterClose = onMachine->OpenHandles();
  });
  EXPECT_EQ(whileOpen, (sim::HandleCounts{{{"event-source", 1}}}));
  EXPECT_EQ(machine.EventLog().size(), 3u);
  EXPECT_EQ(afterClose.Total(), 0);
  // Nothing was left for the system to close when the process ended.
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

// A source an installer did not register still writes its entries, as on
// Windows, but the event viewer could not show their messages: the entry
// and its timeline line say so.
TEST_F(EventLog, AnUnregisteredSourceStillWritesButIsFlagged) {
  machine.DeleteRegistryKey(sim::Machine::EventLogSourceKeyPath(kEventSourceName));
  InProcess([] {
    OpenServiceEventLog();
    EXPECT_TRUE(ReportServiceEvent<ServiceEvent::ServiceStarted>(L"USB001"));
    CloseServiceEventLog();
  });
  ASSERT_EQ(machine.EventLog().size(), 1u);
  EXPECT_FALSE(machine.EventLog()[0].sourceRegistered);
  const auto line = std::find_if(machine.Trace().begin(), machine.Trace().end(), [](const sim::TraceEntry& entry) {
    return entry.channel == sim::TraceEntry::Channel::Event;
  });
  ASSERT_NE(line, machine.Trace().end());
  EXPECT_EQ(line->text,
            "information 100 \"USB001\"  [source spoolsync is not registered: no EventMessageFile under "
            "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\spoolsync]");
}

DWORD WINAPI ReportTwenty(LPVOID) {
  for (int i = 0; i < 20; ++i) ReportServiceEvent<ServiceEvent::PrinterBack>(L"path");
  return 0;
}

// The monitor thread may report while the stop closes the source (when it
// outlives the stop's bound). Under seeded schedules, where every Win32 call
// lets the other thread run, no report reaches the source after it was
// closed: every ReportEventW made is an entry written.
TEST_F(EventLog, AReportRacingTheCloseNeverUsesAClosedSource) {
  std::size_t written = 0;
  for (std::uint64_t seed = 1; seed <= 40; ++seed) {
    machine.SetScheduleSeed(seed);
    machine.ResetCallCounts();
    const std::size_t before = machine.EventLog().size();
    InProcess([] {
      OpenServiceEventLog();
      const HANDLE reporter = CreateThread(nullptr, 0, ReportTwenty, nullptr, 0, nullptr);
      ReportServiceEvent<ServiceEvent::PrinterUnplugged>(L"path");
      CloseServiceEventLog();
      WaitForSingleObject(reporter, INFINITE);
      CloseHandle(reporter);
    });
    const auto calls = machine.CallCounts();
    const std::size_t entries = machine.EventLog().size() - before;
    EXPECT_EQ(calls.contains("ReportEventW") ? calls.at("ReportEventW") : 0, entries) << "seed " << seed;
    written += entries;
    EXPECT_EQ(machine.OpenHandles().Total(), 0) << "seed " << seed;
  }
  // The schedules differ: some reports came before the close, some after.
  EXPECT_GT(written, 40u);
  EXPECT_LT(written, 40u * 21u);
}

TEST_F(EventLog, ErrorTextsComeWithoutTheirLineBreakOrSaySoWhenThereIsNone) {
  InProcess([] {
    const struct {
      DWORD error;
      std::wstring text;
    } rows[] = {
        {ERROR_INVALID_PRINTER_NAME, L"The printer name is invalid."},
        {ERROR_DEPENDENT_SERVICES_RUNNING,
         L"A stop control has been sent to a service that other running services are dependent on."},
        {RPC_S_SERVER_UNAVAILABLE, L"The RPC server is unavailable."},
        {0, L"The operation completed successfully."},
        {0xE0000001u, L"Windows has no text for this error code."},
    };
    for (const auto& row : rows) EXPECT_EQ(Win32ErrorText(row.error), row.text) << row.error;
  });
}

// ---- The entries the running service writes at its start and stop.

class ServiceEvents : public SimTest {
 protected:
  // The entries so far, as "id insert|insert".
  std::vector<std::string> Entries() const {
    std::vector<std::string> entries;
    for (const sim::EventLogEntry& entry : machine.EventLog()) {
      std::string text = std::to_string(entry.ShownId());
      for (std::size_t i = 0; i < entry.inserts.size(); ++i) {
        text += (i == 0 ? " " : "|") + std::string(entry.inserts[i].begin(), entry.inserts[i].end());
      }
      entries.push_back(text);
    }
    return entries;
  }
};

TEST_F(ServiceEvents, TheStartSaysWhereTheQueueIsOrWhyItCannotBeRead) {
  const struct {
    const char* name;
    std::optional<std::wstring> queuePort;  // no queue without
    bool spoolerRunning;
    std::vector<std::string> entries;
  } rows[] = {
      {"queue on its port", L"USB001", true, {"100 USB001"}},
      {"queue bound to no port", L"", true, {"100 (none: the queue is bound to no port)"}},
      {"no queue",
       std::nullopt,
       true,
       {"200 1801|The printer name is invalid.", "100 (unknown: the queue could not be read, error 1801)"}},
      {"Spooler stopped",
       L"USB001",
       false,
       {"200 1722|The RPC server is unavailable.", "100 (unknown: the queue could not be read, error 1722)"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    sim::Machine& m = machine;
    m.DeleteQueue(kQueue);
    if (row.queuePort) m.AddQueue(kQueue, *row.queuePort);
    if (!row.spoolerRunning) m.StopSpooler();
    const std::size_t before = m.EventLog().size();
    StartService();
    machine.Advance(2000);
    std::vector<std::string> entries = Entries();
    entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_EQ(entries, row.entries);
    StopService();
    if (!row.spoolerRunning) m.StartSpooler();
  }
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST_F(ServiceEvents, TheStopSaysWhyRightBeforeStoppedIsReported) {
  AddPrinterSetup();
  machine.Plug(kPrinterPath);
  for (const DWORD control : {DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_SHUTDOWN}}) {
    StartService();
    machine.Advance(1000);
    ASSERT_EQ(machine.SendControl(control), 0u);
    machine.RunUntilIdle();
  }
  EXPECT_EQ(Entries(),
            (std::vector<std::string>{"100 USB001", "101 a stop was requested through the service control manager",
                                      "100 USB001", "101 Windows is shutting down"}));
  // Entry 101 comes after the monitor thread ended and before STOPPED.
  std::vector<std::string> order;
  for (const sim::TraceEntry& entry : machine.Trace()) {
    if (entry.channel == sim::TraceEntry::Channel::Event && entry.text.starts_with("information 101")) {
      order.push_back("101");
    } else if (entry.channel == sim::TraceEntry::Channel::Service && entry.text.starts_with("status STOP")) {
      order.push_back(entry.text.substr(7, entry.text.find(' ', 7) - 7));
    }
  }
  EXPECT_EQ(order, (std::vector<std::string>{"STOP_PENDING", "101", "STOPPED", "STOP_PENDING", "101", "STOPPED"}));
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

}  // namespace

// Every move of the queue has its 120, and its last sentence says what the
// Spooler did after the port was written.
struct MoveRow {
  const char* name;
  bool dependentRuns;     // a service that depends on the Spooler: it refuses to stop
  sim::Millis stopTime;   // longer than the service waits: the start is owed
  sim::Millis startTime;  // longer than the service waits: still starting
  const char* lastSentence;
};

class MoveEntries : public ServiceEvents, public ::testing::WithParamInterface<MoveRow> {};

TEST_P(MoveEntries, SayWhatTheSpoolerDid) {
  const MoveRow row = GetParam();
  AddMovedPrinterSetup();
  if (row.dependentRuns) machine.SetSpoolerDependent("Fax", true);
  machine.SetSpoolerStopTime(row.stopTime);
  machine.SetSpoolerStartTime(row.startTime);
  StartService();
  machine.Plug(kPrinterPath);
  machine.Advance(60000);
  std::vector<std::string> moves;
  for (const std::string& entry : Entries()) {
    if (entry.rfind("120 ", 0) == 0) moves.push_back(entry);
  }
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0], std::string("120 USB001|USB002|") + row.lastSentence);
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB002");
}

INSTANTIATE_TEST_SUITE_P(
    Spooler, MoveEntries,
    ::testing::Values(
        MoveRow{"Restarted", false, 0, 0, "The Spooler service was restarted for the change to take effect."},
        MoveRow{"SlowToStart", false, 0, 8000, "The Spooler service was restarted for the change to take effect."},
        MoveRow{"RefusedToStop", true, 0, 0,
                "The Spooler service refused to stop (warning 201): the change takes effect when it restarts."},
        MoveRow{"StillStopping", false, 20000, 0,
                "The Spooler service was still stopping (warning 202): it is started as soon as it has stopped."}),
    [](const ::testing::TestParamInfo<MoveRow>& row) { return std::string(row.param.name); });
