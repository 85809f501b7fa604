#include "sim_runner/runner.h"

#include <gtest/gtest.h>

#include <sstream>

#include "platform/win32_api.h"
#include "sim_runner/parser.h"

namespace simrunner {
namespace {

constexpr char kSetup[] = R"(
queue KX310MQ47H port=USB001
port USB001 device-id=USB\VID_0483&PID_5741\ABC123
device \\?\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed} description=KX310MQ47H status=0x00
plug \\?\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}
service start
wait 1s
)";

struct RunResult {
  int failures;
  std::string output;
};

RunResult RunText(const std::string& text, bool quiet) {
  const Scenario scenario = ParseScenario(text);
  EXPECT_TRUE(scenario.errors.empty());
  std::ostringstream out;
  const int failures = RunScenario(scenario, {"t.scenario", quiet, std::nullopt}, out);
  return {failures, out.str()};
}

TEST(Runner, PaperOutPausesTheQueue) {
  const RunResult run = RunText(std::string(kSetup) + "expect queue KX310MQ47H paused=yes status=0x10\n", false);
  EXPECT_EQ(run.failures, 0) << run.output;
  EXPECT_NE(run.output.find("step     plug \\\\?\\USB#VID_0483"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("spool    KX310MQ47H set status 0x10 -> ok"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("check    expect queue KX310MQ47H paused=yes status=0x10  -> ok"), std::string::npos);
  EXPECT_NE(run.output.find("t.scenario: 1 check, all held"), std::string::npos) << run.output;
}

TEST(Runner, FailuresNameTheLineAndWhatWasFound) {
  const RunResult run =
      RunText(std::string(kSetup) + "expect queue KX310MQ47H paused=no\nexpect spooler-restarts 2\n", true);
  EXPECT_EQ(run.failures, 2);
  EXPECT_EQ(run.output,
            "t.scenario:8: expect queue KX310MQ47H paused=no: found paused=yes status=0x10 port=USB001\n"
            "t.scenario:9: expect spooler-restarts 2: found spooler-restarts 0\n");
}

TEST(Runner, RefusedControlIsOnTheTimelineButNotAFailure) {
  const RunResult run = RunText("service stop\nexpect service stopped\n", false);
  EXPECT_EQ(run.failures, 0);
  EXPECT_NE(run.output.find("result   refused: error 1062 (ERROR_SERVICE_NOT_ACTIVE)"), std::string::npos)
      << run.output;
}

TEST(Runner, LogChecks) {
  const RunResult run =
      RunText(std::string(kSetup) + "expect log \"QZ5 STATUS:0\"\nexpect no-log \"QZ5 STATUS:0\"\n", true);
  EXPECT_EQ(run.failures, 1);
  EXPECT_NE(run.output.find("t.scenario:9: expect no-log \"QZ5 STATUS:0\": found at 0.000: \"QZ5 STATUS:0\""),
            std::string::npos)
      << run.output;
}

TEST(Runner, NewLogLooksOnlySinceThePreviousChecks) {
  // Paper out (status 0) until the checks; then paper again.
  const RunResult run =
      RunText(std::string(kSetup) +
                  "expect new-log \"QZ5 STATUS:0\"\n"  // line 8: held
                  "status \\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed} 32\n"
                  "wait 1s\n"
                  "expect log \"QZ5 STATUS:0\"\n"         // line 11: held, from the first phase
                  "expect new-log \"QZ5 STATUS:32\"\n"    // line 12: held
                  "expect new-log \"QZ5 STATUS:32\"\n"    // line 13: checks in a row, same lines
                  "expect no-new-log \"QZ5 STATUS:0\"\n"  // line 14: held
                  "expect new-log \"QZ5 STATUS:0\"\n",    // line 15: fails, an old line only
              true);
  EXPECT_EQ(run.failures, 1) << run.output;
  EXPECT_EQ(run.output,
            "t.scenario:15: expect new-log \"QZ5 STATUS:0\": found no debugger line contains it (1 line since the "
            "previous checks)\n");
}

TEST(Runner, QuietPrintsNothingWhenEveryCheckHeld) {
  const RunResult run = RunText(std::string(kSetup) + "expect queue KX310MQ47H paused=yes status=0x10\n", true);
  EXPECT_EQ(run.failures, 0);
  EXPECT_EQ(run.output, "");
}

TEST(Runner, NamedDevicesAndStatusBitsDriveTheMachine) {
  const RunResult run = RunText(R"(
queue KX310MQ47H port=USB001
port USB001 device-id=USB\VID_0483&PID_5741\ABC123
device \\?\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed} as printer description=KX310MQ47H status=paper
plug printer
service start
wait 1s
expect queue KX310MQ47H paused=no status=0
status printer paper+cover-open
wait 1s
expect queue KX310MQ47H paused=yes status=door-open
status printer 0
wait 1s
expect queue KX310MQ47H paused=yes status=paper-out
unplug printer
wait 1s
expect queue KX310MQ47H paused=yes status=offline
)",
                                false);
  EXPECT_EQ(run.failures, 0) << run.output;
  EXPECT_NE(run.output.find("step     status printer paper+cover-open\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("usb      status of \\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-"
                            "00c04fb951ed} is 0x24"),
            std::string::npos)
      << run.output;
}

