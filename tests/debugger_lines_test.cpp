// The debugger lines the administrator's guide lists are the lines the
// service's code writes: the formats are read out of the product's sources
// and compared with the first column of the guide's table, so that a line
// added, changed or removed in the code fails here until the guide says the
// same, with the file and line of each difference.
#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "monitor/status_monitor.h"
#include "service/device_events.h"
#include "service/service_main.h"
#include "spooler/port_binding.h"
#include "tests/guide_reader.h"

namespace {

// A token of C++ source: comments are dropped, string literals are decoded
// to the bytes they stand for (adjacent literals stay separate tokens).
struct Token {
  enum Kind { kIdentifier, kString, kOther } kind = kOther;
  std::string text;
  int line = 0;
};

bool IsIdentifierChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Decodes the body of an ordinary (not raw) literal: the escapes C++ has.
std::string DecodeEscapes(const std::string& body) {
  std::string bytes;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '\\' || i + 1 == body.size()) {
      bytes += body[i];
      continue;
    }
    const char c = body[++i];
    switch (c) {
      case 'n':
        bytes += '\n';
        break;
      case 'r':
        bytes += '\r';
        break;
      case 't':
        bytes += '\t';
        break;
      case 'x': {
        // A hex escape takes every hex digit that follows, as the compiler reads it.
        unsigned value = 0;
        while (i + 1 < body.size() && std::isxdigit(static_cast<unsigned char>(body[i + 1]))) {
          value = value * 16 + static_cast<unsigned>(std::stoi(std::string(1, body[++i]), nullptr, 16));
        }
        bytes += static_cast<char>(value & 0xFFu);
        break;
      }
      default:
        if (c >= '0' && c <= '7') {
          unsigned value = static_cast<unsigned>(c - '0');
          for (int digits = 1; digits < 3 && i + 1 < body.size() && body[i + 1] >= '0' && body[i + 1] <= '7';
               ++digits) {
            value = value * 8 + static_cast<unsigned>(body[++i] - '0');
          }
          bytes += static_cast<char>(value & 0xFFu);
        } else {
          bytes += c;  // \\ \" \' \? stand for themselves
        }
    }
  }
  return bytes;
}

