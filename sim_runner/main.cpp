// spoolsync-sim: plays a scenario file against the service on the simulated
// Windows machine and prints what happened.
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>

#include "sim_runner/help.h"
#include "sim_runner/parser.h"
#include "sim_runner/runner.h"
#include "sim_runner/swarm.h"
#include "sim_runner/timeline.h"

namespace {

constexpr int kExitChecksHeld = 0;
constexpr int kExitCheckFailed = 1;
constexpr int kExitBadInput = 2;

// The largest scenario file read: a scenario is lines of text, a few
// kilobytes; anything near this is not one.
constexpr std::uintmax_t kLargestFile = 16u << 20;

// Why a path cannot be read or written, in the system's words.
std::string Reason(int error) { return std::error_code(error, std::generic_category()).message(); }

// The file's bytes, or why it cannot be read.
std::variant<std::string, std::string> ReadWholeFile(const std::string& path) {
  std::error_code error;
  const auto status = std::filesystem::status(path, error);
  if (error) return std::variant<std::string, std::string>(std::in_place_index<1>, error.message());
  if (std::filesystem::is_directory(status)) {
    return std::variant<std::string, std::string>(std::in_place_index<1>, "is a folder, not a scenario file");
  }
  if (!std::filesystem::is_regular_file(status)) {
    return std::variant<std::string, std::string>(std::in_place_index<1>, "is not a regular file");
  }
  const auto size = std::filesystem::file_size(path, error);
  if (!error && size > kLargestFile) {
    return std::variant<std::string, std::string>(std::in_place_index<1>,
                                                  std::to_string(size >> 20) + " MB is too large for a scenario file");
  }
  errno = 0;
  std::ifstream input(path, std::ios::binary);
  if (!input) return std::variant<std::string, std::string>(std::in_place_index<1>, Reason(errno != 0 ? errno : EIO));
  std::string content((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
  if (input.bad()) return std::variant<std::string, std::string>(std::in_place_index<1>, Reason(EIO));
  return std::variant<std::string, std::string>(std::in_place_index<0>, std::move(content));
}

// An error's text as it is printed: control bytes escaped, and a long one
// (a whole line of a file that is not a scenario) cut.
std::string Printable(const std::string& why) {
  constexpr std::size_t kLongest = 160;
  std::string text = simrunner::PrintableText(why);
  if (text.size() > kLongest) text = text.substr(0, kLongest) + "...";
  return text;
}

int Usage(const std::string& why) {
  std::cerr << "spoolsync-sim: " << why
            << "\nusage: spoolsync-sim [--quiet] [--seed N] [--svg PICTURE [--svg-window FROM..TO]] FILE\n"
               "       spoolsync-sim swarm [--seeds FIRST..LAST] [--steps N] [--save DIR] [--jobs N] [--all-findings]\n"
               "(--help for the scenario format)\n";
  return kExitBadInput;
}

std::optional<std::uint64_t> ParseCount(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

int Swarm(int argc, char** argv) {
  simrunner::SwarmOptions options;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--seeds" && hasValue) {
      const std::string_view range = argv[++i];
      const std::size_t dots = range.find("..");
      const auto first = dots == std::string_view::npos ? std::nullopt : ParseCount(range.substr(0, dots));
      const auto last = dots == std::string_view::npos ? std::nullopt : ParseCount(range.substr(dots + 2));
      if (!first || !last || *first > *last) return Usage("--seeds takes FIRST..LAST, FIRST <= LAST");
      options.firstSeed = *first;
      options.lastSeed = *last;
    } else if (arg == "--steps" && hasValue) {
      const auto steps = ParseCount(argv[++i]);
      if (!steps || *steps == 0 || *steps > 100000) return Usage("--steps takes a count from 1 to 100000");
      options.steps = static_cast<int>(*steps);
    } else if (arg == "--save" && hasValue) {
      options.saveDir = argv[++i];
    } else if (arg == "--jobs" && hasValue) {
      const auto jobs = ParseCount(argv[++i]);
      if (!jobs || *jobs == 0 || *jobs > 64) return Usage("--jobs takes a count from 1 to 64");
      options.jobs = static_cast<int>(*jobs);
    } else if (arg == "--all-findings") {
      options.allFindings = true;
    } else {
      return Usage("swarm: unknown or incomplete option " + std::string(arg));
    }
  }
  return simrunner::RunSwarm(options, std::cout);
}

}  // namespace

// "2h..2h30min": a stretch of virtual time in milliseconds.
std::optional<std::pair<std::int64_t, std::int64_t>> ParseWindow(std::string_view text) {
  const std::size_t dots = text.find("..");
  if (dots == std::string_view::npos) return std::nullopt;
  const auto from = simrunner::ParseDuration(text.substr(0, dots));
  const auto to = simrunner::ParseDuration(text.substr(dots + 2));
  if (!from || !to || *from >= *to) return std::nullopt;
  return std::make_pair(*from, *to);
}

int main(int argc, char** argv) {
  if (argc >= 2 && std::string_view(argv[1]) == "swarm") return Swarm(argc, argv);
  bool quiet = false;
  std::optional<std::uint64_t> seed;
  std::optional<std::string> pictureFile;
  std::optional<std::pair<std::int64_t, std::int64_t>> window;
  std::string file;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << simrunner::HelpText();
      return kExitChecksHeld;
    }
    if (arg == "--quiet" || arg == "-q") {
      quiet = true;
    } else if (arg == "--seed") {
      seed = i + 1 < argc ? ParseCount(argv[++i]) : std::nullopt;
      if (!seed) return Usage("--seed takes a number");
    } else if (arg == "--svg") {
      if (i + 1 >= argc) return Usage("--svg takes the picture's file name");
      pictureFile = argv[++i];
    } else if (arg == "--svg-window") {
      window = i + 1 < argc ? ParseWindow(argv[++i]) : std::nullopt;
      if (!window) return Usage("--svg-window takes FROM..TO, two durations, FROM before TO (2h..2h30min)");
    } else if (arg.starts_with("-") && arg != "-") {
      return Usage("unknown option " + std::string(arg));
    } else if (!file.empty()) {
      return Usage("more than one scenario file");
    } else {
      file = arg;
    }
  }
  if (file.empty()) return Usage("no scenario file");
  if (window && !pictureFile) return Usage("--svg-window draws a part of the picture: give --svg PICTURE too");

  auto text = ReadWholeFile(file);
  if (text.index() == 1) {
    std::cerr << file << ": cannot read the file: " << std::get<1>(text) << '\n';
    return kExitBadInput;
  }

  const simrunner::Scenario scenario = simrunner::ParseScenario(std::get<0>(text));
  std::get<0>(text).clear();
  if (!scenario.errors.empty()) {
    for (const auto& error : scenario.errors) {
      std::cerr << file;
      if (error.line > 0) std::cerr << ":" << error.line;
      std::cerr << ": " << Printable(error.why) << '\n';
    }
    if (scenario.tooManyErrors) {
      std::cerr << file << ": more than " << simrunner::kMostErrors << " lines not understood: not a scenario file?\n";
    }
    return kExitBadInput;
  }

  // The picture's file is opened before the run, so a path that cannot be
  // written is told at once rather than after a long run.
  std::ofstream pictureOutput;
  if (pictureFile) {
    std::error_code error;
    if (std::filesystem::is_directory(*pictureFile, error)) {
      std::cerr << *pictureFile << ": cannot write the picture: is a folder\n";
      return kExitBadInput;
    }
    errno = 0;
    pictureOutput.open(*pictureFile, std::ios::binary | std::ios::trunc);
    if (!pictureOutput) {
      std::cerr << *pictureFile << ": cannot write the picture: " << Reason(errno != 0 ? errno : EIO) << '\n';
      return kExitBadInput;
    }
  }

  std::string picture;
  simrunner::RunOptions options{file, quiet, seed, pictureFile ? &picture : nullptr};
  options.window = window;
  const int failures = simrunner::RunScenario(scenario, options, std::cout);
  std::cout.flush();
  if (pictureFile) {
    pictureOutput << picture;
    pictureOutput.close();
    if (pictureOutput.fail()) {
      std::cerr << *pictureFile << ": cannot write the picture\n";
      return kExitBadInput;
    }
  }
  return failures == 0 ? kExitChecksHeld : kExitCheckFailed;
}
