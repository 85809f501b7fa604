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

// How many single-character edits turn `a` into `b`, two neighbours
// swapped counting as one ("strat" is one from "start").
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// "; did you mean \"port\"?" for the closest of `names` to a misspelt word,
// when it is close enough to be the likely intent (at most a third of its
// letters wrong); else nothing.
std::string Suggestion(std::string_view word, const std::vector<std::string>& names) {
  const std::string* best = nullptr;
  std::size_t bestDistance = 0;
  for (const std::string& name : names) {
    const std::size_t distance = EditDistance(Lower(word), name);
    if (best == nullptr || distance < bestDistance) {
      best = &name;
      bestDistance = distance;
    }
  }
  if (best == nullptr || bestDistance * 3 > std::max(best->size(), word.size())) return "";
  return "; did you mean \"" + *best + "\"?";
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
      std::string allowed;
      for (const std::string& key : allowedKeys) allowed += std::string(allowed.empty() ? "" : ", ") + key;
      error = "unknown key \"" + *token.key + "\"" +
              Suggestion(*token.key, std::vector<std::string>(allowedKeys.begin(), allowedKeys.end())) +
              " (keys: " + allowed + ")";
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
    error = "\"" + text + "\" is not a duration (like 800ms, 2s, 5min, 8h, 7d or 2h30min)";
    return false;
  }
  if (*value > kLongestDuration) {
    error = "\"" + text + "\" is longer than 30d, the longest duration a line may give (repeat a wait for more)";
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
    {"spooler restart", Step::Kind::SpoolerRestart},
    {"usb removal", Step::Kind::UsbRemoval},
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
    {"queue", Step::Kind::Queue}, {"port", Step::Kind::Port},         {"device", Step::Kind::Device},
    {"plug", Step::Kind::Plug},   {"unplug", Step::Kind::Unplug},     {"status", Step::Kind::Status},
    {"wait", Step::Kind::Wait},   {"registry", Step::Kind::Registry},
};

// The first words of the commands, for suggestions; "repeat" and "end"
// shape the file rather than being steps.
std::vector<std::string> FirstWords() {
  std::vector<std::string> words = {"repeat", "end"};
  for (const CommandForm& form : kOneWordCommands) words.emplace_back(form.words);
  for (const CommandForm& form : kTwoWordCommands) {
    const std::string first = std::string(form.words).substr(0, std::string_view(form.words).find(' '));
    if (std::find(words.begin(), words.end(), first) == words.end()) words.push_back(first);
  }
  return words;
}

// The registry types a registry line may give, by their scenario names.
struct RegistryType {
  const char* name;
  std::uint32_t type;
};
constexpr RegistryType kRegistryTypes[] = {
    {"sz", 1}, {"expand-sz", 2}, {"binary", 3}, {"dword", 4}, {"multi-sz", 7}, {"qword", 11},
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
      first == "codepage" || first == "usb") {
    if (tokens.size() < 2) {
      error = "\"" + first + "\" needs a second word";
      return std::nullopt;
    }
    const std::string both = first + " " + tokens[1].raw;
    std::vector<std::string> seconds;
    for (const CommandForm& form : kTwoWordCommands) {
      if (both == form.words) {
        words = 2;
        return form.kind;
      }
      if (std::string_view(form.words).starts_with(first + " ")) seconds.emplace_back(form.words + first.size() + 1);
    }
    error = "unknown command \"" + both + "\"" + Suggestion(tokens[1].raw, seconds);
    return std::nullopt;
  }
  error = "unknown command \"" + first + "\"" + Suggestion(first, FirstWords());
  return std::nullopt;
}

