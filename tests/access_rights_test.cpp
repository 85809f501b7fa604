// The rights the service asks for are the ones its calls need: the simulated
// machine checks them as Windows does (the conformance suite holds it to
// that), so a right dropped from an OpenPrinterW, OpenSCManagerA or
// OpenServiceA fails here as it would on a till.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "spooler/port_binding.h"
#include "spooler/printer_queue.h"
#include "tests/sim_fixture.h"

namespace {

class AccessRights : public SimTest {
 protected:
  // Debugger lines that report an access refused (5) by the spooler or the
  // control manager.
  std::vector<std::string> AccessDeniedLines() const {
    std::vector<std::string> lines;
    for (const std::string& line : machine.DebugLines()) {
      if (line.find(":5\n") != std::string::npos || line.find(":5\r\n") != std::string::npos ||
          line.find("0x5\n") != std::string::npos) {
        lines.push_back(line);
      }
    }
    return lines;
  }
};

TEST_F(AccessRights, TheQueueIsOpenedWithTheRightsToPauseItAndSetItsStatus) {
  machine.AddQueue(kQueue, L"USB001");
  EXPECT_EQ(SetPrinterErrorStatus(PRINTER_STATUS_DOOR_OPEN), static_cast<DWORD>(ERROR_SUCCESS));
  ResumePrinter();
  for (const sim::SpoolerCommand& command : machine.SpoolerJournal()) {
    EXPECT_TRUE(command.succeeded) << Describe(command) << " failed with " << command.error;
  }
  EXPECT_EQ(Describe(machine.SpoolerJournal()),
            (std::vector<std::string>{"pause", "status 0x400000", "resume", "status 0x0"}));
  EXPECT_TRUE(AccessDeniedLines().empty());
}

TEST_F(AccessRights, TheRebindingMayWriteThePortStopAndStartTheSpoolerAndQueryIt) {
  AddMovedPrinterSetup();
  machine.SetSpoolerStopTime(500);
  machine.SetSpoolerStartTime(700);
  SetPrinterPortAndRestartSpooler(L"USB002");
  EXPECT_EQ(machine.Queue(kQueue)->port, L"USB002");
  EXPECT_EQ(machine.SpoolerRestarts(), 1);
  EXPECT_TRUE(machine.SpoolerRunning());
  EXPECT_TRUE(AccessDeniedLines().empty()) << AccessDeniedLines().front();
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

}  // namespace
