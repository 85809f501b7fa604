#include "sim_runner/parser.h"

#include "sim_runner/help.h"

#include <gtest/gtest.h>

#include <tuple>

namespace simrunner {
namespace {

constexpr char kPath[] = R"(\\?\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed})";

Step ParseOk(std::string_view line) {
  std::string error;
  const auto step = ParseLine(line, 7, error);
  EXPECT_TRUE(step.has_value()) << line << ": " << error;
  return step.value_or(Step{});
}

std::string ParseError(std::string_view line) {
  std::string error;
  const auto step = ParseLine(line, 1, error);
  EXPECT_FALSE(step.has_value()) << line;
  return error;
}

TEST(Durations, MillisecondsAndSeconds) {
  EXPECT_EQ(ParseDuration("800ms"), 800);
  EXPECT_EQ(ParseDuration("2s"), 2000);
  EXPECT_EQ(ParseDuration("0ms"), 0);
  EXPECT_EQ(ParseDuration("1.5s"), std::nullopt);
  EXPECT_EQ(ParseDuration("800"), std::nullopt);
  EXPECT_EQ(ParseDuration("ms"), std::nullopt);
  EXPECT_EQ(ParseDuration("-1s"), std::nullopt);
  EXPECT_EQ(ParseDuration("99999999999999999999s"), std::nullopt);
}

TEST(Hex, NeedsPrefixAndDigits) {
  EXPECT_EQ(ParseHex("0x24"), 0x24u);
  EXPECT_EQ(ParseHex("0X400000"), 0x400000u);
  EXPECT_EQ(ParseHex("0xffffffff"), 0xFFFFFFFFu);
  EXPECT_EQ(ParseHex("24"), std::nullopt);
  EXPECT_EQ(ParseHex("0x"), std::nullopt);
  EXPECT_EQ(ParseHex("0x2G"), std::nullopt);
  EXPECT_EQ(ParseHex("0x100000000"), std::nullopt);
}

TEST(Status, NumbersAndBitsByName) {
  struct Row {
    const char* text;
    bool queue;  // a queue's status, else a printer's status byte
    std::optional<std::uint32_t> value;
  };
  const Row kRows[] = {
      {"0x20", false, 0x20},
      {"32", false, 0x20},
      {"0", false, 0x00},
      {"0X24", false, 0x24},
      {"paper", false, 0x20},
      {"paper+cover-open", false, 0x24},
      {"cover-open+attention+paper", false, 0x34},
      {"attention+0x20", false, 0x30},
      {"paper+paper", false, 0x20},
      {"Paper", false, std::nullopt},
      {"paper+", false, std::nullopt},
      {"+paper", false, std::nullopt},
      {"papr", false, std::nullopt},
      {"0x2G", false, std::nullopt},
      {"door-open", false, std::nullopt},
      {"door-open", true, 0x400000},
      {"offline+paper-out", true, 0x90},
      {"user-intervention", true, 0x100000},
      {"128", true, 0x80},
      {"0x400000", true, 0x400000},
      {"4294967296", true, std::nullopt},
      {"cover-open", true, std::nullopt},
  };
  for (const Row& row : kRows) {
    const auto value = row.queue ? ParseStatus(row.text, kQueueStatusBits) : ParseStatus(row.text, kPrinterStatusBits);
    EXPECT_EQ(value, row.value) << row.text << (row.queue ? " (queue)" : " (printer)");
  }
}

TEST(Tokenize, CommentsStartOnlyAtAWord) {
  const TokenizedLine line = Tokenize(std::string("  plug ") + kPath + "   # the printer");
  ASSERT_FALSE(line.error);
  ASSERT_EQ(line.tokens.size(), 2u);
  EXPECT_EQ(line.tokens[1].raw, kPath);
  EXPECT_EQ(line.text, std::string("plug ") + kPath);
  EXPECT_TRUE(Tokenize("# only a comment").tokens.empty());
  EXPECT_TRUE(Tokenize("   \t\r").tokens.empty());
}

TEST(Tokenize, QuotedValuesKeepBlanksAndHashes) {
  const TokenizedLine line = Tokenize(R"(device X description="My # printer" status=0x24)");
  ASSERT_FALSE(line.error);
  ASSERT_EQ(line.tokens.size(), 4u);
  EXPECT_EQ(line.tokens[2].key, "description");
  EXPECT_EQ(line.tokens[2].value, "My # printer");
  EXPECT_EQ(line.tokens[3].value, "0x24");
  EXPECT_FALSE(line.tokens[1].key);
}

TEST(Tokenize, UnterminatedQuote) {
  const TokenizedLine line = Tokenize(R"(expect log "Open Printer)");
  ASSERT_TRUE(line.error);
  EXPECT_NE(line.error->find("unterminated quote"), std::string::npos);
}

TEST(ParseLine, SetupCommands) {
  Step queue = ParseOk("queue KX310MQ47H port=USB001");
  EXPECT_EQ(queue.kind, Step::Kind::Queue);
  EXPECT_EQ(queue.name, "KX310MQ47H");
  EXPECT_EQ(queue.port, "USB001");
  EXPECT_EQ(queue.line, 7);

  Step port = ParseOk(R"(port USB002 device-id=USB\VID_0483&PID_5741\ABC123)");
  EXPECT_EQ(port.deviceId, R"(USB\VID_0483&PID_5741\ABC123)");
  EXPECT_FALSE(ParseOk("port LPT1").deviceId);

  Step device = ParseOk(std::string("device ") + kPath + " description=KX310MQ47H");
  EXPECT_EQ(device.name, kPath);
  EXPECT_EQ(device.description, "KX310MQ47H");
  EXPECT_FALSE(device.status.has_value());  // 0x20 for a new device, unchanged for a known one
  EXPECT_EQ(ParseOk("device X status=0x00").status, 0x00u);
  EXPECT_EQ(device.notifyCase, "as-is");
  for (const char* notifyCase : {"upper", "lower", "as-is"}) {
    EXPECT_EQ(ParseOk(std::string("device X notify-case=") + notifyCase).notifyCase, notifyCase);
  }

  EXPECT_EQ(ParseOk("status X 0x04").status, 0x04u);
  EXPECT_EQ(ParseOk("status X 32").status, 0x20u);
  EXPECT_EQ(ParseOk("status X paper+cover-open").status, 0x24u);
  EXPECT_EQ(ParseOk("device X status=0").status, 0x00u);
  EXPECT_EQ(ParseOk("device X status=attention+paper").status, 0x30u);
  EXPECT_TRUE(ParseOk("device X").shortName.empty());
  EXPECT_EQ(ParseOk("wait 800ms").number, 800);
  EXPECT_EQ(ParseOk("spooler stop-time 3s").number, 3000);
  EXPECT_EQ(ParseOk("service control 11").number, 11);
  EXPECT_EQ(ParseOk("service start").kind, Step::Kind::ServiceStart);
  EXPECT_EQ(ParseOk("spooler stop").kind, Step::Kind::SpoolerStop);
  EXPECT_EQ(ParseOk("spooler start-time 3s").number, 3000);
  Step dependent = ParseOk("spooler dependent Fax running");
  EXPECT_EQ(dependent.kind, Step::Kind::SpoolerDependent);
  EXPECT_EQ(dependent.name, "Fax");
  EXPECT_TRUE(dependent.running);
  EXPECT_FALSE(ParseOk("spooler dependent Fax stopped").running);
  EXPECT_EQ(ParseOk("fault spooler latency=40ms").faults.spoolerLatency, 40);
  EXPECT_EQ(ParseOk("fault registry latency=2ms").faults.registryLatency, 2);
  EXPECT_EQ(ParseOk("fault scm latency=30ms").faults.scmLatency, 30);
  EXPECT_FALSE(ParseOk("fault scm latency=30ms").faults.scmError.has_value());
}

TEST(ParseLine, Checks) {
  Step queue = ParseOk("expect queue KX310MQ47H paused=yes status=0x80");
  EXPECT_EQ(queue.kind, Step::Kind::ExpectQueue);
  EXPECT_EQ(queue.paused, true);
  EXPECT_EQ(queue.status, 0x80u);
  EXPECT_FALSE(queue.port);
  EXPECT_TRUE(queue.IsCheck());

  Step log = ParseOk(R"(expect log " Open Printer Error :GetLastError() returns: 0x709")");
  EXPECT_EQ(log.name, " Open Printer Error :GetLastError() returns: 0x709");
  EXPECT_EQ(ParseOk(R"(expect no-log "x=1")").kind, Step::Kind::ExpectNoLog);
  Step newLog = ParseOk(R"(expect new-log "QZ5 STATUS:0")");
  EXPECT_EQ(newLog.kind, Step::Kind::ExpectNewLog);
  EXPECT_EQ(newLog.name, "QZ5 STATUS:0");
  EXPECT_TRUE(newLog.IsCheck());
  EXPECT_EQ(ParseOk(R"(expect no-new-log "x")").kind, Step::Kind::ExpectNoNewLog);
  EXPECT_EQ(ParseOk("expect queue Q status=door-open").status, 0x400000u);
  EXPECT_EQ(ParseOk("expect queue Q status=128").status, 0x80u);
  EXPECT_EQ(ParseOk("expect queue Q status=offline+paper-out").status, 0x90u);
  EXPECT_TRUE(ParseOk("expect spooler running").running);
  EXPECT_FALSE(ParseOk("expect service stopped").running);
  EXPECT_EQ(ParseOk("expect spooler-restarts 1").number, 1);
  Step longest = ParseOk("expect longest-control below 2s");
  EXPECT_EQ(longest.kind, Step::Kind::ExpectLongestControl);
  EXPECT_EQ(longest.number, 2000);
  EXPECT_EQ(ParseOk("expect open-handles 0").number, 0);
  EXPECT_EQ(ParseOk("expect port-writes-only USB002 USB003").ports, (std::vector<std::string>{"USB002", "USB003"}));
  EXPECT_FALSE(ParseOk("wait 1s").IsCheck());
}

TEST(ParseLine, Errors) {
  EXPECT_NE(ParseError("wiat 1s").find("unknown command \"wiat\""), std::string::npos);
  EXPECT_NE(ParseError("service restart").find("unknown command \"service restart\""), std::string::npos);
  EXPECT_NE(ParseError("expect").find("needs a second word"), std::string::npos);
  EXPECT_NE(ParseError("queue Q").find("missing key \"port\""), std::string::npos);
  EXPECT_NE(ParseError("queue Q port=USB001 colour=red").find("unknown key \"colour\""), std::string::npos);
  EXPECT_NE(ParseError("queue Q port=A port=B").find("given twice"), std::string::npos);
  EXPECT_NE(ParseError("queue port=USB001").find("missing argument"), std::string::npos);
  EXPECT_NE(ParseError("wait 1.5s").find("not a duration"), std::string::npos);
  EXPECT_NE(ParseError("wait").find("missing argument"), std::string::npos);
  EXPECT_NE(ParseError("wait 1s 2s").find("unexpected \"2s\""), std::string::npos);
  EXPECT_NE(ParseError("device X status=0x100").find("does not fit in a byte"), std::string::npos);
  EXPECT_NE(ParseError("device X notify-case=title").find("none of upper, lower, as-is"), std::string::npos);
  EXPECT_NE(ParseError("status X 0x2G").find("\"0x2G\" is not a hexadecimal value"), std::string::npos);
  EXPECT_NE(ParseError("status X paper+0x2G").find("\"0x2G\" is not a hexadecimal value"), std::string::npos);
  EXPECT_NE(ParseError("status X 256").find("does not fit in a byte"), std::string::npos);
  EXPECT_NE(ParseError("status X paper+lid").find("\"lid\" in \"paper+lid\" is neither a number"), std::string::npos);
  EXPECT_NE(ParseError("status X paper+lid").find("cover-open, attention, paper"), std::string::npos);
  EXPECT_NE(ParseError("expect queue Q status=cover-open").find("paper-out, offline, user-intervention, door-open"),
            std::string::npos);
  EXPECT_NE(ParseError("expect new-log \"\"").find("the text to look for is empty"), std::string::npos);
  EXPECT_NE(ParseError("expect queue Q paused=maybe").find("neither yes nor no"), std::string::npos);
  EXPECT_NE(ParseError("expect spooler paused").find("neither running nor stopped"), std::string::npos);
  EXPECT_NE(ParseError("expect spooler-restarts one").find("not a count"), std::string::npos);
  EXPECT_NE(ParseError("service control x").find("not a control code"), std::string::npos);
  EXPECT_NE(ParseError("service start now").find("unexpected \"now\""), std::string::npos);
  EXPECT_NE(ParseError("expect longest-control 2s").find("\"2s\" is not \"below\""), std::string::npos);
  EXPECT_NE(ParseError("expect longest-control above 2s").find("is not \"below\""), std::string::npos);
  EXPECT_NE(ParseError("spooler dependent Fax").find("missing argument"), std::string::npos);
  EXPECT_NE(ParseError("spooler dependent Fax paused").find("neither running nor stopped"), std::string::npos);
  EXPECT_NE(ParseError("fault registry").find("missing key \"latency\""), std::string::npos);
  EXPECT_NE(ParseError("expect port-writes-only").find("missing argument"), std::string::npos);
  EXPECT_NE(ParseError("expect open-handles none").find("not a count"), std::string::npos);
  EXPECT_NE(ParseError("fault spooler latency=fast").find("not a duration"), std::string::npos);
}

TEST(ParseLine, AMissingArgumentIsNamed) {
  struct Row {
    const char* line;
    const char* missing;
  };
  const Row kRows[] = {
      {"expect queue paused=no", "missing argument NAME; expected: expect queue NAME"},
      {"queue port=USB001", "missing argument NAME; expected: queue NAME port=PORT"},
      {"port", "missing argument NAME"},
      {"device", "missing argument PATH"},
      {"device X as", "missing argument NAME after \"as\""},
      {"plug", "missing argument PATH"},
      {"unplug", "missing argument PATH"},
      {"status", "missing argument PATH"},
      {"status X", "missing argument BYTE"},
      {"service control", "missing argument N"},
      {"spooler stop-time", "missing argument DURATION"},
      {"spooler start-time", "missing argument DURATION"},
      {"spooler dependent", "missing argument NAME"},
      {"spooler dependent Fax", "missing argument running|stopped"},
      {"wait", "missing argument DURATION"},
      {"fault device read-error=5", "missing argument PATH"},
      {"expect log", "missing argument \"TEXT\""},
      {"expect no-new-log", "missing argument \"TEXT\""},
      {"expect spooler", "missing argument running|stopped"},
      {"expect service", "missing argument running|stopped"},
      {"expect spooler-restarts", "missing argument N"},
      {"expect open-handles", "missing argument N"},
      {"expect longest-control", "missing argument below"},
      {"expect longest-control below", "missing argument DURATION"},
      {"expect port-writes-only", "missing argument PORT..."},
  };
  for (const Row& row : kRows) {
    const std::string error = ParseError(row.line);
    EXPECT_NE(error.find(row.missing), std::string::npos) << row.line << " -> " << error;
  }
}

TEST(ParseLine, DeviceNames) {
  const Step named = ParseOk(std::string("device ") + kPath + " as printer description=KX310MQ47H status=paper");
  EXPECT_EQ(named.name, kPath);
  EXPECT_EQ(named.shortName, "printer");
  EXPECT_EQ(named.description, "KX310MQ47H");
  EXPECT_EQ(named.status, 0x20u);
  EXPECT_EQ(ParseOk("device X as socket-2.b_3").shortName, "socket-2.b_3");

  EXPECT_NE(ParseError("device X as 2nd").find("\"2nd\" is not a device name"), std::string::npos);
  EXPECT_NE(ParseError("device X as a#b").find("is not a device name"), std::string::npos);
  EXPECT_NE(ParseError("device X as a b").find("unexpected \"b\""), std::string::npos);
  EXPECT_NE(ParseError("device X printer").find("unexpected \"printer\""), std::string::npos);
}

TEST(ParseLine, EventChecks) {
  const struct {
    const char* line;
    std::int64_t id;
    std::optional<std::int64_t> count;
  } rows[] = {
      {"expect event 200", 200, std::nullopt},
      {"expect event 101 count 0", 101, 0},
      {"expect event 65535 count 12", 65535, 12},
  };
  for (const auto& row : rows) {
    const Step step = ParseOk(row.line);
    EXPECT_EQ(step.kind, Step::Kind::ExpectEvent) << row.line;
    EXPECT_TRUE(step.IsCheck()) << row.line;
    EXPECT_EQ(step.number, row.id) << row.line;
    EXPECT_EQ(step.count, row.count) << row.line;
  }
  const struct {
    const char* line;
    const char* error;
  } bad[] = {
      {"expect event", "missing argument ID; expected: expect event ID [count N]"},
      {"expect event 70000", "\"70000\" is not an event id (0 to 65535)"},
      {"expect event 0x64", "\"0x64\" is not an event id (0 to 65535)"},
      {"expect event 200 count", "missing argument N after \"count\"; expected: expect event ID [count N]"},
      {"expect event 200 times 2", "\"times 2\" is not \"count N\"; expected: expect event ID [count N]"},
      {"expect event 200 count -1", "\"count -1\" is not \"count N\"; expected: expect event ID [count N]"},
      {"expect event 200 count 1 more", "unexpected \"more\"; expected: expect event ID [count N]"},
  };
  for (const auto& row : bad) EXPECT_EQ(ParseError(row.line), row.error) << row.line;
}

TEST(ParseScenario, SkipsBlankAndCommentLinesAndNumbersLines) {
  const Scenario scenario = ParseScenario("# header\n\nqueue Q port=USB001\r\n  # indented comment\nwait 1s");
  ASSERT_TRUE(scenario.errors.empty());
  ASSERT_EQ(scenario.steps.size(), 2u);
  EXPECT_EQ(scenario.steps[0].line, 3);
  EXPECT_EQ(scenario.steps[0].port, "USB001");
  EXPECT_EQ(scenario.steps[1].line, 5);
  EXPECT_EQ(scenario.steps[1].number, 1000);
}

TEST(ParseScenario, ReportsEveryBadLine) {
  const Scenario scenario = ParseScenario("wait 1\nqueue Q port=USB001\nbogus\n");
  ASSERT_EQ(scenario.errors.size(), 2u);
  EXPECT_EQ(scenario.errors[0].line, 1);
  EXPECT_EQ(scenario.errors[1].line, 3);
}

TEST(ParseScenario, DevicesMustBeDeclaredFirst) {
  const Scenario scenario = ParseScenario(std::string("plug ") + kPath + "\ndevice " + kPath + "\nplug " + kPath +
                                          "\nunplug X\nstatus X 0x20\ndevice " + kPath + " description=LATE\n");
  ASSERT_EQ(scenario.errors.size(), 3u);
  EXPECT_EQ(scenario.errors[0].line, 1);
  EXPECT_NE(scenario.errors[0].why.find("unknown device"), std::string::npos);
  EXPECT_EQ(scenario.errors[1].line, 4);
  EXPECT_EQ(scenario.errors[2].line, 5);
  // A second device line for a known path gives it new records.
  ASSERT_EQ(scenario.steps.size(), 3u);
  EXPECT_EQ(scenario.steps[1].kind, Step::Kind::Plug);
  EXPECT_EQ(scenario.steps[2].kind, Step::Kind::Device);
  EXPECT_EQ(scenario.steps[2].description, "LATE");
  EXPECT_FALSE(scenario.steps[2].status.has_value());
}

TEST(ParseScenario, DevicePathsIgnoreCase) {
  const Scenario scenario = ParseScenario("device \\\\?\\USB#ABC#{x}\nplug \\\\?\\usb#abc#{X}\n");
  EXPECT_TRUE(scenario.errors.empty());
}

TEST(ParseScenario, ADeviceNameStandsForItsPath) {
  const Scenario scenario = ParseScenario(std::string("device ") + kPath +
                                          " as printer status=0\n"
                                          "plug printer\n"
                                          "status PRINTER paper\n"
                                          "fault device printer read-error=31\n"
                                          "unplug Printer\n"
                                          "device printer description=LATE\n"
                                          "device printer as printer\n");
  ASSERT_TRUE(scenario.errors.empty()) << scenario.errors[0].why;
  ASSERT_EQ(scenario.steps.size(), 7u);
  for (const Step& step : scenario.steps) EXPECT_EQ(step.name, kPath) << step.text;
  // The timeline shows the line as written.
  EXPECT_EQ(scenario.steps[1].text, "plug printer");
  EXPECT_EQ(scenario.steps[2].status, 0x20u);
  EXPECT_EQ(scenario.steps[5].description, "LATE");
}

TEST(ParseScenario, DeviceNamesAreOneToOne) {
  struct Row {
    const char* lines;
    const char* error;
  };
  const Row kRows[] = {
      {"device A as p\ndevice B as p\n", "\"p\" already names A"},
      {"device A as p\ndevice A as q\n", "the device of line 1 is already named p"},
      {"device A\ndevice B as a\n", "\"a\" is already a device path"},
      {"device A as p\nplug q\n", "unknown device q"},
      {"plug p\ndevice A as p\n", "unknown device p"},
  };
  for (const Row& row : kRows) {
    const Scenario scenario = ParseScenario(row.lines);
    ASSERT_EQ(scenario.errors.size(), 1u) << row.lines;
    EXPECT_NE(scenario.errors[0].why.find(row.error), std::string::npos) << row.lines << scenario.errors[0].why;
  }
}

TEST(Faults, SettingsAreParsedAndCheckedAtLoadTime) {
  const Step device = ParseOk(std::string("fault device ") + kPath +
                              " read-error=31 short-read=3 read-latency=2s open-latency=5ms held=yes");
  EXPECT_EQ(device.kind, Step::Kind::FaultDevice);
  EXPECT_EQ(device.faults.readError, 31u);
  EXPECT_EQ(device.faults.shortRead, 3u);
  EXPECT_EQ(device.faults.readLatency, 2000);
  EXPECT_EQ(device.faults.openLatency, 5);
  EXPECT_TRUE(device.faults.held);
  const Step cleared = ParseOk(std::string("fault device ") + kPath);
  EXPECT_FALSE(cleared.faults.readError.has_value());
  EXPECT_FALSE(cleared.faults.held);

  const Step spooler = ParseOk("fault spooler reject-port-writes=0x5");
  EXPECT_EQ(spooler.faults.portWriteError, 5u);
  EXPECT_FALSE(spooler.faults.enumPortsError.has_value());
  EXPECT_EQ(ParseOk("fault scm unreachable=1722").faults.scmError, 1722u);

  EXPECT_NE(ParseError(std::string("fault device ") + kPath + " held=maybe").find("neither yes nor no"),
            std::string::npos);
  EXPECT_NE(ParseError(std::string("fault device ") + kPath + " read-error=x").find("not a number"), std::string::npos);
  EXPECT_NE(ParseError("fault spooler").find("nothing to set"), std::string::npos);
  EXPECT_NE(ParseError("fault scm").find("nothing to set"), std::string::npos);
  EXPECT_NE(ParseError("fault printer").find("unknown command"), std::string::npos);
}

TEST(ParseLine, CodePages) {
  for (const auto& [line, which, codePage] :
       {std::tuple{"codepage system 65001", "system", 65001}, std::tuple{"codepage thread 936", "thread", 936},
        std::tuple{"codepage system 1252", "system", 1252}}) {
    const Step step = ParseOk(line);
    EXPECT_EQ(step.kind, Step::Kind::CodePage) << line;
    EXPECT_EQ(step.name, which) << line;
    EXPECT_EQ(step.number, codePage) << line;
  }
  EXPECT_NE(ParseError("codepage system 437").find("none of the code pages 1252, 936, 65001"), std::string::npos);
  EXPECT_NE(ParseError("codepage system utf8").find("none of the code pages"), std::string::npos);
  EXPECT_NE(ParseError("codepage system").find("missing argument"), std::string::npos);
  EXPECT_NE(ParseError("codepage oem 850").find("unknown command \"codepage oem\""), std::string::npos);
  EXPECT_NE(ParseError("codepage").find("needs a second word"), std::string::npos);
}

}  // namespace
}  // namespace simrunner

namespace simrunner {
namespace {

TEST(Durations, MinutesHoursAndDays) {
  struct Row {
    const char* text;
    std::optional<std::int64_t> millis;
  };
  const Row kRows[] = {
      {"5min", 300000}, {"1h", 3600000}, {"8h", 28800000}, {"7d", 604800000}, {"0h", 0},  {"30d", 2592000000},
      {"1m", {}},       {"h", {}},       {"1.5h", {}},     {"2hours", {}},    {"1H", {}}, {"-1d", {}},
  };
  for (const Row& row : kRows) EXPECT_EQ(ParseDuration(row.text), row.millis) << row.text;
}

TEST(Durations, ALineGivesAtMostThirtyDays) {
  EXPECT_EQ(ParseOk("wait 30d").number, 30LL * 86400000);
  EXPECT_EQ(ParseOk("wait 720h").number, 30LL * 86400000);
  for (const char* line : {"wait 31d", "wait 999999999999s", "spooler stop-time 721h"}) {
    EXPECT_NE(ParseError(line).find("longer than 30d"), std::string::npos) << line;
  }
}

// The steps of a file as "line:text", for comparing unrolled blocks.
std::vector<std::string> Played(const Scenario& scenario) {
  std::vector<std::string> played;
  for (const Step& step : scenario.steps) played.push_back(std::to_string(step.line) + ":" + step.text);
  return played;
}

TEST(Repeat, UnrollsBlocksWithTheirLines) {
  const Scenario scenario = ParseScenario(
      "queue Q port=USB001\n"
      "repeat 2\n"
      "  wait 1h\n"
      "  repeat 2   # nested\n"
      "    wait 1s\n"
      "  end\n"
      "end\n"
      "wait 2ms\n");
  ASSERT_TRUE(scenario.errors.empty()) << scenario.errors[0].why;
  EXPECT_EQ(Played(scenario), (std::vector<std::string>{"1:queue Q port=USB001", "3:wait 1h", "5:wait 1s", "5:wait 1s",
                                                        "3:wait 1h", "5:wait 1s", "5:wait 1s", "8:wait 2ms"}));
}

TEST(Repeat, StructureErrors) {
  struct Row {
    const char* text;
    int line;
    const char* why;
  };
  const Row kRows[] = {
      {"wait 1s\nrepeat 3\nwait 1s\n", 2, "repeat block with no \"end\""},
      {"wait 1s\nend\n", 2, "\"end\" with no repeat block open"},
      {"repeat 0\nwait 1s\nend\n", 1, "\"0\" is not a count from 1 to 100000"},
      {"repeat x\nwait 1s\nend\n", 1, "\"x\" is not a count"},
      {"repeat\nwait 1s\nend\n", 1, "expected: repeat N"},
      {"repeat 2\nwait 1s\nend now\n", 3, "unexpected \"now\"; expected: end"},
      {"repeat 1000\nrepeat 1000\nwait 1ms\nend\nend\n", 1, "more than 100000 steps"},
      {"repeat 13\nwait 30d\nend\n", 2, "the waits add up to more than 366d"},
  };
  for (const Row& row : kRows) {
    const Scenario scenario = ParseScenario(row.text);
    ASSERT_FALSE(scenario.errors.empty()) << row.text;
    EXPECT_EQ(scenario.errors[0].line, row.line) << row.text;
    EXPECT_NE(scenario.errors[0].why.find(row.why), std::string::npos) << row.text << ": " << scenario.errors[0].why;
  }
}

TEST(Repeat, ABadLineInABlockIsToldOnce) {
  const Scenario scenario = ParseScenario("repeat 50\nwiat 1s\nend\n");
  ASSERT_EQ(scenario.errors.size(), 1u);
  EXPECT_EQ(scenario.errors[0].line, 2);
  EXPECT_FALSE(scenario.tooManyErrors);
}

TEST(ParseLine, AnAdministratorsQueueLines) {
  const Step moved = ParseOk("queue Q port=USB003");
  EXPECT_EQ(moved.kind, Step::Kind::Queue);
  const Step created = ParseOk("queue Q create port=USB002");
  EXPECT_EQ(created.kind, Step::Kind::QueueCreate);
  EXPECT_EQ(created.port, "USB002");
  const Step deleted = ParseOk("queue Q delete");
  EXPECT_EQ(deleted.kind, Step::Kind::QueueDelete);
  EXPECT_EQ(deleted.name, "Q");
  EXPECT_NE(ParseError("queue Q create").find("missing key \"port\""), std::string::npos);
  EXPECT_NE(ParseError("queue Q delete port=USB001").find("\"delete\" takes no keys"), std::string::npos);
  EXPECT_NE(ParseError("queue Q delet").find("did you mean \"delete\"?"), std::string::npos);
}

TEST(ParseScenario, QueuesMustBeThereToBeDeletedAndGoneToBeCreated) {
  struct Row {
    const char* text;
    const char* why;  // empty: no error
  };
  const Row kRows[] = {
      {"queue Q port=USB001\nqueue q delete\nqueue Q create port=USB002\nqueue Q port=USB003\n", ""},
      {"queue Q delete\n", "no queue Q to delete"},
      {"queue Q port=USB001\nqueue Q delete\nqueue Q delete\n", "no queue Q to delete"},
      {"queue Q port=USB001\nqueue Q create port=USB002\n", "queue Q is there already"},
      {"queue Q create port=USB002\n", ""},
  };
  for (const Row& row : kRows) {
    const Scenario scenario = ParseScenario(row.text);
    if (std::string_view(row.why).empty()) {
      EXPECT_TRUE(scenario.errors.empty()) << row.text << ": " << scenario.errors[0].why;
    } else {
      ASSERT_EQ(scenario.errors.size(), 1u) << row.text;
      EXPECT_NE(scenario.errors[0].why.find(row.why), std::string::npos) << scenario.errors[0].why;
    }
  }
}

TEST(ParseLine, RegistryValues) {
  struct Row {
    const char* line;
    std::uint32_t type;
    const char* key;
    std::optional<std::uint32_t> size;
  };
  const Row kRows[] = {
      {R"(registry SYSTEM\Test "Device Id" type=sz value=USB\VID_1 size=6)", 1, R"(SYSTEM\Test)", 6},
      {R"(registry HKLM\SYSTEM\Test Name type=expand-sz value=%SystemRoot%)", 2, R"(SYSTEM\Test)", {}},
      {R"(registry HKEY_LOCAL_MACHINE\SYSTEM\Test Name type=multi-sz value=a;b)", 7, R"(SYSTEM\Test)", {}},
      {R"(registry SYSTEM\Test Name type=dword value=0x20 size=2)", 4, R"(SYSTEM\Test)", 2},
      {R"(registry SYSTEM\Test Name type=qword value=18446744073709551615)", 11, R"(SYSTEM\Test)", {}},
      {R"(registry SYSTEM\Test Name type=binary value=01ff00)", 3, R"(SYSTEM\Test)", {}},
  };
  for (const Row& row : kRows) {
    const Step step = ParseOk(row.line);
    EXPECT_EQ(step.kind, Step::Kind::Registry) << row.line;
    EXPECT_EQ(step.valueType, row.type) << row.line;
    EXPECT_EQ(step.name, row.key) << row.line;
    EXPECT_EQ(step.size, row.size) << row.line;
  }
  EXPECT_EQ(ParseOk(R"(registry SYSTEM\Test "Device Id" type=sz value="a b")").valueName, "Device Id");
  struct Bad {
    const char* line;
    const char* why;
  };
  const Bad kBad[] = {
      {R"(registry SYSTEM\Test Name value=x)", "missing key \"type\""},
      {R"(registry SYSTEM\Test Name type=sz)", "missing key \"value\""},
      {R"(registry SYSTEM\Test Name type=szz value=x)", "did you mean \"sz\"?"},
      {R"(registry SYSTEM\Test Name type=dword value=x)", "is not a number"},
      {R"(registry SYSTEM\Test Name type=binary value=1ff)", "two digits each"},
      {R"(registry SYSTEM\Test Name type=sz value=x size=3)", "is odd"},
      {R"(registry SYSTEM\Test Name type=sz value=x size=70000)", "more than the 65536 bytes"},
      {R"(registry HKLM\ Name type=sz value=x)", "the key is empty"},
      {R"(registry SYSTEM\Test type=sz value=x)", "missing argument NAME"},
      {R"(registry SYSTEM\Test Name type=sz value=x sise=2)", "did you mean \"size\"?"},
  };
  for (const Bad& bad : kBad) EXPECT_NE(ParseError(bad.line).find(bad.why), std::string::npos) << bad.line;
}

TEST(ParseLine, TheNearestCommandOrKeyIsSuggested) {
  struct Row {
    const char* line;
    const char* why;
  };
  const Row kRows[] = {
      {"queue Q prot=USB001", "unknown key \"prot\"; did you mean \"port\"? (keys: port)"},
      {"device X descripton=Y", "did you mean \"description\"?"},
      {"fault device X read-eror=5", "did you mean \"read-error\"?"},
      {"wiat 1s", "unknown command \"wiat\"; did you mean \"wait\"?"},
      {"servce start", "did you mean \"service\"?"},
      {"expect queu Q", "unknown command \"expect queu\"; did you mean \"queue\"?"},
      {"spooler strat", "did you mean \"start\"?"},
  };
  for (const Row& row : kRows) EXPECT_NE(ParseError(row.line).find(row.why), std::string::npos) << ParseError(row.line);
  // Nothing near: no suggestion.
  EXPECT_EQ(ParseError("xyzzy").find("did you mean"), std::string::npos);
  EXPECT_EQ(ParseError("queue Q colour=red").find("did you mean"), std::string::npos);
}

TEST(ParseScenario, ByteOrderMarksAndUtf16) {
  const Scenario bom = ParseScenario("\xEF\xBB\xBFqueue Q port=USB001\nwait 1s\n");
  EXPECT_TRUE(bom.errors.empty()) << bom.errors[0].why;
  ASSERT_EQ(bom.steps.size(), 2u);
  EXPECT_EQ(bom.steps[0].name, "Q");
  struct Row {
    std::string text;
    const char* why;
  };
  const Row kRows[] = {
      {std::string("\xFF\xFEq\0u\0", 6), "UTF-16 (little-endian, byte-order mark FF FE)"},
      {std::string("\xFE\xFF\0q\0u", 6), "UTF-16 (big-endian, byte-order mark FE FF)"},
      {std::string("q\0u\0e\0", 6), "UTF-16 (little-endian)"},
      {std::string("\0q\0u\0e", 6), "UTF-16 (big-endian)"},
  };
  for (const Row& row : kRows) {
    const Scenario scenario = ParseScenario(row.text);
    ASSERT_EQ(scenario.errors.size(), 1u) << row.why;
    EXPECT_EQ(scenario.errors[0].line, 0);  // the whole file
    EXPECT_NE(scenario.errors[0].why.find(row.why), std::string::npos) << scenario.errors[0].why;
    EXPECT_NE(scenario.errors[0].why.find("save it as UTF-8"), std::string::npos);
  }
}

TEST(ParseScenario, StopsAfterTwentyBadLines) {
  std::string text;
  for (int i = 0; i < 500; ++i) text += "\x01\x1B[2J nonsense\n";
  const Scenario scenario = ParseScenario(text);
  EXPECT_EQ(scenario.errors.size(), kMostErrors);
  EXPECT_TRUE(scenario.tooManyErrors);
  EXPECT_EQ(scenario.errors.back().line, 20);
  const Scenario twenty = ParseScenario(text.substr(0, text.size() / 25));  // 20 lines
  EXPECT_EQ(twenty.errors.size(), 20u);
  EXPECT_FALSE(twenty.tooManyErrors);
}

TEST(Help, NamesEveryCommandAndKey) {
  const std::string_view help = HelpText();
  const std::vector<CommandKeys> commands = LanguageCommands();
  EXPECT_GT(commands.size(), 30u);
  for (const CommandKeys& command : commands) {
    EXPECT_NE(help.find("  " + command.command + " "), std::string_view::npos) << command.command;
    for (const std::string& key : command.keys) {
      EXPECT_NE(help.find(key + "="), std::string_view::npos) << command.command << " " << key;
    }
  }
  for (const char* option : {"--quiet", "--seed", "--svg", "--svg-window", "--help", "swarm"}) {
    EXPECT_NE(help.find(option), std::string_view::npos) << option;
  }
}

}  // namespace
}  // namespace simrunner
