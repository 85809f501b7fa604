// Test tooling: keeps a Wine session (and so its services) alive. Wine ends
// the session, services included, a few seconds after its last ordinary
// process has exited; this process sleeps for the number of seconds given
// (default 120) and is ended early by the test that started it. It prints
// "ready" once the session is up.
#include <cstdio>
#include <cstdlib>

#include "platform/win32_api.h"

int main(int argc, char** argv) {
  std::puts("ready");
  std::fflush(stdout);
  const long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 120;
  Sleep(static_cast<DWORD>(seconds > 0 ? seconds : 0) * 1000);
  return 0;
}
