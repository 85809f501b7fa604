#include "sim_runner/timeline.h"

#include <gtest/gtest.h>

namespace simrunner {
namespace {

TEST(Timeline, TimeIsSecondsWithMilliseconds) {
  EXPECT_EQ(FormatTime(0), "   0.000");
  EXPECT_EQ(FormatTime(12800), "  12.800");
  EXPECT_EQ(FormatTime(1600), "   1.600");
  EXPECT_EQ(FormatTime(123456789), "123456.789");
}

TEST(Timeline, TextDropsTheLineEndAndEscapesTheRest) {
  EXPECT_EQ(PrintableText("QZ5 STATUS:32\r\n"), "QZ5 STATUS:32");
  EXPECT_EQ(PrintableText(" Open Printer Error\n"), " Open Printer Error");
  EXPECT_EQ(PrintableText("a\r\nb\tc\x01"), "a\\r\\nb\\tc\\x01");
  EXPECT_EQ(PrintableText("\xB4\xF2!"), "\\xB4\\xF2!");
  EXPECT_EQ(PrintableText(R"(\\?\USB#X)"), R"(\\?\USB#X)");
}

TEST(Timeline, ColumnsLineUp) {
  const std::string a = TimelineLine(800, "debug", "QZ5 STATUS:32");
  const std::string b = TimelineLine(12800, "process", "process 1 started");
  EXPECT_EQ(a, "   0.800  debug    QZ5 STATUS:32");
  EXPECT_EQ(a.find("QZ5"), b.find("process 1"));
  const sim::TraceEntry entry{1600, sim::TraceEntry::Channel::Spooler, "KX310MQ47H pause -> ok"};
  EXPECT_EQ(TimelineLine(entry), "   1.600  spool    KX310MQ47H pause -> ok");
}

// An event log entry is a line of its own under "event": type, id, inserts.
TEST(Timeline, EventLogEntriesHaveTheirOwnTag) {
  const sim::TraceEntry entry{0, sim::TraceEntry::Channel::Event,
                              R"(warning 200 "1801" "The printer name is invalid.")"};
  EXPECT_EQ(TimelineLine(entry), R"(   0.000  event    warning 200 "1801" "The printer name is invalid.")");
}

TEST(Timeline, ErrorsAreNamed) {
  EXPECT_EQ(DescribeError(1062), "error 1062 (ERROR_SERVICE_NOT_ACTIVE)");
  EXPECT_EQ(DescribeError(5), "error 5");
}

}  // namespace
}  // namespace simrunner
