// Swarm testing: generated histories played under seeded schedules, checked
// against what must hold whatever happened.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace simrunner {

struct SwarmOptions {
  std::uint64_t firstSeed = 1;
  std::uint64_t lastSeed = 100;
  // Generated events per seed (waits and checks not counted).
  int steps = 60;
  // Where failing histories are written as scenario files.
  std::optional<std::string> saveDir;
  // Seeds run at once, each in a process of its own.
  int jobs = 1;
  // Play every history to its end whatever fails and print every distinct
  // finding of each seed, not only the first.
  bool allFindings = false;
};

// What one seed's history did.
struct SeedOutcome {
  bool held = true;
  // The first invariant that failed, and the virtual time it was seen at.
  std::string invariant;
  std::int64_t failedAtMs = 0;
  // The history as played, in the scenario language.
  std::string history;
  std::int64_t simulatedMs = 0;
  // Every distinct invariant that failed, the first one first.
  std::vector<std::string> findings;
};

// Generates and plays the history of `seed` in this process, with the
// schedule drawn from the same seed. Writes each history line to `progress`
// as it is played (prefixed "H "), so a run that dies still leaves its
// history behind.
// With `allFindings` the history is played to its end whatever fails.
SeedOutcome RunSeed(std::uint64_t seed, int steps, std::ostream* progress = nullptr, bool allFindings = false);

// Runs every seed of the range, each in a process of its own (a deadlock or
// a crash ends only that seed), prints one line per failing seed and a
// summary. Returns 0 when every seed held, 1 otherwise.
int RunSwarm(const SwarmOptions& options, std::ostream& out);

}  // namespace simrunner
