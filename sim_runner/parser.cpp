#include "sim_runner/parser.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <map>
#include <set>

namespace simrunner {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

// Digits in `base` (10 or 16) into a value no larger than `limit`.
std::optional<std::uint64_t> ParseDigits(std::string_view digits, unsigned base, std::uint64_t limit) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (value > (limit - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

// The arguments of one command after its command words: positional words and
// key=value words, each key at most once.
struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::string> keyed;
};

std::optional<Arguments> SplitArguments(const std::vector<Token>& tokens, std::size_t first,
                                        const std::set<std::string>& allowedKeys, std::string& error) {
  Arguments args;
  for (std::size_t i = first; i < tokens.size(); ++i) {
    const Token& token = tokens[i];
    if (!token.key || allowedKeys.empty()) {
      args.positional.push_back(token.raw);
      continue;
    }
    if (!allowedKeys.contains(*token.key)) {
      error = "unknown key \"" + *token.key + "\"";
      return std::nullopt;
    }
    if (args.keyed.contains(*token.key)) {
      error = "key \"" + *token.key + "\" given twice";
      return std::nullopt;
    }
    if (token.value.empty()) {
      error = "key \"" + *token.key + "\" has an empty value";
      return std::nullopt;
    }
    args.keyed[*token.key] = token.value;
  }
  return args;
}

// The placeholder of a usage line's positional argument `index`, after the
// command's own words (defined below the command tables).
std::string PositionalName(std::string_view usage, std::size_t index);

bool ExpectPositional(const Arguments& args, std::size_t count, const std::string& usage, std::string& error) {
  if (args.positional.size() == count) return true;
  if (args.positional.size() < count) {
    error = "missing argument " + PositionalName(usage, args.positional.size()) + "; expected: " + usage;
  } else {
    error = "unexpected \"" + args.positional[count] + "\"; expected: " + usage;
  }
  return false;
}

// A status word (see ParseStatus); a bad one is named by its first bad part.
bool TakeStatus(const std::string& text, std::span<const NamedBit> names, std::uint32_t limit,
                std::optional<std::uint32_t>& out, std::string& error) {
  const auto value = ParseStatus(text, names);
  if (!value) {
    std::string_view part;
    for (std::size_t at = 0;;) {
      const std::size_t plus = text.find('+', at);
      part = std::string_view(text).substr(at, plus == std::string::npos ? std::string::npos : plus - at);
      if (!ParseStatus(part, names) || plus == std::string::npos) break;
      at = plus + 1;
    }
    if (part.starts_with("0x") || part.starts_with("0X")) {
      error = "\"" + std::string(part) + "\" is not a hexadecimal value (like 0x20)";
    } else {
      std::string known;
      for (const NamedBit& name : names) known += std::string(known.empty() ? "" : ", ") + name.scenarioName;
      error = "\"" + std::string(part) + "\" in \"" + text + "\" is neither a number (32 or 0x20) nor one of " + known;
    }
    return false;
  }
  if (*value > limit) {
    error = "\"" + text + "\" does not fit in a byte";
    return false;
  }
  out = *value;
  return true;
}

// "device PATH as NAME": the name a later line may use for PATH.
bool TakeDeviceName(const std::vector<std::string>& positional, const std::string& usage, std::string& out,
                    std::string& error) {
  if (positional.size() < 3) {
    error = "missing argument NAME after \"as\"; expected: " + usage;
    return false;
  }
  if (positional.size() > 3) {
    error = "unexpected \"" + positional[3] + "\"; expected: " + usage;
    return false;
  }
  const std::string& name = positional[2];
  const bool startsWithLetter = std::isalpha(static_cast<unsigned char>(name[0])) != 0;
  const bool restAllowed = std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.';
  });
  if (!startsWithLetter || !restAllowed) {
    error = "\"" + name + "\" is not a device name (a letter, then letters, digits, -, _ or .)";
    return false;
  }
  out = name;
  return true;
}

