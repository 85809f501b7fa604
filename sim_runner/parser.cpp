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

bool ExpectPositional(const Arguments& args, std::size_t count, const std::string& usage, std::string& error) {
  if (args.positional.size() == count) return true;
  if (args.positional.size() < count) {
    error = "missing argument; expected: " + usage;
  } else {
    error = "unexpected \"" + args.positional[count] + "\"; expected: " + usage;
  }
  return false;
}

bool TakeHex(const std::string& text, std::uint32_t limit, std::optional<std::uint32_t>& out, std::string& error) {
  const auto value = ParseHex(text);
  if (!value) {
    error = "\"" + text + "\" is not a hexadecimal value (like 0x20)";
    return false;
  }
  if (*value > limit) {
    error = "\"" + text + "\" does not fit in a byte";
    return false;
  }
  out = *value;
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
    {"fault device", Step::Kind::FaultDevice},
    {"fault spooler", Step::Kind::FaultSpooler},
    {"fault scm", Step::Kind::FaultScm},
    {"fault registry", Step::Kind::FaultRegistry},
    {"expect queue", Step::Kind::ExpectQueue},
    {"expect log", Step::Kind::ExpectLog},
    {"expect no-log", Step::Kind::ExpectNoLog},
    {"expect spooler", Step::Kind::ExpectSpooler},
    {"expect spooler-restarts", Step::Kind::ExpectSpoolerRestarts},
    {"expect service", Step::Kind::ExpectService},
    {"expect longest-control", Step::Kind::ExpectLongestControl},
    {"expect open-handles", Step::Kind::ExpectOpenHandles},
    {"expect port-writes-only", Step::Kind::ExpectPortWritesOnly},
    {"expect event", Step::Kind::ExpectEvent},
};

constexpr CommandForm kOneWordCommands[] = {
    {"queue", Step::Kind::Queue}, {"port", Step::Kind::Port},     {"device", Step::Kind::Device},
    {"plug", Step::Kind::Plug},   {"unplug", Step::Kind::Unplug}, {"status", Step::Kind::Status},
    {"wait", Step::Kind::Wait},
};

// Finds the command of a line; sets `words` to the number of words it takes.
std::optional<Step::Kind> FindCommand(const std::vector<Token>& tokens, std::size_t& words, std::string& error) {
  const std::string& first = tokens[0].raw;
  for (const CommandForm& form : kOneWordCommands) {
    if (first == form.words) {
      words = 1;
      return form.kind;
    }
  }
  if (first == "service" || first == "spooler" || first == "expect" || first == "fault") {
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
    case Kind::Device:
      if (!ExpectPositional(*args, 1, "device PATH [description=TEXT] [status=HEX] [notify-case=upper|lower|as-is]",
                            error)) {
        return false;
      }
      step.name = p[0];
      step.description = keyed("description");
      if (const auto status = keyed("status"); status && !TakeHex(*status, 0xFF, step.status, error)) return false;
      if (const auto notifyCase = keyed("notify-case")) {
        if (*notifyCase != "upper" && *notifyCase != "lower" && *notifyCase != "as-is") {
          error = "notify-case=\"" + *notifyCase + "\" is none of upper, lower, as-is";
          return false;
        }
        step.notifyCase = *notifyCase;
      }
      return true;
    case Kind::Plug:
    case Kind::Unplug:
      if (!ExpectPositional(*args, 1, step.kind == Kind::Plug ? "plug PATH" : "unplug PATH", error)) return false;
      step.name = p[0];
      return true;
    case Kind::Status:
      if (!ExpectPositional(*args, 2, "status PATH HEX", error)) return false;
      step.name = p[0];
      return TakeHex(p[1], 0xFF, step.status, error);
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
    case Kind::ExpectLongestControl:
      if (!ExpectPositional(*args, 2, "expect longest-control below DURATION", error)) return false;
      if (p[0] != "below") {
        error = "\"" + p[0] + "\" is not \"below\"; expected: expect longest-control below DURATION";
        return false;
      }
      return TakeDuration(p[1], step.number, error);
    case Kind::Wait:
      if (!ExpectPositional(*args, 1, "wait DURATION", error)) return false;
      return TakeDuration(p[0], step.number, error);
    case Kind::ExpectQueue:
      if (!ExpectPositional(*args, 1, "expect queue NAME [paused=yes|no] [status=HEX] [port=PORT]", error)) {
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
          status && !TakeHex(*status, std::numeric_limits<std::uint32_t>::max(), step.status, error)) {
        return false;
      }
      return true;
    case Kind::ExpectLog:
    case Kind::ExpectNoLog:
      if (!ExpectPositional(*args, 1, step.kind == Kind::ExpectLog ? "expect log \"TEXT\"" : "expect no-log \"TEXT\"",
                            error)) {
        return false;
      }
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
        error = "missing argument; expected: expect port-writes-only PORT...";
        return false;
      }
      step.ports = p;
      return true;
    case Kind::ExpectEvent: {
      constexpr char kUsage[] = "expect event ID [count N]";
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

Scenario ParseScenario(std::string_view text) {
  Scenario scenario;
  // Device paths by lower-case path (the machine compares them without case),
  // with the line that declared each.
  std::map<std::string, int> devices;
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
    const std::string path = Lower(step->name);
    if (step->kind == Step::Kind::Device) {
      // A device declared again gets new print-interface records (a late
      // driver); its first line declares it.
      devices.try_emplace(path, lineNumber);
    } else if ((step->kind == Step::Kind::Plug || step->kind == Step::Kind::Unplug ||
                step->kind == Step::Kind::Status || step->kind == Step::Kind::FaultDevice) &&
               !devices.contains(path)) {
      scenario.errors.push_back({lineNumber, "unknown device " + step->name + " (no earlier device line declares it)"});
      continue;
    }
    scenario.steps.push_back(std::move(*step));
  }
  return scenario;
}

}  // namespace simrunner
