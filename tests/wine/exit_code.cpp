// Test tooling: runs the command line that follows its own name, lets the
// program use this console's streams, and then prints the code it exited
// with, "exit code: N", as the last line of standard output. The Linux process
// that Wine runs a program in exits with the low byte of the Windows exit
// code only (msiexec's 1633 reaches a shell as 97), so the tests read the
// whole code here.
//   exit_code PROGRAM [ARGS...]
// Exits with 0 once the program has run, whatever it returned; with 2 when it
// cannot be started (the Win32 error is printed).
#include <cstdio>
#include <string>

#include "common/unique_resource.h"

namespace {

// The rest of this process's own command line after its first word, exactly
// as written, so that quoted paths reach the program unchanged.
std::wstring CommandAfterOwnName() {
  const wchar_t* line = GetCommandLineW();
  if (*line == L'"') {
    ++line;
    while (*line != L'\0' && *line != L'"') ++line;
    if (*line == L'"') ++line;
  } else {
    while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  return line;
}

}  // namespace

int main() {
  std::wstring command = CommandAfterOwnName();
  if (command.empty()) {
    std::fputs("usage: exit_code PROGRAM [ARGS...]\n", stderr);
    return 2;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION started = {};
  // CreateProcessW may write into the command line, so it gets a copy it owns.
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started)) {
    std::fprintf(stderr, "exit_code: cannot start the program: error %lu\n",
                 static_cast<unsigned long>(GetLastError()));
    return 2;
  }
  const UniqueHandle process(started.hProcess);
  const UniqueHandle thread(started.hThread);
  DWORD code = 0;
  if (WaitForSingleObject(process.Get(), INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.Get(), &code)) {
    std::fprintf(stderr, "exit_code: no exit code: error %lu\n", static_cast<unsigned long>(GetLastError()));
    return 2;
  }
  std::fflush(stdout);
  std::printf("exit code: %lu\n", static_cast<unsigned long>(code));
  return 0;
}