std::vector<Token> Tokenize(const std::string& source) {
  std::vector<Token> tokens;
  int line = 1;
  std::size_t i = 0;
  const auto countLines = [&line](const std::string& text) {
    line += static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  };
  while (i < source.size()) {
    const char c = source[i];
    if (c == '\n') {
      ++line;
      ++i;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else if (source.compare(i, 2, "//") == 0) {
      i = source.find('\n', i);
      if (i == std::string::npos) i = source.size();
    } else if (source.compare(i, 2, "/*") == 0) {
      const std::size_t end = source.find("*/", i + 2);
      const std::size_t stop = end == std::string::npos ? source.size() : end + 2;
      countLines(source.substr(i, stop - i));
      i = stop;
    } else if (IsIdentifierChar(c)) {
      std::size_t end = i;
      // A number may hold digit separators (30'000), which open no literal.
      const bool number = std::isdigit(static_cast<unsigned char>(c)) != 0;
      while (end < source.size() &&
             (IsIdentifierChar(source[end]) ||
              (number && source[end] == '\'' && end + 1 < source.size() && IsIdentifierChar(source[end + 1])))) {
        ++end;
      }
      std::string word = source.substr(i, end - i);
      const bool prefix = word == "L" || word == "u8" || word == "u" || word == "U" || word == "R" || word == "LR" ||
                          word == "u8R" || word == "uR" || word == "UR";
      if (prefix && end < source.size() && source[end] == '"') {
        i = end;  // the literal's own branch reads it; a raw one is told by its R
        if (word.back() == 'R') {
          const std::size_t open = source.find('(', i);
          const std::string delimiter = ")" + source.substr(i + 1, open - i - 1) + "\"";
          const std::size_t close = source.find(delimiter, open);
          const std::string body = source.substr(open + 1, close - open - 1);
          tokens.push_back({Token::kString, body, line});
          countLines(body);
          i = close + delimiter.size();
        }
        continue;
      }
      tokens.push_back({Token::kIdentifier, word, line});
      i = end;
    } else if (c == '"' || c == '\'') {
      std::size_t end = i + 1;
      while (end < source.size() && source[end] != c) end += source[end] == '\\' ? 2 : 1;
      if (c == '"') tokens.push_back({Token::kString, DecodeEscapes(source.substr(i + 1, end - i - 1)), line});
      i = end + 1;
    } else {
      tokens.push_back({Token::kOther, std::string(1, c), line});
      ++i;
    }
  }
  return tokens;
}

// A debugger line as the service can write it, and where.
struct WrittenLine {
  std::string format;  // the bytes given to printf, line end included
  std::string where;   // file:line
};

// The arguments of the call whose "(" is tokens[open], split at the commas
// outside brackets; empty when the call is not closed.
std::vector<std::vector<Token>> CallArguments(const std::vector<Token>& tokens, std::size_t open) {
  std::vector<std::vector<Token>> arguments(1);
  int depth = 0;
  for (std::size_t i = open + 1; i < tokens.size(); ++i) {
    const std::string& t = tokens[i].text;
    if (tokens[i].kind == Token::kOther) {
      if (t == "(" || t == "[" || t == "{") ++depth;
      if (t == ")" || t == "]" || t == "}") {
        if (depth == 0) return arguments;
        --depth;
      }
      if (t == "," && depth == 0) {
        arguments.emplace_back();
        continue;
      }
    }
    arguments.back().push_back(tokens[i]);
  }
  return {};
}

// The text of an argument made of string literals only (adjacent ones are
// one literal); nothing for any other argument.
std::optional<std::string> LiteralText(const std::vector<Token>& argument) {
  if (argument.empty()) return std::nullopt;
  std::string text;
  for (const Token& token : argument) {
    if (token.kind != Token::kString) return std::nullopt;
    text += token.text;
  }
  return text;
}

// What the product's sources write to the debugger channel.
struct SourceLines {
  std::vector<WrittenLine> lines;
  std::vector<std::string> unreadable;  // calls whose text cannot be told from the source, with where
};

// Reads the DebugLog and DebugLogWide calls of `files` (name -> contents).
// A format that is "%s" with a named constant writes that constant, looked up
// among the files' `name[] = "..."` definitions; `ownLines` are constants
// the diagnostics module writes by itself.
SourceLines ReadDebuggerLines(const std::map<std::string, std::string>& files,
                              const std::vector<std::string>& ownLines) {
  std::map<std::string, std::vector<Token>> tokensOf;
  std::map<std::string, WrittenLine> constants;
  for (const auto& [name, text] : files) {
    std::vector<Token>& tokens = tokensOf[name] = Tokenize(text);
    for (std::size_t i = 0; i + 4 < tokens.size(); ++i) {
      if (tokens[i].kind == Token::kIdentifier && tokens[i + 1].text == "[" && tokens[i + 2].text == "]" &&
          tokens[i + 3].text == "=" && tokens[i + 4].kind == Token::kString) {
        std::string value;
        for (std::size_t j = i + 4; j < tokens.size() && tokens[j].kind == Token::kString; ++j) value += tokens[j].text;
        constants[tokens[i].text] = {value, name + ":" + std::to_string(tokens[i].line)};
      }
    }
  }
  SourceLines found;
  for (const std::string& own : ownLines) {
    const auto constant = constants.find(own);
    if (constant == constants.end()) {
      found.unreadable.push_back(own + ": the diagnostics module's own line is not defined in the sources");
    } else {
      found.lines.push_back(constant->second);
    }
  }
  for (const auto& [name, tokens] : tokensOf) {
    for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
      const Token& token = tokens[i];
      const std::string where = name + ":" + std::to_string(token.line);
      if (token.kind != Token::kIdentifier) continue;
      if (token.text.rfind("OutputDebugString", 0) == 0 && name != "common/diagnostics.cpp") {
        found.unreadable.push_back(where + ": " + token.text + " outside DebugLog");
        continue;
      }
      if ((token.text != "DebugLog" && token.text != "DebugLogWide") || tokens[i + 1].text != "(") continue;
      // The declarations and definitions name a return type before the name.
      if (i > 0 && tokens[i - 1].text == "void") continue;
      const std::vector<std::vector<Token>> arguments = CallArguments(tokens, i + 1);
      if (token.text == "DebugLogWide") {
        const auto prefix = arguments.size() == 3 ? LiteralText(arguments[0]) : std::nullopt;
        const auto suffix = arguments.size() == 3 ? LiteralText(arguments[2]) : std::nullopt;
        if (!prefix || !suffix) {
          found.unreadable.push_back(where + ": DebugLogWide without literal prefix and suffix");
        } else {
          // The wide text is narrowed into the line, as a %s would put it there.
          found.lines.push_back({*prefix + "%s" + *suffix, where});
        }
        continue;
      }
      const auto format = arguments.empty() ? std::nullopt : LiteralText(arguments[0]);
      if (format && *format == "%s" && arguments.size() == 2 && arguments[1].size() == 1 &&
          arguments[1][0].kind == Token::kIdentifier) {
        const auto constant = constants.find(arguments[1][0].text);
        if (constant == constants.end()) {
          found.unreadable.push_back(where + ": " + arguments[1][0].text + " is not a string constant of the sources");
        } else {
          found.lines.push_back({constant->second.format, where});
        }
      } else if (format) {
        found.lines.push_back({*format, where});
      } else {
        found.unreadable.push_back(where + ": DebugLog whose format is not a string literal");
      }
    }
  }
  return found;
}