bool TakeDuration(const std::string& text, std::int64_t& out, std::string& error) {
  const auto value = ParseDuration(text);
  if (!value) {
    error = "\"" + text + "\" is not a duration (like 800ms or 2s)";
    return false;
  }
  out = *value;
  return true;
}

bool TakeRunningOrStopped(const std::string& text, bool& running, std::string& error) {
  if (text == "running" || text == "stopped") {
    running = text == "running";
    return true;
  }
  error = "\"" + text + "\" is neither running nor stopped";
  return false;
}

struct CommandForm {
  const char* words;
  Step::Kind kind;
};

constexpr CommandForm kTwoWordCommands[] = {
    {"service start", Step::Kind::ServiceStart},
    {"service stop", Step::Kind::ServiceStop},
    {"service control", Step::Kind::ServiceControl},
    {"spooler stop", Step::Kind::SpoolerStop},
    {"spooler start", Step::Kind::SpoolerStart},
    {"spooler stop-time", Step::Kind::SpoolerStopTime},
    {"spooler start-time", Step::Kind::SpoolerStartTime},
    {"spooler dependent", Step::Kind::SpoolerDependent},
    {"clock ticks", Step::Kind::ClockTicks},
    {"fault device", Step::Kind::FaultDevice},
    {"fault spooler", Step::Kind::FaultSpooler},
    {"fault scm", Step::Kind::FaultScm},
    {"fault registry", Step::Kind::FaultRegistry},
    {"codepage system", Step::Kind::CodePage},
    {"codepage thread", Step::Kind::CodePage},
    {"expect queue", Step::Kind::ExpectQueue},
    {"expect log", Step::Kind::ExpectLog},
    {"expect no-log", Step::Kind::ExpectNoLog},
    {"expect spooler", Step::Kind::ExpectSpooler},
    {"expect spooler-restarts", Step::Kind::ExpectSpoolerRestarts},
    {"expect service", Step::Kind::ExpectService},
    {"expect longest-control", Step::Kind::ExpectLongestControl},
    {"expect open-handles", Step::Kind::ExpectOpenHandles},
    {"expect port-writes-only", Step::Kind::ExpectPortWritesOnly},
    {"expect new-log", Step::Kind::ExpectNewLog},
    {"expect no-new-log", Step::Kind::ExpectNoNewLog},
    {"expect event", Step::Kind::ExpectEvent},
};

constexpr CommandForm kOneWordCommands[] = {
    {"queue", Step::Kind::Queue}, {"port", Step::Kind::Port},     {"device", Step::Kind::Device},
    {"plug", Step::Kind::Plug},   {"unplug", Step::Kind::Unplug}, {"status", Step::Kind::Status},
    {"wait", Step::Kind::Wait},
};

std::string PositionalName(std::string_view usage, std::size_t index) {
  std::vector<std::string_view> words;
  for (std::size_t at = 0; at < usage.size();) {
    const std::size_t end = std::min(usage.find(' ', at), usage.size());
    if (end > at) words.push_back(usage.substr(at, end - at));
    at = end + 1;
  }
  std::size_t commandWords = words.empty() ? 0 : 1;
  if (words.size() >= 2) {
    const std::string both = std::string(words[0]) + " " + std::string(words[1]);
    for (const CommandForm& form : kTwoWordCommands) commandWords = both == form.words ? 2 : commandWords;
  }
  // Optional words are in brackets ("[as NAME]"), keyed ones have a "=".
  int depth = 0;
  std::size_t seen = 0;
  for (std::size_t i = commandWords; i < words.size(); ++i) {
    const std::string_view word = words[i];
    const bool positional = depth == 0 && !word.starts_with('[') && word.find('=') == std::string_view::npos;
    depth += static_cast<int>(std::count(word.begin(), word.end(), '[') - std::count(word.begin(), word.end(), ']'));
    if (positional && seen++ == index) return std::string(word);
  }
  return "(argument " + std::to_string(index + 1) + ")";
}

