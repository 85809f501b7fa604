// What a status pass, a re-binding and a run of the test bed cost, measured
// on the simulated machine. Google Benchmark times the wall-clock figures;
// the virtual-time figures (reactions) are exact and measured once. After the
// benchmarks, one table row per figure is printed ("| figure | measured |
// against |"), which scripts/bench.sh gathers into its table.
//
// With --smoke every benchmark runs once, briefly, and the figures are also
// checked: no platform call beyond the minimum a pass needs that is not named
// with its reason below, a status change reaches the queue within one poll
// period, a re-binding takes the Spooler's own times plus the fixed pauses.
// The exit status is 1 when a check fails.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/model.h"
#include "common/unique_resource.h"
#include "device/device_discovery.h"
#include "monitor/status_monitor.h"
#include "platform/sim/machine.h"
#include "service/service_main.h"
#include "service/service_state.h"
#include "spooler/port_binding.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr wchar_t kPrinter[] = L"\\\\?\\USB#VID_0483&PID_5741#5&1A2B3C&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr wchar_t kPrinterOtherSocket[] =
    L"\\\\?\\USB#VID_0483&PID_5741#5&1A2B3C&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr char kPrinterId[] = "USB\\VID_0483&PID_5741\\5&1A2B3C&0&1";
constexpr char kPrinterOtherSocketId[] = "USB\\VID_0483&PID_5741\\5&1A2B3C&0&2";
constexpr char kOtherDeviceId[] = "USB\\VID_04B8&PID_0202\\OTHER";

// The eight rows of the status byte's three bits the rules read (0x20 paper
// present, 0x10 needs attention, 0x04 cover open).
constexpr BYTE kStatusRows[] = {0x00, 0x04, 0x10, 0x14, 0x20, 0x24, 0x30, 0x34};

// Platform calls a pass makes beyond the minimum the rules need, each with
// how many it makes (per pass, and per command pair) and the reason it stays.
// A call beyond the minimum that is not here, or made more often, fails the
// smoke check.
struct ExtraCall {
  const char* name;
  std::uint64_t perPass;
  std::uint64_t perPair;
  const char* reason;
};
constexpr ExtraCall kExtraCalls[] = {
    {"WaitForSingleObject", 8, 1,
     "the poll period itself (the wait on the wake event between two passes), and seven looks at the stop event: "
     "before the pass, with the device events taken, after them, after each of the three owed steps and before the "
     "read, and one before each rule's commands, so that nothing starts once a stop was asked for"},
    {"GetTickCount", 3, 0, "the poll period measured from the end of the last read, not counted in sleeps"},
    {"AcquireSRWLockExclusive", 2, 0,
     "the device events the control handler queued are taken, and looked for again after the read, so that an "
     "unplug during the read comes before its record is mirrored"},
    {"ReleaseSRWLockExclusive", 2, 0, "the end of those two looks"},
    {"ResetEvent", 1, 0, "the wake event reset with the device events taken"},
    {"OutputDebugStringA", 1, 0, "the QZ5 STATUS line on the debugger channel"},
};

bool gSmoke = false;
bool gChecksFailed = false;
// Rows of the table, by figure, in the order first measured; the last run of
// a benchmark gives the figure.
std::vector<std::string> gRowOrder;
std::map<std::string, std::string> gRows;

void Row(const std::string& figure, const std::string& measured, const std::string& against) {
  if (!gRows.contains(figure)) gRowOrder.push_back(figure);
  gRows[figure] = "| " + figure + " | " + measured + " | " + against + " |";
}

void Check(benchmark::State& state, bool holds, const std::string& what) {
  if (holds) return;
  std::fprintf(stderr, "check failed: %s\n", what.c_str());
  gChecksFailed = true;
  state.SkipWithError(what.c_str());
}

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string General(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

std::string Hex(BYTE status) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(status));
  return text;
}

// Command pairs the rules send for `status`: one open, two level-2 reads,
// two commands and one close each.
int CommandPairs(BYTE status) {
  int pairs = 0;
  for (const StatusRule& rule : StatusRules()) pairs += RuleFires(rule, status) ? 1 : 0;
  return pairs;
}