// A line as the guide writes it: each printf conversion as "<>", the line end
// left out. `lineEnd` tells whether the format ends the line.
struct ComparableLine {
  std::string text;
  bool lineEnd = false;
};

ComparableLine FromFormat(const std::string& format) {
  ComparableLine line;
  std::string body = format;
  for (const char* end : {"\r\n", "\n"}) {
    const std::string suffix = end;
    if (body.size() >= suffix.size() && body.compare(body.size() - suffix.size(), suffix.size(), suffix) == 0) {
      body.resize(body.size() - suffix.size());
      line.lineEnd = true;
      break;
    }
  }
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '%') {
      line.text += body[i];
      continue;
    }
    if (i + 1 < body.size() && body[i + 1] == '%') {
      line.text += '%';
      ++i;
      continue;
    }
    // flags, width, precision and length, then the conversion letter
    std::size_t j = i + 1;
    while (j < body.size() && std::string_view("-+ #0123456789.*hljztL").find(body[j]) != std::string_view::npos) ++j;
    line.text += "<>";
    i = j;
  }
  return line;
}

// A guide line with each <placeholder> as "<>".
std::string FromGuide(const std::string& span) {
  std::string text;
  for (std::size_t i = 0; i < span.size(); ++i) {
    const std::size_t close = span[i] == '<' ? span.find('>', i) : std::string::npos;
    if (close != std::string::npos && close > i + 1 && span.find_first_of("< ", i + 1) > close) {
      text += "<>";
      i = close;
    } else {
      text += span[i];
    }
  }
  return text;
}

// The service writes its narrow text in the system code page; its sources
// hold the Chinese lines as code page 936 bytes, which the guide shows as
// the characters they are (UTF-8).
std::string Cp936ToUtf8(const std::string& bytes) {
  if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return bytes;
  }
  iconv_t converter = iconv_open("UTF-8", "CP936");
  if (converter == reinterpret_cast<iconv_t>(-1)) return bytes;
  std::string input = bytes;
  std::string output(bytes.size() * 3, '\0');
  char* in = input.data();
  char* out = output.data();
  std::size_t inLeft = input.size();
  std::size_t outLeft = output.size();
  const bool converted = iconv(converter, &in, &inLeft, &out, &outLeft) != static_cast<std::size_t>(-1);
  iconv_close(converter);
  if (!converted) return bytes;
  output.resize(output.size() - outLeft);
  return output;
}

std::string Shown(const std::string& comparable) {
  std::string shown;
  for (std::size_t i = 0; i < comparable.size(); ++i) {
    if (comparable.compare(i, 2, "<>") == 0) {
      shown += "<n>";
      ++i;
    } else {
      shown += comparable[i];
    }
  }
  return "`" + shown + "`";
}

std::string ReadWhole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The product's sources, by their path in the repository.
std::map<std::string, std::string> ProductSources() {
  std::map<std::string, std::string> files;
  const std::filesystem::path root = SPOOLSYNC_SOURCE_DIR;
  for (const char* folder : {"service", "monitor", "device", "spooler", "common"}) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root / folder)) {
      const std::string extension = entry.path().extension().string();
      if (!entry.is_regular_file() || (extension != ".cpp" && extension != ".h")) continue;
      files[entry.path().lexically_relative(root).generic_string()] = ReadWhole(entry.path());
    }
  }
  return files;
}

// The line FormatDiagnostic writes in place of one it cannot format.
const std::vector<std::string> kDiagnosticsOwnLines = {"kUnformattableDiagnostic"};

