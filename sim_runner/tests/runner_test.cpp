#include "sim_runner/runner.h"

#include <gtest/gtest.h>

#include <sstream>

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