std::map<std::string, std::uint64_t> MinimumCalls(BYTE status) {
  const auto pairs = static_cast<std::uint64_t>(CommandPairs(status));
  return {{"ReadFile", 1},
          {"OpenPrinterW", pairs},
          {"GetPrinterW", 2 * pairs},
          {"SetPrinterW", 2 * pairs},
          {"ClosePrinter", pairs}};
}

const ExtraCall* FindExtra(const std::string& name) {
  for (const ExtraCall& extra : kExtraCalls) {
    if (name == extra.name) return &extra;
  }
  return nullptr;
}

// The queue on USB001, the port recording the printer, and the printer
// plugged in with `status`; the service installed.
void SetUpPrinter(sim::Machine& machine, BYTE status) {
  machine.AddQueue(kModelNameWide, L"USB001");
  machine.AddPort(L"USB001", kPrinterId);
  machine.AddDevice(kPrinter, kModelName, status);
  machine.Plug(kPrinter);
  machine.InstallService("testserviceQ5M2K9", [] {
    ResetServiceState();
    return RunServiceProcess();
  });
}

void StartAndSettle(sim::Machine& machine) {
  machine.StartService();
  machine.Advance(2 * kPollPeriodMs);
  machine.ForgetHistory();
}

void StopService(sim::Machine& machine) {
  if (machine.SendControl(SERVICE_CONTROL_STOP) == 0) machine.RunUntilIdle();
  ResetServiceState();
}

// ---- Platform calls per status pass, and the wall time of a whole pass of
// the running service (its monitor thread, poll wait included).
void PassCalls(benchmark::State& state) {
  const auto status = static_cast<BYTE>(state.range(0));
  sim::Machine machine;
  SetUpPrinter(machine, status);
  StartAndSettle(machine);
  machine.ResetCallCounts();
  std::int64_t passes = 0;
  const auto started = Clock::now();
  for (auto _ : state) {
    machine.Advance(kPollPeriodMs);
    if (++passes % 1000 == 0) machine.ForgetHistory();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  const auto counts = machine.CallCounts();
  StopService(machine);

  const auto minimum = MinimumCalls(status);
  std::uint64_t total = 0;
  std::uint64_t minimumTotal = 0;
  for (const auto& [name, count] : counts) total += count;
  for (const auto& [name, count] : minimum) minimumTotal += count;
  std::string calls;
  std::string extras;
  for (const auto& [name, count] : counts) {
    const double perPass = static_cast<double>(count) / static_cast<double>(passes);
    calls += (calls.empty() ? "" : ", ") + name + " " + General(perPass);
    const auto needed = minimum.contains(name) ? minimum.at(name) : 0;
    if (count > needed * static_cast<std::uint64_t>(passes)) {
      extras += (extras.empty() ? "" : ", ") + name;
      const ExtraCall* extra = FindExtra(name);
      const std::uint64_t named =
          extra == nullptr ? 0 : extra->perPass + extra->perPair * static_cast<std::uint64_t>(CommandPairs(status));
      Check(state, extra != nullptr && count == (needed + named) * static_cast<std::uint64_t>(passes),
            "status " + Hex(status) + ": " + name + " " + General(perPass) + " per pass, beyond what is named");
    }
  }
  for (const auto& [name, count] : minimum) {
    Check(state, counts.contains(name) ? counts.at(name) >= count * static_cast<std::uint64_t>(passes) : count == 0,
          "status " + Hex(status) + ": fewer " + name + " calls than the rules need");
  }
  const double perPass = static_cast<double>(total) / static_cast<double>(passes);
  state.counters["calls_per_pass"] = perPass;
  state.counters["minimum"] = static_cast<double>(minimumTotal);
  Row("platform calls per pass, status " + Hex(status), General(perPass) + " (" + calls + ")",
      "minimum " + std::to_string(minimumTotal) + "; beyond it: " + (extras.empty() ? "none" : extras));
  Row("wall time of a whole pass (service running), status " + Hex(status),
      Fixed(seconds * 1e6 / static_cast<double>(passes), 2) + " us", "800 ms of virtual time");
}

// ---- The service's own time per pass: MonitorPass against the bare
// sequence of the same platform calls, each run in a process on the machine,
// timed around the passes alone.
void BarePass(HANDLE device, BYTE status, std::vector<BYTE>& info) {
  StatusRecord record{};
  DWORD count = 0;
  ReadFile(device, record.data(), static_cast<DWORD>(record.size()), &count, nullptr);
  for (const StatusRule& rule : StatusRules()) {
    if (!RuleFires(rule, status)) continue;
    wchar_t name[] = L"KX310MQ47H";
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE opened = nullptr;
    OpenPrinterW(name, &opened, &defaults);
    const PrinterHandle queue(opened);
    DWORD needed = 0;
    GetPrinterW(queue.Get(), 2, nullptr, 0, &needed);
    info.resize(needed);
    GetPrinterW(queue.Get(), 2, info.data(), needed, &needed);
    const DWORD value = rule.resume ? 0 : rule.printerStatus;
    SetPrinterW(queue.Get(), 0, nullptr, rule.resume ? PRINTER_CONTROL_RESUME : PRINTER_CONTROL_PAUSE);
    SetPrinterW(queue.Get(), 0, reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(value)), PRINTER_CONTROL_SET_STATUS);
  }
}

