#include <gtest/gtest.h>

#include "service/service_main.h"
#include "service/service_state.h"
#include "tests/sim_fixture.h"

namespace {

class ServiceLifecycle : public SimTest {};

TEST_F(ServiceLifecycle, SmokeMirrorsReadyPrinter) {
  AddPrinterSetup(0x20);
  machine.Plug(kPrinterPath);
  StartService();
  machine.Advance(800);
  EXPECT_EQ(machine.ServiceState(), static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(DebugLogContains("QZ5 STATUS:32"));
  for (const auto& e : machine.Trace()) std::printf("%6lld %d %s\n", (long long)e.time, (int)e.channel, e.text.c_str());
}

}  // namespace