TEST(Runner, CodePageLinesSetTheSystemsAndTheThreadsCodePage) {
  std::ostringstream out;
  Session session({"t.scenario", false, std::nullopt}, out, std::nullopt);
  const Scenario scenario = ParseScenario("codepage system 65001\ncodepage thread 936\n");
  ASSERT_TRUE(scenario.errors.empty());
  EXPECT_EQ(session.Perform(scenario.steps[0]), 0u);
  EXPECT_EQ(session.Machine().SystemCodePage(), 65001u);
  EXPECT_EQ(session.Machine().ThreadCodePage(), 1252u);
  EXPECT_EQ(session.Perform(scenario.steps[1]), 0u);
  EXPECT_EQ(session.Machine().SystemCodePage(), 65001u);
  EXPECT_EQ(session.Machine().ThreadCodePage(), 936u);
  EXPECT_NE(out.str().find("step     codepage thread 936"), std::string::npos) << out.str();
}

}  // namespace
}  // namespace simrunner

namespace simrunner {
namespace {

// Plays `text` on a session, printing into `out`.
void Play(Session& session, const Scenario& scenario) {
  for (const Step& step : scenario.steps) {
    if (step.IsCheck()) {
      EXPECT_EQ(session.Check(step), std::nullopt) << step.text;
    } else {
      session.Perform(step);
    }
  }
}

TEST(Runner, AnAdministratorDeletesCreatesAndMovesTheQueue) {
  const Scenario scenario = ParseScenario(std::string(kSetup) +
                                          "queue KX310MQ47H port=USB003\n"
                                          "expect queue KX310MQ47H port=USB003\n"
                                          "queue KX310MQ47H delete\n"
                                          "wait 2s\n"
                                          "queue KX310MQ47H create port=USB002\n"
                                          "expect queue KX310MQ47H paused=no status=0 port=USB002\n");
  ASSERT_TRUE(scenario.errors.empty()) << scenario.errors[0].why;
  std::ostringstream out;
  Session session({"t.scenario", false, std::nullopt}, out, std::nullopt);
  for (std::size_t i = 0; i + 5 < scenario.steps.size(); ++i) session.Perform(scenario.steps[i]);
  ASSERT_TRUE(session.Machine().Queue(L"KX310MQ47H"));
  session.Perform(scenario.steps[scenario.steps.size() - 6]);
  EXPECT_EQ(session.Machine().Queue(L"KX310MQ47H")->port, L"USB003");
  EXPECT_EQ(session.Check(scenario.steps[scenario.steps.size() - 5]), std::nullopt);
  session.Perform(scenario.steps[scenario.steps.size() - 4]);
  EXPECT_FALSE(session.Machine().Queue(L"KX310MQ47H"));
  session.Perform(scenario.steps[scenario.steps.size() - 3]);
  session.Perform(scenario.steps[scenario.steps.size() - 2]);
  ASSERT_TRUE(session.Machine().Queue(L"KX310MQ47H"));
  EXPECT_EQ(session.Check(scenario.steps.back()), std::nullopt);
  EXPECT_NE(out.str().find("step     queue KX310MQ47H delete\n"), std::string::npos) << out.str();
}

TEST(Runner, RegistryLinesWriteTheTypeAndSizeAsked) {
  struct Row {
    const char* line;
    DWORD type;
    std::string data;  // as RegQueryValueExA reads it with code page 1252
  };
  const Row kRows[] = {
      {R"(registry SYSTEM\Test V type=sz value=USB)", REG_SZ, std::string("USB\0", 4)},
      {R"(registry SYSTEM\Test V type=sz value=USB size=6)", REG_SZ, "USB"},  // no NUL
      {R"(registry SYSTEM\Test V type=sz value=USB size=12)", REG_SZ, std::string("USB\0\0\0", 6)},
      {R"(registry SYSTEM\Test V type=multi-sz value=a;b)", REG_MULTI_SZ, std::string("a\0b\0\0", 5)},
      {R"(registry SYSTEM\Test V type=dword value=0x20)", REG_DWORD, std::string("\x20\0\0\0", 4)},
      {R"(registry SYSTEM\Test V type=dword value=0x1234 size=2)", REG_DWORD, std::string("\x34\x12", 2)},
      {R"(registry SYSTEM\Test V type=qword value=1)", 11, std::string("\x01\0\0\0\0\0\0\0", 8)},
      {R"(registry SYSTEM\Test V type=binary value=01ff00)", REG_BINARY, std::string("\x01\xFF\x00", 3)},
  };
  for (const Row& row : kRows) {
    const Scenario scenario = ParseScenario(row.line);
    ASSERT_TRUE(scenario.errors.empty()) << row.line << ": " << scenario.errors[0].why;
    std::ostringstream out;
    Session session({"t.scenario", true, std::nullopt}, out, std::nullopt);
    session.Perform(scenario.steps[0]);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\Test", 0, KEY_READ, &key), ERROR_SUCCESS) << row.line;
    char data[64] = {};
    DWORD type = 0;
    DWORD size = sizeof data;
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, &type, reinterpret_cast<BYTE*>(data), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, row.type) << row.line;
    EXPECT_EQ(std::string(data, size), row.data) << row.line;
    RegCloseKey(key);
  }
}

// The same scenario played with the machine's records kept and dropped as
// they are taken in prints the same timeline and finds the same checks.
TEST(Runner, DroppingTheMachinesRecordsChangesNothingPrinted) {
  const Scenario scenario = ParseScenario(std::string(kSetup) +
                                          "expect new-log \"QZ5 STATUS:0\"\n"
                                          "wait 2h\n"
                                          "expect log \"QZ5 STATUS:0\"\n"
                                          "expect no-new-log \"STATUS:32\"\n"
                                          "status \\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-"
                                          "00c04fb951ed} paper\n"
                                          "repeat 3\n"
                                          "wait 20min\n"
                                          "end\n"
                                          "expect new-log \"QZ5 STATUS:32\"\n"
                                          "expect port-writes-only USB001\n"
                                          "expect event 100 count 1\n");
  ASSERT_TRUE(scenario.errors.empty()) << scenario.errors[0].why;
  std::string timelines[2];
  for (const bool forget : {false, true}) {
    std::ostringstream out;
    RunOptions options{"t.scenario", false, std::nullopt};
    options.forgetHistory = forget;
    {
      Session session(options, out, std::nullopt);
      Play(session, scenario);
      if (forget) {
        EXPECT_TRUE(session.Machine().Trace().empty());
        EXPECT_TRUE(session.Machine().SpoolerJournal().empty());
      } else {
        // Two hours and an hour of status passes, 0.8 s apart.
        EXPECT_GT(session.Machine().Trace().size(), 3u * 4500);
      }
    }
    timelines[forget ? 1 : 0] = out.str();
  }
  EXPECT_EQ(timelines[0], timelines[1]);
  EXPECT_NE(timelines[1].find("7201.000  check    expect no-new-log \"STATUS:32\"  -> ok"), std::string::npos)
      << timelines[1].substr(0, 3000);
}

}  // namespace
}  // namespace simrunner