// Time per pass of each run, by status; the table takes the median of the
// last kRepetitions runs (the repetitions, after the library's estimate).
constexpr int kRepetitions = 5;
std::map<BYTE, std::vector<double>> gServicePassNs;
std::map<BYTE, std::vector<double>> gBarePassNs;

double MedianOfLastRuns(const std::vector<double>& runs) {
  const std::size_t count = std::min<std::size_t>(runs.size(), kRepetitions);
  std::vector<double> last(runs.end() - static_cast<std::ptrdiff_t>(count), runs.end());
  std::sort(last.begin(), last.end());
  return last[last.size() / 2];
}

void PassTime(benchmark::State& state, bool bare) {
  const auto status = static_cast<BYTE>(state.range(0));
  constexpr std::int64_t kBatch = 1000;
  sim::Machine machine;
  machine.AddQueue(kModelNameWide, L"USB001");
  machine.AddPort(L"USB001", kPrinterId);
  machine.AddDevice(kPrinter, kModelName, status);
  machine.Plug(kPrinter);
  ResetServiceState();
  double passSeconds = 0;
  std::int64_t passes = 0;
  std::vector<BYTE> info;
  while (state.KeepRunningBatch(kBatch)) {
    machine.RunConsoleProcess([&] {
      serviceState.deviceHandle = OpenPrinterDevice();
      const HANDLE device = serviceState.deviceHandle.Get();
      const auto started = Clock::now();
      for (std::int64_t i = 0; i < kBatch; ++i) {
        if (bare) {
          BarePass(device, status, info);
        } else {
          MonitorPass();
        }
      }
      passSeconds += std::chrono::duration<double>(Clock::now() - started).count();
      serviceState.deviceHandle.Reset();
      return 0;
    });
    passes += kBatch;
    machine.ForgetHistory();
  }
  ResetServiceState();
  Check(state, machine.OpenHandles().Total() == 0, "handles left open by the passes");
  const double ns = passSeconds * 1e9 / static_cast<double>(passes);
  (bare ? gBarePassNs : gServicePassNs)[status].push_back(ns);
  state.counters["pass_ns"] = ns;
  if (gServicePassNs.contains(status) && gBarePassNs.contains(status)) {
    const double service = MedianOfLastRuns(gServicePassNs[status]);
    const double sequence = MedianOfLastRuns(gBarePassNs[status]);
    Row("time of one status pass (MonitorPass, median of " + std::to_string(kRepetitions) + " runs), status " +
            Hex(status),
        Fixed(service, 0) + " ns",
        "bare call sequence " + Fixed(sequence, 0) + " ns" + "; the service's own " + Fixed(service - sequence, 0) +
            " ns" + " (" + Fixed(100.0 * (service - sequence) / service, 0) + "%" + ")");
  }
}

void ServicePassTime(benchmark::State& state) { PassTime(state, false); }
void BarePassTime(benchmark::State& state) { PassTime(state, true); }