// The keys a command takes.
std::set<std::string> KeysOf(Step::Kind kind) {
  using Kind = Step::Kind;
  std::set<std::string> keys;
  switch (kind) {
    case Kind::Queue:
      keys = {"port"};
      break;
    case Kind::Registry:
      keys = {"type", "value", "size"};
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
  return keys;
}

// Fills the step from the arguments of its command.
bool FillStep(Step& step, const std::vector<Token>& tokens, std::size_t first, std::string& error) {
  using Kind = Step::Kind;
  const auto args = SplitArguments(tokens, first, KeysOf(step.kind), error);
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
    case Kind::Queue: {
      constexpr char kUsage[] = "queue NAME port=PORT | queue NAME create port=PORT | queue NAME delete";
      if (p.size() == 2 && p[1] == "delete") {
        step.kind = Kind::QueueDelete;
        step.name = p[0];
        if (!args->keyed.empty()) {
          error = std::string("\"delete\" takes no keys; expected: ") + kUsage;
          return false;
        }
        return true;
      }
      if (p.size() == 2 && p[1] == "create") {
        step.kind = Kind::QueueCreate;
      } else if (p.size() == 2) {
        error = "\"" + p[1] + "\" is neither create nor delete" + Suggestion(p[1], {"create", "delete"}) +
                "; expected: " + kUsage;
        return false;
      } else if (!ExpectPositional(*args, 1, kUsage, error)) {
        return false;
      }
      step.name = p[0];
      step.port = keyed("port");
      if (!step.port) {
        error = std::string("missing key \"port\"; expected: ") + kUsage;
        return false;
      }
      return true;
    }
    case Kind::Registry: {
      constexpr char kUsage[] = "registry KEY NAME type=sz|expand-sz|multi-sz|dword|qword|binary value=TEXT [size=N]";
      if (!ExpectPositional(*args, 2, kUsage, error)) return false;
      std::string key = p[0];
      for (const char* root : {"HKLM\\", "HKEY_LOCAL_MACHINE\\"}) {
        if (Lower(key).starts_with(Lower(root))) key.erase(0, std::string_view(root).size());
      }
      if (key.empty()) {
        error = std::string("the key is empty; expected: ") + kUsage;
        return false;
      }
      step.name = key;
      step.valueName = p[1];
      const auto type = keyed("type");
      const auto value = keyed("value");
      if (!type || !value) {
        error = std::string("missing key \"") + (type ? "value" : "type") + "\"; expected: " + kUsage;
        return false;
      }
      std::vector<std::string> typeNames;
      for (const RegistryType& known : kRegistryTypes) {
        typeNames.emplace_back(known.name);
        if (Lower(*type) == known.name) step.valueType = known.type;
      }
      if (step.valueType == 0) {
        error = "type=\"" + *type + "\" is none of sz, expand-sz, multi-sz, dword, qword, binary" +
                Suggestion(*type, typeNames);
        return false;
      }
      step.value = *value;
      if ((step.valueType == 4 || step.valueType == 11) && !ParseNumber(step.value) &&
          !(step.valueType == 11 && ParseDigits(step.value, 10, std::numeric_limits<std::uint64_t>::max()))) {
        error = "value=\"" + step.value + "\" is not a number";
        return false;
      }
      if (step.valueType == 3 &&
          (step.value.size() % 2 != 0 ||
           !std::all_of(step.value.begin(), step.value.end(), [](unsigned char c) { return std::isxdigit(c) != 0; }))) {
        error = "value=\"" + step.value + "\" is not bytes in hexadecimal, two digits each (like 01ff00)";
        return false;
      }
      if (!number("size", step.size)) return false;
      const bool text = step.valueType == 1 || step.valueType == 2 || step.valueType == 7;
      if (text && step.size && *step.size % 2 != 0) {
        error = "size=" + std::to_string(*step.size) + " is odd: a text value is UTF-16, two bytes a character";
        return false;
      }
      if (step.size && *step.size > 65536) {
        error = "size=" + std::to_string(*step.size) + " is more than the 65536 bytes a scenario may write";
        return false;
      }
      return true;
    }
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
    case Kind::UsbRemoval:
    case Kind::SpoolerRestart: {
      const bool usb = step.kind == Kind::UsbRemoval;
      const std::string usage =
          usb ? "usb removal waits-for-handles|at-once" : "spooler restart forgets-status|keeps-status";
      if (!ExpectPositional(*args, 1, usage, error)) return false;
      const char* faithful = usb ? "waits-for-handles" : "forgets-status";
      const char* kind = usb ? "at-once" : "keeps-status";
      if (p[0] != faithful && p[0] != kind) {
        error = "\"" + p[0] + "\" is neither " + faithful + " nor " + kind + Suggestion(p[0], {faithful, kind});
        return false;
      }
      step.running = p[0] == faithful;
      return true;
    }
    case Kind::QueueCreate:
    case Kind::QueueDelete:
      break;  // the queue line's own forms, told apart above
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
  struct Unit {
    std::string_view suffix;
    std::int64_t scale;
  };
  // "ms" and "min" before "s" and "m": the longer unit is the one meant.
  constexpr Unit kUnits[] = {{"ms", 1}, {"min", 60000}, {"s", 1000}, {"h", 3600000}, {"d", 86400000}};
  constexpr auto kLimit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  if (text.empty()) return std::nullopt;
  std::uint64_t total = 0;
  // Parts from the largest unit down, each a number and its unit: "2h30min".
  while (!text.empty()) {
    std::size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    const Unit* unit = nullptr;
    for (const Unit& candidate : kUnits) {
      if (text.substr(digits).starts_with(candidate.suffix)) {
        unit = &candidate;
        break;
      }
    }
    if (digits == 0 || unit == nullptr) return std::nullopt;
    const auto scale = static_cast<std::uint64_t>(unit->scale);
    const auto value = ParseDigits(text.substr(0, digits), 10, (kLimit - total) / scale);
    if (!value) return std::nullopt;
    total += *value * scale;
    text.remove_prefix(digits + unit->suffix.size());
  }
  return static_cast<std::int64_t>(total);
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

namespace {

// A file saved as UTF-16 reads as a NUL between ASCII characters.
std::optional<std::string> Utf16Name(std::string_view text) {
  if (text.starts_with("\xFF\xFE")) return "UTF-16 (little-endian, byte-order mark FF FE)";
  if (text.starts_with("\xFE\xFF")) return "UTF-16 (big-endian, byte-order mark FE FF)";
  if (text.size() >= 4 && text[1] == '\0' && text[3] == '\0' && text[0] != '\0') return "UTF-16 (little-endian)";
  if (text.size() >= 4 && text[0] == '\0' && text[2] == '\0' && text[1] != '\0') return "UTF-16 (big-endian)";
  return std::nullopt;
}

struct SourceLine {
  int number;
  std::string_view text;
};

// The lines of the file in the order they are played: "repeat N" blocks
// unrolled. Structure errors (an "end" with no block, a block with no end, a
// bad count) go to `errors`.
class Unroller {
 public:
  Unroller(const std::vector<SourceLine>& lines, std::vector<ParseError>& errors) : lines_(lines), errors_(errors) {}

  std::vector<SourceLine> Unroll() {
    std::vector<SourceLine> out;
    std::size_t at = 0;
    Block(at, out, 0);
    return out;
  }

 private:
  // Appends the lines from `at` up to the end of the block (or the file) to
  // `out`; leaves `at` on the block's "end".
  void Block(std::size_t& at, std::vector<SourceLine>& out, int depth) {
    for (; at < lines_.size(); ++at) {
      const TokenizedLine tokenized = Tokenize(lines_[at].text);
      if (tokenized.error || tokenized.tokens.empty()) {
        out.push_back(lines_[at]);
        continue;
      }
      const std::string& first = tokenized.tokens[0].raw;
      if (first == "end") {
        if (tokenized.tokens.size() > 1) {
          errors_.push_back({lines_[at].number, "unexpected \"" + tokenized.tokens[1].raw + "\"; expected: end"});
        }
        if (depth > 0) return;
        errors_.push_back({lines_[at].number, "\"end\" with no repeat block open"});
        continue;
      }
      if (first != "repeat") {
        out.push_back(lines_[at]);
        continue;
      }
      const int repeatLine = lines_[at].number;
      std::optional<std::uint64_t> count;
      if (tokenized.tokens.size() == 2) count = ParseDigits(tokenized.tokens[1].raw, 10, kMostSteps);
      if (!count || *count == 0) {
        errors_.push_back({repeatLine, tokenized.tokens.size() == 2
                                           ? "\"" + tokenized.tokens[1].raw + "\" is not a count from 1 to " +
                                                 std::to_string(kMostSteps) + "; expected: repeat N"
                                           : std::string("expected: repeat N, the block's lines, then end")});
        count = 1;
      }
      std::vector<SourceLine> body;
      ++at;
      Block(at, body, depth + 1);
      if (at >= lines_.size()) errors_.push_back({repeatLine, "repeat block with no \"end\""});
      for (std::uint64_t i = 0; i < *count && !tooMany_; ++i) {
        if (out.size() + body.size() > kMostSteps * 2) {
          errors_.push_back({repeatLine, "the repeat unrolls to more than " + std::to_string(kMostSteps) + " steps"});
          tooMany_ = true;
        } else {
          out.insert(out.end(), body.begin(), body.end());
        }
      }
      if (at >= lines_.size()) return;
    }
  }

  const std::vector<SourceLine>& lines_;
  std::vector<ParseError>& errors_;
  bool tooMany_ = false;
};

}  // namespace

Scenario ParseScenario(std::string_view text) {
  Scenario scenario;
  if (const auto utf16 = Utf16Name(text)) {
    scenario.errors.push_back({0, "the file is " + *utf16 + "; a scenario file is UTF-8 or ASCII: save it as UTF-8"});
    return scenario;
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // a UTF-8 byte-order mark

  std::vector<SourceLine> lines;
  for (std::size_t pos = 0; pos <= text.size();) {
    const std::size_t newline = text.find('\n', pos);
    const std::size_t end = newline == std::string_view::npos ? text.size() : newline;
    lines.push_back({static_cast<int>(lines.size() + 1), text.substr(pos, end - pos)});
    pos = end + 1;
  }
  std::vector<ParseError> structure;
  const std::vector<SourceLine> played = Unroller(lines, structure).Unroll();

  std::set<int> failedLines;
  const auto fail = [&](int line, std::string why) {
    // A line in a repeat block that fails is told once.
    if (!failedLines.insert(line).second) return;
    if (scenario.errors.size() == kMostErrors) {
      scenario.tooManyErrors = true;
      return;
    }
    scenario.errors.push_back({line, std::move(why)});
  };
  for (ParseError& error : structure) fail(error.line, std::move(error.why));

  DeclaredDevices devices;
  std::set<std::string> queues;  // the queues there are at each line, by name without case
  std::int64_t virtualTime = 0;
  std::size_t steps = 0;
  for (const SourceLine& source : played) {
    if (scenario.tooManyErrors) break;
    const TokenizedLine tokenized = Tokenize(source.text);
    if (!tokenized.error && tokenized.tokens.empty()) continue;  // blank or comment
    const int lineNumber = source.number;

    std::string error;
    auto step = ParseLine(source.text, lineNumber, error);
    if (!step) {
      fail(lineNumber, error);
      continue;
    }
    if (NamesDevice(step->kind)) devices.Resolve(*step);
    if (step->kind == Step::Kind::Device) {
      if (auto why = devices.Declare(*step, lineNumber)) {
        fail(lineNumber, std::move(*why));
        continue;
      }
    } else if (NamesDevice(step->kind) && !devices.byPath.contains(Lower(step->name))) {
      fail(lineNumber, "unknown device " + step->name + " (no earlier device line declares it)");
      continue;
    }
    const std::string queue = Lower(step->name);
    if (step->kind == Step::Kind::Queue) queues.insert(queue);
    if (step->kind == Step::Kind::QueueCreate && !queues.insert(queue).second) {
      fail(lineNumber,
           "queue " + step->name + " is there already (\"queue " + step->name + " port=PORT\" changes its port)");
      continue;
    }
    if (step->kind == Step::Kind::QueueDelete && queues.erase(queue) == 0) {
      fail(lineNumber, "no queue " + step->name + " to delete (no earlier queue line adds it)");
      continue;
    }
    if (step->kind == Step::Kind::Wait) {
      virtualTime += step->number;
      if (virtualTime > kLongestRun) {
        fail(lineNumber, "the waits add up to more than 366d, the most virtual time a scenario may span");
        break;
      }
    }
    if (++steps > kMostSteps) {
      fail(lineNumber, "more than " + std::to_string(kMostSteps) + " steps, the most a scenario may play");
      break;
    }
    scenario.steps.push_back(std::move(*step));
  }
  std::stable_sort(scenario.errors.begin(), scenario.errors.end(),
                   [](const ParseError& a, const ParseError& b) { return a.line < b.line; });
  return scenario;
}

std::vector<CommandKeys> LanguageCommands() {
  std::vector<CommandKeys> commands;
  const auto add = [&](std::string words, Step::Kind kind) {
    const std::set<std::string> keys = KeysOf(kind);
    commands.push_back({std::move(words), std::vector<std::string>(keys.begin(), keys.end())});
  };
  for (const CommandForm& form : kOneWordCommands) add(form.words, form.kind);
  for (const CommandForm& form : kTwoWordCommands) add(form.words, form.kind);
  commands.push_back({"repeat", {}});
  commands.push_back({"end", {}});
  return commands;
}

}  // namespace simrunner