// Finds the command of a line; sets `words` to the number of words it takes.
std::optional<Step::Kind> FindCommand(const std::vector<Token>& tokens, std::size_t& words, std::string& error) {
  const std::string& first = tokens[0].raw;
  for (const CommandForm& form : kOneWordCommands) {
    if (first == form.words) {
      words = 1;
      return form.kind;
    }
  }
  if (first == "service" || first == "spooler" || first == "expect" || first == "fault" || first == "clock" ||
      first == "codepage") {
    if (tokens.size() < 2) {
      error = "\"" + first + "\" needs a second word";
      return std::nullopt;
    }
    const std::string both = first + " " + tokens[1].raw;
    for (const CommandForm& form : kTwoWordCommands) {
      if (both == form.words) {
        words = 2;
        return form.kind;
      }
    }
    error = "unknown command \"" + both + "\"";
    return std::nullopt;
  }
  error = "unknown command \"" + first + "\"";
  return std::nullopt;
}

// Fills the step from the arguments of its command.
bool FillStep(Step& step, const std::vector<Token>& tokens, std::size_t first, std::string& error) {
  using Kind = Step::Kind;
  std::set<std::string> keys;
  switch (step.kind) {
    case Kind::Queue:
      keys = {"port"};
      break;
    case Kind::Port:
      keys = {"device-id"};
      break;
    case Kind::Device:
      keys = {"description", "status", "notify-case"};
      break;
    case Kind::ExpectQueue:
      keys = {"paused", "status", "port"};
      break;
    case Kind::FaultDevice:
      keys = {"read-error", "short-read", "read-latency", "open-latency", "held"};
      break;
    case Kind::FaultSpooler:
      keys = {"reject-port-writes", "enum-ports-error", "latency"};
      break;
    case Kind::FaultRegistry:
      keys = {"latency"};
      break;
    case Kind::FaultScm:
      keys = {"unreachable", "latency"};
      break;
    default:
      break;
  }
  const auto args = SplitArguments(tokens, first, keys, error);
  if (!args) return false;
  const auto& p = args->positional;
  const auto keyed = [&](const char* key) -> std::optional<std::string> {
    const auto it = args->keyed.find(key);
    return it == args->keyed.end() ? std::nullopt : std::optional<std::string>(it->second);
  };

  // A numeric key's value, when given.
  const auto number = [&](const char* key, std::optional<std::uint32_t>& out) {
    const auto text = keyed(key);
    if (!text) return true;
    out = ParseNumber(*text);
    if (!out) error = std::string(key) + "=\"" + *text + "\" is not a number";
    return out.has_value();
  };
  const auto duration = [&](const char* key, std::int64_t& out) {
    const auto text = keyed(key);
    return !text || TakeDuration(*text, out, error);
  };
  const auto optionalDuration = [&](const char* key, std::optional<std::int64_t>& out) {
    const auto text = keyed(key);
    if (!text) return true;
    std::int64_t value = 0;
    if (!TakeDuration(*text, value, error)) return false;
    out = value;
    return true;
  };

  switch (step.kind) {
    case Kind::FaultDevice: {
      constexpr char kUsage[] =
          "fault device PATH [read-error=N] [short-read=N] [read-latency=D] [open-latency=D] [held=yes|no]";
      if (!ExpectPositional(*args, 1, kUsage, error)) return false;
      step.name = p[0];
      FaultSettings& f = step.faults;
      if (const auto held = keyed("held")) {
        if (*held != "yes" && *held != "no") {
          error = "held=\"" + *held + "\" is neither yes nor no";
          return false;
        }
        f.held = *held == "yes";
      }
      return number("read-error", f.readError) && number("short-read", f.shortRead) &&
             duration("read-latency", f.readLatency) && duration("open-latency", f.openLatency);
    }
    case Kind::FaultSpooler: {
      constexpr char kUsage[] = "fault spooler [reject-port-writes=N] [enum-ports-error=N] [latency=DURATION]";
      if (!ExpectPositional(*args, 0, kUsage, error)) return false;
      if (args->keyed.empty()) {
        error = std::string("nothing to set; expected: ") + kUsage;
        return false;
      }
      return number("reject-port-writes", step.faults.portWriteError) &&
             number("enum-ports-error", step.faults.enumPortsError) &&
             optionalDuration("latency", step.faults.spoolerLatency);
    }
    case Kind::FaultRegistry:
      if (!ExpectPositional(*args, 0, "fault registry latency=DURATION", error)) return false;
      if (!keyed("latency")) {
        error = "missing key \"latency\"; expected: fault registry latency=DURATION";
        return false;
      }
      return optionalDuration("latency", step.faults.registryLatency);
    case Kind::FaultScm:
      if (!ExpectPositional(*args, 0, "fault scm [unreachable=N] [latency=DURATION]", error)) return false;
      if (args->keyed.empty()) {
        error = "nothing to set; expected: fault scm [unreachable=N] [latency=DURATION]";
        return false;
      }
      return number("unreachable", step.faults.scmError) && optionalDuration("latency", step.faults.scmLatency);
    case Kind::Queue:
      if (!ExpectPositional(*args, 1, "queue NAME port=PORT", error)) return false;
      step.name = p[0];
      step.port = keyed("port");
      if (!step.port) {
        error = "missing key \"port\"; expected: queue NAME port=PORT";
        return false;
      }
      return true;
    case Kind::Port:
      if (!ExpectPositional(*args, 1, "port NAME [device-id=TEXT]", error)) return false;
      step.name = p[0];
      step.deviceId = keyed("device-id");
      return true;
    case Kind::Device: {
      constexpr char kUsage[] =
          "device PATH [as NAME] [description=TEXT] [status=BYTE] [notify-case=upper|lower|as-is]";
      if (p.size() >= 2 && p[1] == "as") {
        if (!TakeDeviceName(p, kUsage, step.shortName, error)) return false;
      } else if (!ExpectPositional(*args, 1, kUsage, error)) {
        return false;
      }
      step.name = p[0];
      step.description = keyed("description");
      if (const auto status = keyed("status");
          status && !TakeStatus(*status, kPrinterStatusBits, 0xFF, step.status, error)) {
        return false;
      }
      if (const auto notifyCase = keyed("notify-case")) {
        if (*notifyCase != "upper" && *notifyCase != "lower" && *notifyCase != "as-is") {
          error = "notify-case=\"" + *notifyCase + "\" is none of upper, lower, as-is";
          return false;
        }
        step.notifyCase = *notifyCase;
      }
      return true;
    }
    case Kind::Plug:
    case Kind::Unplug:
      if (!ExpectPositional(*args, 1, step.kind == Kind::Plug ? "plug PATH" : "unplug PATH", error)) return false;
      step.name = p[0];
      return true;
    case Kind::Status:
      if (!ExpectPositional(*args, 2, "status PATH BYTE", error)) return false;
      step.name = p[0];
      return TakeStatus(p[1], kPrinterStatusBits, 0xFF, step.status, error);
    case Kind::ServiceStart:
    case Kind::ServiceStop:
    case Kind::SpoolerStop:
    case Kind::SpoolerStart:
      return ExpectPositional(*args, 0, step.text, error);
    case Kind::ServiceControl: {
      if (!ExpectPositional(*args, 1, "service control N", error)) return false;
      const auto control = ParseNumber(p[0]);
      if (!control) {
        error = "\"" + p[0] + "\" is not a control code";
        return false;
      }
      step.number = *control;
      return true;
    }
    case Kind::SpoolerStopTime:
      if (!ExpectPositional(*args, 1, "spooler stop-time DURATION", error)) return false;
      return TakeDuration(p[0], step.number, error);
    case Kind::SpoolerStartTime:
      if (!ExpectPositional(*args, 1, "spooler start-time DURATION", error)) return false;
      return TakeDuration(p[0], step.number, error);
    case Kind::SpoolerDependent:
      if (!ExpectPositional(*args, 2, "spooler dependent NAME running|stopped", error)) return false;
      step.name = p[0];
      return TakeRunningOrStopped(p[1], step.running, error);
    case Kind::ExpectLongestControl: {
      const std::string usage = "expect longest-control below DURATION";
      if (!p.empty() && p[0] != "below") {
        error = "\"" + p[0] + "\" is not \"below\"; expected: " + usage;
        return false;
      }
      return ExpectPositional(*args, 2, usage, error) && TakeDuration(p[1], step.number, error);
    }
    case Kind::Wait:
      if (!ExpectPositional(*args, 1, "wait DURATION", error)) return false;
      return TakeDuration(p[0], step.number, error);
    case Kind::ClockTicks: {
      if (!ExpectPositional(*args, 1, "clock ticks N", error)) return false;
      const auto ticks = ParseNumber(p[0]);
      if (!ticks) {
        error = "\"" + p[0] + "\" is not a tick count (0 to 4294967295)";
        return false;
      }
      step.number = *ticks;
      return true;
    }
    case Kind::CodePage: {
      step.name = tokens[first - 1].raw;
      if (!ExpectPositional(*args, 1, "codepage system|thread 1252|936|65001", error)) return false;
      const auto codePage = ParseDigits(p[0], 10, std::numeric_limits<std::uint32_t>::max());
      if (!codePage || (*codePage != 1252 && *codePage != 936 && *codePage != 65001)) {
        error = "\"" + p[0] + "\" is none of the code pages 1252, 936, 65001";
        return false;
      }
      step.number = static_cast<std::int64_t>(*codePage);
      return true;
    }
    case Kind::ExpectQueue:
      if (!ExpectPositional(*args, 1, "expect queue NAME [paused=yes|no] [status=STATUS] [port=PORT]", error)) {
        return false;
      }
      step.name = p[0];
      step.port = keyed("port");
      if (const auto paused = keyed("paused")) {
        if (*paused != "yes" && *paused != "no") {
          error = "paused=\"" + *paused + "\" is neither yes nor no";
          return false;
        }
        step.paused = *paused == "yes";
      }
      if (const auto status = keyed("status");
          status &&
          !TakeStatus(*status, kQueueStatusBits, std::numeric_limits<std::uint32_t>::max(), step.status, error)) {
        return false;
      }
      return true;
    case Kind::ExpectLog:
    case Kind::ExpectNoLog:
    case Kind::ExpectNewLog:
    case Kind::ExpectNoNewLog:
      if (!ExpectPositional(*args, 1, "expect " + tokens[1].raw + " \"TEXT\"", error)) return false;
      if (p[0].empty()) {
        error = "the text to look for is empty";
        return false;
      }
      step.name = p[0];
      return true;
    case Kind::ExpectSpooler:
      if (!ExpectPositional(*args, 1, "expect spooler running|stopped", error)) return false;
      return TakeRunningOrStopped(p[0], step.running, error);
    case Kind::ExpectService:
      if (!ExpectPositional(*args, 1, "expect service running|stopped", error)) return false;
      return TakeRunningOrStopped(p[0], step.running, error);
    case Kind::ExpectPortWritesOnly:
      if (p.empty()) {
        error = "missing argument PORT...; expected: expect port-writes-only PORT...";
        return false;
      }
      step.ports = p;
      return true;
    case Kind::ExpectEvent: {
      constexpr char kUsage[] = "expect event ID [count N]";
      if (p.size() == 2 && p[1] == "count") {
        error = std::string("missing argument N after \"count\"; expected: ") + kUsage;
        return false;
      }
      if (p.size() != 1 && p.size() != 3) return ExpectPositional(*args, p.size() < 1 ? 1 : 3, kUsage, error);
      const auto id = ParseDigits(p[0], 10, 0xFFFF);
      if (!id) {
        error = "\"" + p[0] + "\" is not an event id (0 to 65535)";
        return false;
      }
      step.number = static_cast<std::int64_t>(*id);
      if (p.size() == 3) {
        const auto count =
            p[1] == "count" ? ParseDigits(p[2], 10, std::numeric_limits<std::int32_t>::max()) : std::nullopt;
        if (!count) {
          error = "\"" + p[1] + " " + p[2] + "\" is not \"count N\"; expected: " + kUsage;
          return false;
        }
        step.count = static_cast<std::int64_t>(*count);
      }
      return true;
    }
    case Kind::ExpectOpenHandles:
    case Kind::ExpectSpoolerRestarts: {
      const bool handles = step.kind == Kind::ExpectOpenHandles;
      if (!ExpectPositional(*args, 1, handles ? "expect open-handles N" : "expect spooler-restarts N", error)) {
        return false;
      }
      const auto count = ParseDigits(p[0], 10, std::numeric_limits<std::int32_t>::max());
      if (!count) {
        error = "\"" + p[0] + "\" is not a count";
        return false;
      }
      step.number = static_cast<std::int64_t>(*count);
      return true;
    }
  }
  error = "internal: unhandled command";
  return false;
}

}  // namespace