// ---- Reactions in virtual time.
struct Spread {
  sim::Millis min, median, max;
};

Spread SpreadOf(std::vector<sim::Millis> values) {
  std::sort(values.begin(), values.end());
  return {values.front(), values[values.size() / 2], values.back()};
}

std::string Describe(const Spread& spread) {
  return "min " + std::to_string(spread.min) + " ms, median " + std::to_string(spread.median) + " ms, max " +
         std::to_string(spread.max) + " ms";
}

// A status change made at every 10 ms of the poll period, to the first queue
// command it causes.
void StatusReaction(benchmark::State& state) {
  std::vector<sim::Millis> reactions;
  for (auto _ : state) {
    reactions.clear();
    for (sim::Millis phase = 0; phase < kPollPeriodMs; phase += 10) {
      sim::Machine machine;
      SetUpPrinter(machine, 0x20);
      StartAndSettle(machine);
      machine.Advance(phase);
      const sim::Millis changed = machine.Now();
      machine.SetDeviceStatus(kPrinter, 0x24);  // cover opened
      machine.Advance(2 * kPollPeriodMs);
      const auto& journal = machine.SpoolerJournal();
      Check(state, !journal.empty(), "a status change sent no queue command");
      if (!journal.empty()) reactions.push_back(journal.front().time - changed);
      StopService(machine);
    }
  }
  const Spread spread = SpreadOf(reactions);
  Check(state, spread.max <= kPollPeriodMs, "a status change took longer than one poll period to reach the queue");
  state.counters["max_ms"] = static_cast<double>(spread.max);
  Row("status change to queue command (virtual time, " + std::to_string(reactions.size()) + " phases)",
      Describe(spread), "poll period " + std::to_string(kPollPeriodMs) + " ms");
}

// The printer plugged into the other socket: arrival to the new port written,
// and to the end of the re-binding (the Spooler stopped and started again,
// the queue read again and resumed, the arrival's handler returned), against
// the Spooler's own stop and start times plus the fixed pauses.
void RebindReaction(benchmark::State& state) {
  const sim::Millis stopTime = state.range(0);
  const sim::Millis startTime = state.range(1);
  sim::Millis toPort = -1;
  sim::Millis toDone = 0;
  for (auto _ : state) {
    toPort = -1;
    sim::Machine machine;
    machine.AddQueue(kModelNameWide, L"USB001");
    machine.AddPort(L"USB001", kOtherDeviceId);
    machine.AddPort(L"USB002", kPrinterId);
    machine.AddDevice(kPrinter, kModelName, 0x20);
    machine.SetSpoolerStopTime(stopTime);
    machine.SetSpoolerStartTime(startTime);
    machine.InstallService("testserviceQ5M2K9", [] {
      ResetServiceState();
      return RunServiceProcess();
    });
    StartAndSettle(machine);
    const sim::Millis arrived = machine.Now();
    machine.Plug(kPrinter);
    machine.Advance(60000);
    for (const sim::SpoolerCommand& command : machine.SpoolerJournal()) {
      if (toPort < 0 && command.kind == sim::SpoolerCommand::Kind::SetPort && command.port == L"USB002" &&
          command.succeeded) {
        toPort = command.time - arrived;
      }
      // The re-binding ends with the queue shown the printer's state again.
      if (toPort >= 0 && command.kind == sim::SpoolerCommand::Kind::Resume && command.succeeded) {
        toDone = command.time - arrived - toPort;
        break;
      }
    }
    Check(state, toPort >= 0 && machine.Queue(kModelNameWide)->port == L"USB002" && machine.SpoolerRunning(),
          "the queue was not moved to the new port");
    StopService(machine);
  }
  const sim::Millis fixed = kSpoolerStopPauseMs + kSpoolerStartPauseMs + kSpoolerSettlePauseMs;
  // The stop and the start are each polled every kSpoolerPollMs once their
  // pause is over, so each takes the longer of the Spooler's time and the
  // pause, rounded up to a poll.
  const auto polled = [](sim::Millis own, sim::Millis pause) {
    const sim::Millis longer = std::max(own, pause);
    return (longer + kSpoolerPollMs - 1) / kSpoolerPollMs * kSpoolerPollMs;
  };
  const sim::Millis expected =
      polled(stopTime, kSpoolerStopPauseMs) + polled(startTime, kSpoolerStartPauseMs) + kSpoolerSettlePauseMs;
  // A poll that falls at the very moment the Spooler changes state may read
  // the old state: one more poll each for the stop and the start.
  Check(state, toDone >= expected && toDone <= expected + 2 * kSpoolerPollMs,
        "re-binding took " + std::to_string(toDone) + " ms, not " + std::to_string(expected) + " ms (+ up to 2 polls)");
  state.counters["rebound_ms"] = static_cast<double>(toDone);
  Row("arrival to the queue re-bound, Spooler stop " + std::to_string(stopTime) + " ms / start " +
          std::to_string(startTime) + " ms (virtual time)",
      "port written after " + std::to_string(toPort) + " ms, re-binding done after " + std::to_string(toDone) + " ms",
      "Spooler's own " + std::to_string(stopTime + startTime) + " ms + fixed pauses " + std::to_string(fixed) +
          " ms, overlapping: " + std::to_string(expected) + " ms, + up to 2 polls of " +
          std::to_string(kSpoolerPollMs) + " ms");
}

