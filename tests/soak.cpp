// A long run of the service on the simulated machine: many status passes
// through every status combination and many plug and unplug cycles, after
// which the handle table and the heap must be back where they started.
//
// Usage: spoolsync_soak [passes] [cycles]   (default: 1000000 10000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "monitor/status_monitor.h"
#include "platform/sim/machine.h"
#include "service/service_main.h"
#include "service/service_state.h"
#include "tests/heap_counter.h"

namespace {

constexpr wchar_t kPrinter[] = L"\\\\?\\USB#VID_0483&PID_5741#5&1A2B3C&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr wchar_t kPrinterOtherSocket[] =
    L"\\\\?\\USB#VID_0483&PID_5741#5&1A2B3C&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr BYTE kStatuses[] = {0x20, 0x00, 0x04, 0x10, 0x14, 0x24, 0x30, 0x34};
// Passes between two status changes, and between two clean-ups of the
// machine's history.
constexpr long kPassesPerChunk = 1000;
constexpr int kCyclesPerChunk = 100;

long ParseCount(const char* text, long fallback) {
  if (text == nullptr) return fallback;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0) {
    std::fprintf(stderr, "not a count: %s\n", text);
    std::exit(2);
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  const long passes = ParseCount(argc > 1 ? argv[1] : nullptr, 1000000);
  const long cycles = ParseCount(argc > 2 ? argv[2] : nullptr, 10000);
  const auto started = std::chrono::steady_clock::now();
  bool ok = true;
  {
    sim::Machine machine;
    machine.AddQueue(L"KX310MQ47H", L"USB001");
    machine.AddPort(L"USB001", "USB\\VID_0483&PID_5741\\5&1A2B3C&0&1");
    machine.AddPort(L"USB002", "USB\\VID_0483&PID_5741\\5&1A2B3C&0&2");
    machine.AddDevice(kPrinter, "KX310MQ47H");
    machine.AddDevice(kPrinterOtherSocket, "KX310MQ47H");
    machine.Plug(kPrinter);
    machine.InstallService("testserviceQ5M2K9", [] {
      ResetServiceState();
      return RunServiceProcess();
    });
    machine.StartService();
    // Settle: every path the run takes has been taken once.
    machine.Advance(kPollPeriodMs * 10);
    machine.ForgetHistory();
    machine.JoinFinishedThreads();

    const sim::HandleCounts handlesBefore = machine.OpenHandles();
    const HeapUse heapBefore = CurrentHeapUse();

    long passesDone = 0;
    for (std::size_t i = 0; passesDone < passes; ++i) {
      const long chunk = std::min(kPassesPerChunk, passes - passesDone);
      machine.SetDeviceStatus(kPrinter, kStatuses[i % std::size(kStatuses)]);
      machine.Advance(static_cast<sim::Millis>(chunk) * kPollPeriodMs);
      passesDone += chunk;
      machine.ForgetHistory();
    }
    machine.SetDeviceStatus(kPrinter, 0x20);

    // Unplug and plug into the other socket: every arrival re-binds the queue
    // and restarts the spooler.
    for (long cycle = 0; cycle < cycles; ++cycle) {
      const bool other = cycle % 2 == 0;
      machine.Unplug(other ? kPrinter : kPrinterOtherSocket);
      machine.Advance(kPollPeriodMs);
      machine.Plug(other ? kPrinterOtherSocket : kPrinter);
      machine.Advance(3 * kPollPeriodMs);
      if (cycle % kCyclesPerChunk == 0) machine.ForgetHistory();
    }
    // End where the run started: the printer in the first socket.
    if (cycles % 2 == 1) {
      machine.Unplug(kPrinterOtherSocket);
      machine.Plug(kPrinter);
      machine.Advance(3 * kPollPeriodMs);
    }
    machine.ForgetHistory();
    machine.JoinFinishedThreads();

    const HeapUse heapAfter = CurrentHeapUse();
    const sim::HandleCounts handlesAfter = machine.OpenHandles();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("soak: %ld status passes, %ld plug cycles, %d spooler restarts, %.1f simulated hours in %.1f s\n",
                passesDone, cycles, machine.SpoolerRestarts(), static_cast<double>(machine.Now()) / 3.6e6, seconds);
    std::printf("soak: handles %d -> %d, heap %lld blocks / %lld bytes -> %lld blocks / %lld bytes\n",
                handlesBefore.Total(), handlesAfter.Total(), heapBefore.blocks, heapBefore.bytes, heapAfter.blocks,
                heapAfter.bytes);
    ok = handlesAfter == handlesBefore && heapAfter == heapBefore && machine.SpoolerRunning() &&
         machine.ServiceProcessRunning();
    if (machine.SendControl(SERVICE_CONTROL_STOP) == 0) machine.RunUntilIdle();
    ok = ok && machine.OpenHandles().Total() == 0;
    ResetServiceState();
  }
  std::printf("soak: %s\n", ok ? "1 passed, 0 failed" : "0 passed, 1 failed");
  return ok ? 0 : 1;
}
