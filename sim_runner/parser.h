// Reading scenario files: the whole text is parsed before anything runs, so a
// file with a bad line never starts the machine.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim_runner/scenario.h"
#include "sim_runner/status_bits.h"

namespace simrunner {

// One word of a line, its quotes removed. A word "key=value" (the "=" outside
// quotes) also has its key and value apart.
struct Token {
  std::string raw;
  std::optional<std::string> key;
  std::string value;
};

struct TokenizedLine {
  std::vector<Token> tokens;
  std::string text;  // the line up to its comment, without outer blanks
  std::optional<std::string> error;
};

// Splits a line into words. "#" starts a comment where a word would start;
// inside a word (as in a device path) it is an ordinary character.
TokenizedLine Tokenize(std::string_view line);

// The longest duration one line may give, the most virtual time a whole
// scenario may span, and the most steps its repeat blocks may unroll to: a
// mistyped number is refused at once rather than run for hours.
inline constexpr std::int64_t kLongestDuration = 30LL * 86400000;
inline constexpr std::int64_t kLongestRun = 366LL * 86400000;
inline constexpr std::size_t kMostSteps = 100000;

// "800ms", "2s", "5min", "8h", "7d" -> milliseconds.
std::optional<std::int64_t> ParseDuration(std::string_view text);
// "0x24" -> 0x24; at most 32 bits.
std::optional<std::uint32_t> ParseHex(std::string_view text);
// A decimal count, or a hexadecimal one with "0x"; at most 32 bits.
std::optional<std::uint32_t> ParseNumber(std::string_view text);
// A status as a number (decimal, or hexadecimal with "0x") or as bits named
// in `names`, several joined by "+" ("paper+cover-open"; names and numbers
// may be mixed); at most 32 bits.
std::optional<std::uint32_t> ParseStatus(std::string_view text, std::span<const NamedBit> names);

// Parses one non-blank, non-comment line. Returns the step, or sets `error`.
std::optional<Step> ParseLine(std::string_view line, int lineNumber, std::string& error);

// Parses a whole file. Besides each line's own errors, reports plug, unplug
// and status lines naming a device no earlier device line declared. A device
// named by its line ("device PATH as NAME") may be given by that name on
// later lines: their steps carry its path, their text stays as written.
// "repeat N" ... "end" blocks are unrolled into their steps (nested blocks
// too), each step keeping its line. A UTF-8 byte-order mark is skipped; a
// UTF-16 file is named as such. At most kMostErrors errors are reported.
Scenario ParseScenario(std::string_view text);

// Every command of the language as --help shows it, and the keys each takes:
// for the test that the help names them all.
struct CommandKeys {
  std::string command;
  std::vector<std::string> keys;
};
std::vector<CommandKeys> LanguageCommands();

}  // namespace simrunner