// The stop control sent at every 50 ms of the poll period, to STOPPED.
void StopReaction(benchmark::State& state) {
  std::vector<sim::Millis> stops;
  for (auto _ : state) {
    stops.clear();
    for (sim::Millis phase = 0; phase < kPollPeriodMs; phase += 50) {
      sim::Machine machine;
      SetUpPrinter(machine, 0x20);
      StartAndSettle(machine);
      machine.Advance(phase);
      const sim::Millis sent = machine.Now();
      Check(state, machine.SendControl(SERVICE_CONTROL_STOP) == 0, "stop control not delivered");
      machine.Advance(kStopWaitHintMs);
      for (const sim::TraceEntry& entry : machine.Trace()) {
        if (entry.channel == sim::TraceEntry::Channel::Service && entry.text.starts_with("status STOPPED")) {
          stops.push_back(entry.time - sent);
          break;
        }
      }
      ResetServiceState();
    }
  }
  Check(state, stops.size() == kPollPeriodMs / 50, "a stop did not reach STOPPED");
  if (stops.empty()) return;
  const Spread spread = SpreadOf(stops);
  state.counters["max_ms"] = static_cast<double>(spread.max);
  Row("stop control to STOPPED (virtual time, " + std::to_string(stops.size()) + " phases)", Describe(spread),
      "wait hint " + std::to_string(kStopWaitHintMs) + " ms");
}

// ---- The test bed: simulated time per wall second.
void Throughput(benchmark::State& state, const std::string& workload, sim::Millis virtualPerIteration, double seconds,
                std::int64_t iterations) {
  const double virtualSeconds = static_cast<double>(virtualPerIteration) * static_cast<double>(iterations) / 1000.0;
  state.counters["sim_s_per_wall_s"] = virtualSeconds / seconds;
  Row("simulated time per wall second, " + workload,
      Fixed(virtualSeconds / seconds / 3600.0, 1) + " simulated hours per wall second",
      Fixed(virtualSeconds, 0) + " s simulated in " + Fixed(seconds, 2) + " s");
}