TokenizedLine Tokenize(std::string_view line) {
  TokenizedLine result;
  std::size_t i = 0;
  std::size_t end = 0;  // end of the last word, for the line's text
  while (true) {
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i >= line.size() || line[i] == '#') break;
    Token token;
    bool inQuotes = false;
    std::size_t quoteStart = 0;
    for (; i < line.size() && (inQuotes || !IsBlank(line[i])); ++i) {
      const char c = line[i];
      if (c == '"') {
        inQuotes = !inQuotes;
        quoteStart = i;
      } else if (c == '=' && !inQuotes && !token.key && !token.raw.empty()) {
        token.key = token.raw;
        token.raw.push_back(c);
      } else {
        token.raw.push_back(c);
        if (token.key) token.value.push_back(c);
      }
    }
    if (inQuotes) {
      result.error = "unterminated quote (opened at column " + std::to_string(quoteStart + 1) + ")";
      return result;
    }
    end = i;
    result.tokens.push_back(std::move(token));
  }
  std::size_t start = 0;
  while (start < end && IsBlank(line[start])) ++start;
  result.text = std::string(line.substr(start, end - start));
  return result;
}

std::optional<std::int64_t> ParseDuration(std::string_view text) {
  std::int64_t scale = 0;
  if (text.ends_with("ms")) {
    scale = 1;
    text.remove_suffix(2);
  } else if (text.ends_with("s")) {
    scale = 1000;
    text.remove_suffix(1);
  } else {
    return std::nullopt;
  }
  const auto value =
      ParseDigits(text, 10, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max() / scale));
  if (!value) return std::nullopt;
  return static_cast<std::int64_t>(*value) * scale;
}