namespace simrunner {
namespace {

std::string ParseError(std::string_view line) {
  std::string error;
  EXPECT_FALSE(ParseLine(line, 1, error).has_value()) << line;
  return error;
}

// Windows' own answers, the default: what the timeline shows of each, and the
// kinder answer a scenario line asks for.
TEST(Runner, WindowsOwnAnswersAreAskedForByALine) {
  struct Row {
    const char* mode;  // the line, or "" for the default
    const char* events;
    std::vector<std::string> shown;
    std::vector<std::string> notShown;
  };
  constexpr char kUnplugAndBack[] =
      "unplug \\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\n"
      "wait 2s\n"
      "plug \\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\n"
      "wait 2s\n";
  constexpr char kUnplugAndRestart[] =
      "unplug \\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\n"
      "wait 2s\n"
      "spooler stop\nwait 1s\nspooler start\nwait 100ms\n";
  const char* const kPlugged = "usb      plugged \\\\?\\USB#VID_0483&PID_5741#ABC123";
  const Row kRows[] = {
      // As Windows: the unplug waits for the service's handle, which the
      // service closes at the removal, so the printer plugged in again is
      // not held back.
      {"",
       kUnplugAndBack,
       {"usb      removal of \\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed} waits for 1 "
        "open handle",
        kPlugged},
       {"plugged back"}},
      {"usb removal at-once\n", kUnplugAndBack, {kPlugged}, {"waits for", "plugged back"}},
      {"", kUnplugAndRestart, {"scm      the status of KX310MQ47H (0x80) went with the Spooler; its pause is kept"}, {}},
      {"spooler restart keeps-status\n", kUnplugAndRestart, {"scm      Spooler started"}, {"went with the Spooler"}},
  };
  for (const Row& row : kRows) {
    const std::string text = std::string(row.mode) + kSetup + row.events;
    const RunResult run = RunText(text, false);
    for (const std::string& line : row.shown)
      EXPECT_NE(run.output.find(line), std::string::npos) << line << "\n" << text;
    for (const std::string& line : row.notShown) EXPECT_EQ(run.output.find(line), std::string::npos) << line;
  }
  // What a restart forgot, the queue shows: paused, no status, until the
  // service's next pass marks it offline again.
  const Scenario scenario = ParseScenario(std::string(kSetup) + kUnplugAndRestart +
                                          "expect queue KX310MQ47H paused=yes status=0\n"
                                          "wait 1s\n"
                                          "expect queue KX310MQ47H paused=yes status=offline\n");
  ASSERT_TRUE(scenario.errors.empty()) << scenario.errors[0].why;
  std::ostringstream out;
  EXPECT_EQ(RunScenario(scenario, {"t.scenario", true, std::nullopt}, out), 0) << out.str();
  EXPECT_NE(ParseError("usb removal later").find("neither waits-for-handles nor at-once"), std::string::npos);
  EXPECT_NE(ParseError("spooler restart forget-status").find("did you mean \"forgets-status\"?"), std::string::npos);
}

}  // namespace
}  // namespace simrunner