// Status passes with the status byte changed every 10 passes, through all
// eight rows.
void SteadyStatusWorkload(benchmark::State& state) {
  sim::Machine machine;
  SetUpPrinter(machine, 0x20);
  StartAndSettle(machine);
  std::int64_t passes = 0;
  const auto started = Clock::now();
  for (auto _ : state) {
    if (passes % 10 == 0) machine.SetDeviceStatus(kPrinter, kStatusRows[(passes / 10) % std::size(kStatusRows)]);
    machine.Advance(kPollPeriodMs);
    if (++passes % 1000 == 0) machine.ForgetHistory();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  StopService(machine);
  Throughput(state, "steady status workload (one pass per 800 ms)", kPollPeriodMs, seconds, passes);
}

// The printer unplugged and plugged into the other socket, over and over:
// every arrival re-binds the queue and restarts the Spooler.
void ReplugWorkload(benchmark::State& state) {
  sim::Machine machine;
  machine.AddQueue(kModelNameWide, L"USB001");
  machine.AddPort(L"USB001", kPrinterId);
  machine.AddPort(L"USB002", kPrinterOtherSocketId);
  machine.AddDevice(kPrinter, kModelName);
  machine.AddDevice(kPrinterOtherSocket, kModelName);
  machine.Plug(kPrinter);
  machine.InstallService("testserviceQ5M2K9", [] {
    ResetServiceState();
    return RunServiceProcess();
  });
  StartAndSettle(machine);
  constexpr sim::Millis kCycle = 4 * kPollPeriodMs;
  std::int64_t cycles = 0;
  const int restartsBefore = machine.SpoolerRestarts();
  const auto started = Clock::now();
  for (auto _ : state) {
    const bool other = cycles % 2 == 0;
    machine.Unplug(other ? kPrinter : kPrinterOtherSocket);
    machine.Advance(kPollPeriodMs);
    machine.Plug(other ? kPrinterOtherSocket : kPrinter);
    machine.Advance(kCycle - kPollPeriodMs);
    if (++cycles % 100 == 0) machine.ForgetHistory();
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  Check(state, machine.SpoolerRestarts() - restartsBefore == cycles, "not every arrival restarted the Spooler");
  StopService(machine);
  Throughput(state, "replug workload (a re-binding per 3.2 s)", kCycle, seconds, cycles);
}

void RegisterAll() {
  for (const BYTE status : kStatusRows) {
    const std::string row = Hex(status);
    benchmark::RegisterBenchmark(("PassCalls/" + row).c_str(), PassCalls)->Arg(status)->UseRealTime();
  }
  for (const BYTE status : kStatusRows) {
    const std::string row = Hex(status);
    benchmark::RegisterBenchmark(("PassTime/bare/" + row).c_str(), BarePassTime)
        ->Arg(status)
        ->Repetitions(kRepetitions)
        ->UseRealTime();
    benchmark::RegisterBenchmark(("PassTime/service/" + row).c_str(), ServicePassTime)
        ->Arg(status)
        ->Repetitions(kRepetitions)
        ->UseRealTime();
  }
  benchmark::RegisterBenchmark("Reaction/status", StatusReaction)->Iterations(1)->UseRealTime();
  benchmark::RegisterBenchmark("Reaction/rebind", RebindReaction)
      ->Args({0, 0})
      ->Args({500, 1500})
      ->Args({2000, 3000})
      ->Iterations(1)
      ->UseRealTime();
  benchmark::RegisterBenchmark("Reaction/stop", StopReaction)->Iterations(1)->UseRealTime();
  benchmark::RegisterBenchmark("TestBed/steady_status", SteadyStatusWorkload)->UseRealTime();
  benchmark::RegisterBenchmark("TestBed/replug", ReplugWorkload)->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
  // --smoke: every benchmark once, as briefly as the library allows, with
  // the checks; the table is printed all the same.
  std::vector<char*> args(argv, argv + argc);
  std::string minTime = "--benchmark_min_time=0.000001";
  const auto smoke = std::find_if(args.begin(), args.end(), [](char* a) { return std::strcmp(a, "--smoke") == 0; });
  if (smoke != args.end()) {
    gSmoke = true;
    *smoke = minTime.data();
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;
  RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  std::printf("\n| figure | measured | against |\n| --- | --- | --- |\n");
  for (const std::string& figure : gRowOrder) std::printf("%s\n", gRows[figure].c_str());
  std::printf("\nextra calls and their reasons:\n");
  for (const ExtraCall& extra : kExtraCalls) {
    std::printf("  %s: %s per pass, %s per command pair: %s\n", extra.name, std::to_string(extra.perPass).c_str(),
                std::to_string(extra.perPair).c_str(), extra.reason);
  }
  if (gChecksFailed) {
    std::printf("bench: a check failed\n");
    return 1;
  }
  if (gSmoke) std::printf("bench: smoke run, every check held\n");
  return 0;
}