std::optional<std::uint32_t> ParseHex(std::string_view text) {
  if (!text.starts_with("0x") && !text.starts_with("0X")) return std::nullopt;
  const auto value = ParseDigits(text.substr(2), 16, std::numeric_limits<std::uint32_t>::max());
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::optional<std::uint32_t> ParseNumber(std::string_view text) {
  if (text.starts_with("0x") || text.starts_with("0X")) return ParseHex(text);
  const auto value = ParseDigits(text, 10, std::numeric_limits<std::uint32_t>::max());
  if (!value) return std::nullopt;
  return static_cast<std::uint32_t>(*value);
}

std::optional<std::uint32_t> ParseStatus(std::string_view text, std::span<const NamedBit> names) {
  std::uint32_t value = 0;
  while (true) {
    const std::string_view part = text.substr(0, text.find('+'));
    std::optional<std::uint32_t> bits = ParseNumber(part);
    for (const NamedBit& name : names) {
      if (part == name.scenarioName) bits = name.bit;
    }
    if (!bits) return std::nullopt;
    value |= *bits;
    if (part.size() == text.size()) return value;
    text.remove_prefix(part.size() + 1);
  }
}

std::optional<Step> ParseLine(std::string_view line, int lineNumber, std::string& error) {
  const TokenizedLine tokenized = Tokenize(line);
  if (tokenized.error) {
    error = *tokenized.error;
    return std::nullopt;
  }
  if (tokenized.tokens.empty()) {
    error = "empty line";
    return std::nullopt;
  }
  Step step;
  step.line = lineNumber;
  step.text = tokenized.text;
  std::size_t words = 0;
  const auto kind = FindCommand(tokenized.tokens, words, error);
  if (!kind) return std::nullopt;
  step.kind = *kind;
  if (!FillStep(step, tokenized.tokens, words, error)) return std::nullopt;
  return step;
}

namespace {

bool NamesDevice(Step::Kind kind) {
  using Kind = Step::Kind;
  return kind == Kind::Device || kind == Kind::Plug || kind == Kind::Unplug || kind == Kind::Status ||
         kind == Kind::FaultDevice;
}

// The declared devices: each path (compared without case, as the machine
// does) with the line that declared it, and the short names given to paths.
struct DeclaredDevices {
  struct Declaration {
    int line = 0;
    std::string shortName;
  };
  std::map<std::string, Declaration> byPath;
  std::map<std::string, std::string> pathByName;

  // Puts the path in place of a short name.
  void Resolve(Step& step) const {
    if (const auto it = pathByName.find(Lower(step.name)); it != pathByName.end()) step.name = it->second;
  }

  // Declares the device of a device line; a declared device gets new
  // print-interface records (a late driver), and keeps its one short name.
  std::optional<std::string> Declare(const Step& step, int line) {
    const std::string path = Lower(step.name);
    const auto it = byPath.try_emplace(path, Declaration{line, {}}).first;
    if (step.shortName.empty()) return std::nullopt;
    const std::string name = Lower(step.shortName);
    if (!it->second.shortName.empty() && Lower(it->second.shortName) != name) {
      return "the device of line " + std::to_string(it->second.line) + " is already named " + it->second.shortName;
    }
    if (byPath.contains(name)) return "\"" + step.shortName + "\" is already a device path";
    if (const auto named = pathByName.find(name); named != pathByName.end() && Lower(named->second) != path) {
      return "\"" + step.shortName + "\" already names " + named->second;
    }
    it->second.shortName = step.shortName;
    pathByName[name] = step.name;
    return std::nullopt;
  }
};

}  // namespace

Scenario ParseScenario(std::string_view text) {
  Scenario scenario;
  DeclaredDevices devices;
  int lineNumber = 0;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    const std::size_t newline = text.find('\n', pos);
    const std::string_view line =
        text.substr(pos, newline == std::string_view::npos ? std::string_view::npos : newline - pos);
    pos = newline == std::string_view::npos ? text.size() + 1 : newline + 1;
    ++lineNumber;
    const TokenizedLine tokenized = Tokenize(line);
    if (!tokenized.error && tokenized.tokens.empty()) continue;  // blank or comment

    std::string error;
    auto step = ParseLine(line, lineNumber, error);
    if (!step) {
      scenario.errors.push_back({lineNumber, error});
      continue;
    }
    if (NamesDevice(step->kind)) devices.Resolve(*step);
    if (step->kind == Step::Kind::Device) {
      if (auto why = devices.Declare(*step, lineNumber)) {
        scenario.errors.push_back({lineNumber, std::move(*why)});
        continue;
      }
    } else if (NamesDevice(step->kind) && !devices.byPath.contains(Lower(step->name))) {
      scenario.errors.push_back({lineNumber, "unknown device " + step->name + " (no earlier device line declares it)"});
      continue;
    }
    scenario.steps.push_back(std::move(*step));
  }
  return scenario;
}

}  // namespace simrunner