TEST(DebuggerLines, TheReaderFindsEveryFormOfCallTheSourcesUse) {
  const std::map<std::string, std::string> files = {
      {"a.cpp",
       "// DebugLog(\" in a comment\\n\");\n"
       "/* DebugLog(\" in a block comment\\n\"); */\n"
       "void DebugLog(const char* format, ...) {}\n"
       "const char kText[] = \"\\xBB\\xF1!\";\n"
       "void F() {\n"
       "  DebugLog(\" Read failed:%d\\r\\n\", static_cast<int>(f(1, 2)));\n"
       "  DebugLog(\" Two \"\n           \"literals %u ms\\n\", 5u);\n"
       "  DebugLog(\"%s\", kText);\n"
       "  DebugLogWide(\" Path:\", path, \"\\n\");\n"
       "  DebugLog(format);\n"
       "  DebugLog(\"%s\", kNowhere);\n"
       "  OutputDebugStringA(\"direct\");\n"
       "  const char* s = \"DebugLog(\\\"in a string\\\")\";\n"
       "  Sleep(30'000);\n"
       "  DebugLog(\" After:%d\\n\", 1);\n"
       "}\n"},
      {"common/diagnostics.cpp", "const char kOwn[] = \" own\\n\"; void G() { OutputDebugStringA(line); }\n"}};
  const SourceLines found = ReadDebuggerLines(files, {"kOwn"});
  std::vector<std::string> formats;
  for (const WrittenLine& line : found.lines) formats.push_back(line.format + "@" + line.where);
  EXPECT_EQ(formats, (std::vector<std::string>{" own\n@common/diagnostics.cpp:1", " Read failed:%d\r\n@a.cpp:6",
                                               " Two literals %u ms\n@a.cpp:7", "\xBB\xF1!@a.cpp:9",
                                               " Path:%s\n@a.cpp:10", " After:%d\n@a.cpp:16"}));
  EXPECT_EQ(found.unreadable, (std::vector<std::string>{"a.cpp:11: DebugLog whose format is not a string literal",
                                                        "a.cpp:12: kNowhere is not a string constant of the sources",
                                                        "a.cpp:13: OutputDebugStringA outside DebugLog"}));
}

TEST(DebuggerLines, FormatsAndGuideLinesCompareAsTheAdministratorReadsThem) {
  struct Row {
    const char* format;
    const char* guide;
    bool lineEnd;
  };
  const Row rows[] = {
      {" Status read failed:%d\r\n", " Status read failed:<code>", true},
      {" Open Printer Error :GetLastError() returns: 0x%x\n", " Open Printer Error :GetLastError() returns: 0x<hex>",
       true},
      {" Port write failed %d times:%d\n", " Port write failed <n> times:<code>", true},
      {" Within %5.2lu ms, 100%%\n", " Within <n> ms, 100%", true},
      {"GetPrinterHandle", "GetPrinterHandle", false},
      {" DevicePath:%s\n", " DevicePath:<path>", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.format);
    const ComparableLine line = FromFormat(row.format);
    EXPECT_EQ(line.text, FromGuide(row.guide));
    EXPECT_EQ(line.lineEnd, row.lineEnd);
  }
  // A "<" that opens no placeholder stays as written.
  EXPECT_EQ(FromGuide(" a < b and <n>"), " a < b and <>");
  EXPECT_EQ(Cp936ToUtf8("\xBB\xF1\xB5\xC3"), "获得");
}

