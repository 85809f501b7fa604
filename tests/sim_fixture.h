// A simulated machine with the service installed, and the helpers the
// service's tests share.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "platform/sim/machine.h"

inline constexpr wchar_t kPrinterPath[] = L"\\\\?\\USB#VID_0483&PID_5741#ABC123#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
inline constexpr wchar_t kSecondPrinterPath[] =
    L"\\\\?\\USB#VID_0483&PID_5741#XYZ789#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
inline constexpr wchar_t kMousePath[] = L"\\\\?\\USB#VID_046D&PID_C077#M0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
inline constexpr wchar_t kQueue[] = L"KX310MQ47H";
inline constexpr char kPrinterInstanceId[] = "USB\\VID_0483&PID_5741\\ABC123";
// Where install.cmd puts the service, the file its event source names.
inline constexpr char kInstalledServicePath[] = "C:\\Program Files\\spoolsync\\spoolsync.exe";

class SimTest : public ::testing::Test {
 protected:
  SimTest();
  ~SimTest() override;

  // The queue on USB001, the port recording the printer, and the printer
  // registered (not plugged in) with status byte `status`.
  void AddPrinterSetup(BYTE status = 0x20);
  // The printer moved to another socket: the queue on USB001, which records
  // another device, and USB002 recording the printer (registered, not
  // plugged in).
  void AddMovedPrinterSetup(BYTE status = 0x20);
  // Starts the service and lets it run until all its threads wait.
  void StartService();
  // Stops the service and lets it finish.
  void StopService();

  // Spooler commands sent from journal position `from` on.
  [[nodiscard]] std::vector<sim::SpoolerCommand> CommandsFrom(std::size_t from) const;
  [[nodiscard]] std::size_t JournalSize() const { return machine.SpoolerJournal().size(); }
  [[nodiscard]] int CountDebugLinesContaining(const std::string& text) const;
  [[nodiscard]] bool DebugLogContains(const std::string& text) const { return CountDebugLinesContaining(text) > 0; }

  sim::Machine machine;
};

namespace sim {
// Lets test failures show what is open.
void PrintTo(const HandleCounts& counts, std::ostream* out);
}  // namespace sim

// Short names for journal entries, for readable expectations.
std::string Describe(const sim::SpoolerCommand& command);
std::vector<std::string> Describe(const std::vector<sim::SpoolerCommand>& commands);
