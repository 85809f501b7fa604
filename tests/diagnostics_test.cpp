#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

#include "common/diagnostics.h"
#include "common/wide_text.h"
#include "spooler/printer_queue.h"
#include "tests/sim_fixture.h"

namespace {

class Diagnostics : public SimTest {};

// Converts UTF-8 text to code page 936 with the C library's converter, an
// encoder independent of the bytes written in the service's sources.
std::string ToGbk(const std::string& utf8) {
  iconv_t converter = iconv_open("GBK", "UTF-8");
  EXPECT_NE(converter, reinterpret_cast<iconv_t>(-1));
  std::string input = utf8;
  std::string output(utf8.size() * 2, '\0');
  char* in = input.data();
  char* out = output.data();
  std::size_t inLeft = input.size();
  std::size_t outLeft = output.size();
  EXPECT_NE(iconv(converter, &in, &inLeft, &out, &outLeft), static_cast<std::size_t>(-1));
  iconv_close(converter);
  output.resize(output.size() - outLeft);
  return output;
}

TEST_F(Diagnostics, ChineseTextsAreCodePage936) {
  EXPECT_EQ(std::string(kOpenPrinterFailedText), ToGbk("打开打印机失败!"));
  EXPECT_EQ(std::string(kPrinterInfoFailedText), ToGbk("获得PRINTER_INFO_2的数组失败!"));
  EXPECT_EQ(ToGbk("打开打印机失败!"), "\xB4\xF2\xBF\xAA\xB4\xF2\xD3\xA1\xBB\xFA\xCA\xA7\xB0\xDC!");
}

TEST_F(Diagnostics, DebugLogFormatsWithPrintfRulesAndNarrowsWideText) {
  DebugLog(" MainError:%d\n", 1063);
  DebugLogWide(" DevicePath:", L"\\\\?\\USB#VID_0483", "\n");
  DebugLogWide(" DevicePath:", L"\\\\?\\USB#VID_0483\u4e2d", "\n");
  EXPECT_EQ(machine.DebugLines(), (std::vector<std::string>{" MainError:1063\n", " DevicePath:\\\\?\\USB#VID_0483\n",
                                                            kUnformattableDiagnostic}));
}

TEST_F(Diagnostics, LongTextIsCutAtTheBuffer) {
  const std::string longText(300, 'x');
  DebugLog("%s", longText.c_str());
  ConsoleMessage(longText.c_str());
  ASSERT_EQ(machine.DebugLines().size(), 1u);
  EXPECT_EQ(machine.DebugLines()[0], std::string(kDiagnosticBufferSize - 1, 'x'));
  ASSERT_EQ(machine.StdoutLines().size(), 1u);
  EXPECT_EQ(machine.StdoutLines()[0], std::string(kDiagnosticBufferSize - 1, 'x'));
}

TEST_F(Diagnostics, ConsoleMessageNeverTreatsTextAsFormat) {
  ConsoleMessage("100%s%n%d");
  EXPECT_EQ(machine.StdoutLines(), std::vector<std::string>{"100%s%n%d"});
}

TEST_F(Diagnostics, RegistryTextStopsAtNulOrSize) {
  const char terminated[] = {'a', 'b', '\0', 'c'};
  const char unterminated[] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(RegistryValueText(terminated, sizeof terminated), "ab");
  EXPECT_EQ(RegistryValueText(unterminated, 3), "abc");
  EXPECT_EQ(RegistryValueText(unterminated, 0), "");
}

TEST_F(Diagnostics, WideningUsesTheSystemCodePage) {
  // 0x80 is the euro sign in code page 1252; D6 D0 is U+4E2D in 936.
  EXPECT_EQ(WidenSystemCodePage("KX\x80"), L"KX\u20ac");
  EXPECT_EQ(WidenSystemCodePage(""), L"");
  machine.SetCodePages(936, 1252);
  EXPECT_EQ(WidenSystemCodePage("KX\xD6\xD0"), L"KX\u4e2d");
  EXPECT_TRUE(NamesEqual(L"usb001", L"USB001"));
  EXPECT_FALSE(NamesEqual(L"USB001", L"USB0011"));
}

TEST_F(Diagnostics, RegistryTextIsReadBackWhenTheThreadCodePageDiffers) {
  // RegQueryValueExA narrows with the system code page; widening with the
  // thread's would make "\xD6\xD0" two Latin letters.
  machine.SetCodePages(936, 1252);
  machine.SetRegistryString("SOFTWARE\\Test", "Name", std::wstring(L"\u6253\u5370\u673a KX310MQ47H"));
  EXPECT_EQ(ReadRegistryText("SOFTWARE\\Test", "Name", true), L"\u6253\u5370\u673a KX310MQ47H");
}

TEST_F(Diagnostics, ConsoleMessagesReachAConsoleButNotAService) {
  const int exitCode = machine.RunConsoleProcess([] {
    ConsoleMessage("from a console");
    return 0;
  });
  EXPECT_EQ(exitCode, 0);
  EXPECT_EQ(machine.StdoutLines(), std::vector<std::string>{"from a console"});
}

}  // namespace
