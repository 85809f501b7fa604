#include "sim_runner/parser.h"

#include <gtest/gtest.h>

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
  EXPECT_NE(ParseError("status X 24").find("not a hexadecimal value"), std::string::npos);
  EXPECT_NE(ParseError("expect queue Q paused=maybe").find("neither yes nor no"), std::string::npos);
  EXPECT_NE(ParseError("expect spooler paused").find("neither running nor stopped"), std::string::npos);
  EXPECT_NE(ParseError("expect spooler-restarts one").find("not a count"), std::string::npos);
  EXPECT_NE(ParseError("service control x").find("not a control code"), std::string::npos);
  EXPECT_NE(ParseError("service start now").find("unexpected \"now\""), std::string::npos);
  EXPECT_NE(ParseError("expect longest-control 2s").find("missing argument"), std::string::npos);
  EXPECT_NE(ParseError("expect longest-control above 2s").find("is not \"below\""), std::string::npos);
  EXPECT_NE(ParseError("spooler dependent Fax").find("missing argument"), std::string::npos);
  EXPECT_NE(ParseError("spooler dependent Fax paused").find("neither running nor stopped"), std::string::npos);
  EXPECT_NE(ParseError("fault registry").find("missing key \"latency\""), std::string::npos);
  EXPECT_NE(ParseError("expect port-writes-only").find("missing argument"), std::string::npos);
  EXPECT_NE(ParseError("expect open-handles none").find("not a count"), std::string::npos);
  EXPECT_NE(ParseError("fault spooler latency=fast").find("not a duration"), std::string::npos);
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
      {"expect event", "missing argument; expected: expect event ID [count N]"},
      {"expect event 70000", "\"70000\" is not an event id (0 to 65535)"},
      {"expect event 0x64", "\"0x64\" is not an event id (0 to 65535)"},
      {"expect event 200 count", "missing argument; expected: expect event ID [count N]"},
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

}  // namespace
}  // namespace simrunner