TEST(DebuggerLines, TheGuideListsExactlyTheLinesTheCodeWrites) {
  const SourceLines found = ReadDebuggerLines(ProductSources(), kDiagnosticsOwnLines);
  for (const std::string& unreadable : found.unreadable) {
    ADD_FAILURE() << unreadable << ": the line it writes cannot be compared with the guide";
  }
  ASSERT_FALSE(found.lines.empty()) << "no DebugLog call read from the product's sources";

  // Several calls can write one line (a failure seen in two places).
  std::map<std::string, std::vector<const WrittenLine*>> written;
  std::map<std::string, bool> endsLine;
  for (const WrittenLine& line : found.lines) {
    const ComparableLine comparable = FromFormat(line.format);
    const std::string text = Cp936ToUtf8(comparable.text);
    written[text].push_back(&line);
    endsLine[text] = comparable.lineEnd;
  }

  const std::vector<GuideTableRow> rows = GuideTableUnder(kGuideFile, "## The debugger lines");
  ASSERT_FALSE(rows.empty()) << kGuideFile << " has no table under \"## The debugger lines\"";
  std::map<std::string, const GuideTableRow*> listed;
  for (const GuideTableRow& row : rows) {
    const std::vector<std::string> spans = CodeSpans(row.cells.at(0));
    EXPECT_FALSE(spans.empty()) << "docs/administrator-guide.md:" << row.line << ": the row names no line";
    for (const std::string& span : spans) {
      const std::string text = FromGuide(span);
      EXPECT_TRUE(listed.emplace(text, &row).second)
          << "docs/administrator-guide.md:" << row.line << " lists " << Shown(text) << " a second time";
    }
  }

  for (const auto& [text, calls] : written) {
    if (listed.count(text) == 0) {
      ADD_FAILURE() << calls.front()->where << " writes " << Shown(text)
                    << ", which the guide's table under \"The debugger lines\" does not list: add a row for it";
    }
  }
  for (const auto& [text, row] : listed) {
    const auto call = written.find(text);
    if (call == written.end()) {
      ADD_FAILURE() << "docs/administrator-guide.md:" << row->line << " lists " << Shown(text)
                    << ", which no code writes: correct the row or remove it";
      continue;
    }
    // DebugView joins a line without its line end to the next one: the
    // administrator is told so.
    if (!endsLine[text]) {
      std::string rest;
      for (std::size_t i = 1; i < row->cells.size(); ++i) rest += row->cells[i] + " ";
      EXPECT_NE(rest.find("No line end"), std::string::npos)
          << "docs/administrator-guide.md:" << row->line << ": " << Shown(text) << ", written by "
          << call->second.front()->where << " without a line end, does not say \"No line end\"";
    }
  }
}

// A duration as the guide writes it in seconds: "30", "0.8".
std::string Seconds(DWORD milliseconds) {
  std::string text = std::to_string(milliseconds / 1000);
  if (milliseconds % 1000 != 0) {
    std::string fraction = std::to_string(1000 + milliseconds % 1000).substr(1);
    fraction.erase(fraction.find_last_not_of('0') + 1);
    text += "." + fraction;
  }
  return text;
}

// The numbers an administrator reads in a line, or waits for, are the code's
// own: a bound changed in the code fails here until its row says the same.
TEST(DebuggerLines, TheGuideGivesTheNumbersTheCodeUses) {
  struct Row {
    const char* line;  // as the guide's first column writes it
    std::string says;  // what the row's other columns must contain
  };
  const Row rows[] = {
      {" Printer records did not appear within <n> ms", "`<n>` is " + std::to_string(kArrivalRecheckWindowMs)},
      {" No USB port records the device", "each pass for " + Seconds(kArrivalRecheckWindowMs) + " s"},
      {" Port write failed <n> times:<code>", "`<n>` is " + std::to_string(kPortWriteAttempts)},
      {" Spooler did not stop within <n> ms", "`<n>` is " + std::to_string(kSpoolerStopTimeoutMs)},
      {" Spooler not running within <n> ms", "`<n>` is " + std::to_string(kSpoolerStartTimeoutMs)},
      {" Spooler still stopping: it is started once stopped", "every " + Seconds(kOwedStartRetryMs) + " s"},
      {" Monitor thread still busy at shutdown", "within " + Seconds(kShutdownStopMs) + " s"},
      {"QZ5 STATUS:<n>", "about every " + std::to_string(kPollPeriodMs) + " ms"},
  };
  const std::vector<GuideTableRow> table = GuideTableUnder(kGuideFile, "## The debugger lines");
  for (const Row& row : rows) {
    const GuideTableRow* found = nullptr;
    for (const GuideTableRow& candidate : table) {
      const std::vector<std::string> spans = CodeSpans(candidate.cells.at(0));
      if (std::find(spans.begin(), spans.end(), row.line) != spans.end()) found = &candidate;
    }
    if (found == nullptr) {
      ADD_FAILURE() << "the guide's table under \"The debugger lines\" has no row for `" << row.line << "`";
      continue;
    }
    std::string rest;
    for (std::size_t i = 1; i < found->cells.size(); ++i) rest += found->cells[i] + " ";
    EXPECT_NE(rest.find(row.says), std::string::npos)
        << "docs/administrator-guide.md:" << found->line << ": the row of `" << row.line << "` should say \""
        << row.says << "\"";
  }
  EXPECT_EQ(Seconds(800), "0.8");
  EXPECT_EQ(Seconds(30000), "30");
}

}  // namespace
