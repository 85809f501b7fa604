#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/machine_state.h"

namespace {

TEST(Scheduler, ThreadsTakeTurnsInVirtualTimeOrder) {
  sim::Machine machine;
  std::vector<std::string> events;
  auto& m = machine.State();
  sim::StartThread(m, 1, "a", [&] {
    for (int i = 0; i < 3; ++i) {
      events.push_back("a@" + std::to_string(m.Now()));
      Sleep(300);
    }
    return DWORD{0};
  });
  sim::StartThread(m, 1, "b", [&] {
    for (int i = 0; i < 2; ++i) {
      events.push_back("b@" + std::to_string(m.Now()));
      Sleep(500);
    }
    return DWORD{0};
  });
  machine.Advance(1000);
  // At 0 both are ready and run in creation order; afterwards wake times decide.
  EXPECT_EQ(events, (std::vector<std::string>{"a@0", "b@0", "a@300", "b@500", "a@600"}));
  EXPECT_EQ(machine.Now(), 1000);
}

TEST(Scheduler, RunUntilIdleLetsNoTimePass) {
  sim::Machine machine;
  int passes = 0;
  sim::StartThread(machine.State(), 1, "sleeper", [&] {
    for (;;) {
      ++passes;
      Sleep(800);
    }
    return DWORD{0};
  });
  machine.RunUntilIdle();
  EXPECT_EQ(passes, 1);
  EXPECT_EQ(machine.Now(), 0);
  machine.Advance(800);
  EXPECT_EQ(passes, 2);  // the wake at exactly the target runs before the driver returns
}

TEST(Scheduler, EventWakesWaiterAndTimeoutExpires) {
  sim::Machine machine;
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::vector<DWORD> results;
  sim::StartThread(machine.State(), 1, "waiter", [&] {
    results.push_back(WaitForSingleObject(event, 1000));
    results.push_back(WaitForSingleObject(event, 1000));
    return DWORD{0};
  });
  machine.Advance(1000);
  ASSERT_EQ(results, std::vector<DWORD>{WAIT_TIMEOUT});
  SetEvent(event);
  machine.RunUntilIdle();
  EXPECT_EQ(results, (std::vector<DWORD>{WAIT_TIMEOUT, WAIT_OBJECT_0}));
  EXPECT_EQ(machine.Now(), 1000);
  CloseHandle(event);
}

TEST(Scheduler, WaitOnThreadHandleEndsWhenThreadReturns) {
  sim::Machine machine;
  DWORD waitResult = 0;
  DWORD exitCode = 0;
  sim::StartThread(machine.State(), 1, "parent", [&] {
    HANDLE child = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
          Sleep(250);
          return 7;
        },
        nullptr, 0, nullptr);
    waitResult = WaitForSingleObject(child, INFINITE);
    GetExitCodeThread(child, &exitCode);
    CloseHandle(child);
    return DWORD{0};
  });
  machine.Advance(1000);
  EXPECT_EQ(waitResult, WAIT_OBJECT_0);
  EXPECT_EQ(exitCode, 7u);
  EXPECT_EQ(machine.OpenHandles().Total(), 0);
}

TEST(Scheduler, AnHourOfPollingRunsFast) {
  sim::Machine machine;
  long passes = 0;
  sim::StartThread(machine.State(), 1, "poller", [&] {
    for (;;) {
      ++passes;
      Sleep(800);
    }
    return DWORD{0};
  });
  machine.Advance(3600 * 1000);
  EXPECT_EQ(passes, 3600 * 1000 / 800 + 1);
}

}  // namespace
