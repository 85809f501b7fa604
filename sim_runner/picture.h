// The picture of a run: lanes of states on the virtual time axis (the
// printer, the queue, the Spooler, the service) and marks for the steps,
// derived from what the run recorded. svg.h draws it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "sim_runner/scenario.h"

namespace simrunner {

// One step of the scenario as it was played.
struct PlayedStep {
  std::int64_t atMs = 0;
  const Step* step = nullptr;
  // A check that failed: what was found.
  std::optional<std::string> found;
};

// What a run leaves behind for its picture.
struct RunRecord {
  std::string fileName;  // the scenario's file name, without its folders
  std::optional<std::uint64_t> seed;
  std::vector<PlayedStep> steps;
  // The machine's timeline and spooler journal when the last step was done,
  // and the Spooler's state before the first.
  std::vector<sim::TraceEntry> trace;
  std::vector<sim::SpoolerCommand> journal;
  std::vector<sim::EventLogEntry> events;
  std::uint32_t spoolerAtStart = 0;
  std::int64_t endMs = 0;
};

// A stretch of time in one state. Consecutive bands of a lane differ.
struct Band {
  std::int64_t fromMs = 0;
  std::int64_t toMs = 0;
  std::string state;   // the words shown in the band
  std::string brief;   // shown instead where the words do not fit
  std::string detail;  // more for its hover title (may be empty)
  std::string fill;    // its colour, "#rrggbb"
};

// Steps played at one virtual time, or one entry of the event log, or a
// restart of the Spooler.
struct Mark {
  std::int64_t atMs = 0;
  // The timeline line of each step; the entry's id, type and message; the
  // restart's times.
  std::vector<std::string> lines;
  // Some of them are events, not checks.
  bool hasEvents = false;
  // Drawn beside the mark, where it fits ("110", "restart 1").
  std::string label;
  // Its colour, where the lane gives marks their own ("" for a step mark).
  std::string fill;
  // Event log entries: the id the viewer shows and the type's name.
  std::string eventId;
  std::string eventType;
};

struct Lane {
  std::string kind;     // "device-plugged", "queue-status", "spooler", "steps", ...
  std::string subject;  // the device or queue it is about (empty for the others)
  std::string label;
  std::vector<Band> bands;  // state lanes
  // The state a state lane was in when the last step was done; it may have
  // begun at that very moment, and so have no band.
  std::optional<Band> atEnd;
  std::vector<Mark> marks;  // the steps and failed-checks lanes
};

// What the colours of some lanes mean: a heading and its swatches.
struct LegendGroup {
  struct Entry {
    std::string words;
    std::string fill;
  };
  std::string heading;
  std::vector<Entry> entries;
};

struct Picture {
  std::string title;
  std::int64_t endMs = 0;
  // The stretch of virtual time drawn: all of it unless a window is asked for.
  std::int64_t fromMs = 0;
  std::optional<std::int64_t> toMs;
  std::vector<Lane> lanes;
  // Rows of legend groups, drawn under the time axis.
  std::vector<std::vector<LegendGroup>> legend;
};

// The same lanes, built as the run goes: each step as it is played (before
// its effects), each trace entry, spooler command and event log entry as the
// machine records it. It keeps only the bands and marks, so a run may drop
// the machine's records as it goes. The steps must outlive the builder.
class PictureBuilder {
 public:
  explicit PictureBuilder(std::uint32_t spoolerAtStart);
  ~PictureBuilder();
  PictureBuilder(const PictureBuilder&) = delete;
  PictureBuilder& operator=(const PictureBuilder&) = delete;

  void Played(const PlayedStep& played);
  void Traced(const sim::TraceEntry& entry);
  void Commanded(const sim::SpoolerCommand& command);
  void Logged(const sim::EventLogEntry& entry);
  [[nodiscard]] Picture Finish(const std::string& fileName, std::optional<std::uint64_t> seed,
                               std::int64_t endMs) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The text of an event log entry as the event viewer shows it: its message
// from the service's message table with the inserts filled in.
std::string EventMessage(const sim::EventLogEntry& entry);

// Derives the lanes: for each declared device whether it is plugged in and
// its status byte; for each queue its running or paused state, its status
// and its port; the Spooler's and the service's states; the steps and the
// failed checks. Equal consecutive states are one band. Trace lines it does
// not know are left out.
Picture BuildPicture(const RunRecord& record);

// A device's label: its short name when the scenario gives one, else the
// instance part of a USB interface path ("5&1A2B3C&0&1" of
// \\?\USB#VID_0483&PID_5741#5&1A2B3C&0&1#{...}), else the path.
std::string DeviceLabel(const Step& declaration);

}  // namespace simrunner
