#include "tests/conformance/conformance.h"

#include <cstdio>
#include <set>
#include <vector>

namespace conformance {

namespace {

// The Win32 functions the service calls (service/, monitor/, device/,
// spooler/, common/): each must have at least one behaviour checked.
constexpr const char* kServiceCalls[] = {
    "AcquireSRWLockExclusive",
    "CancelSynchronousIo",
    "CloseHandle",
    "ClosePrinter",
    "CloseServiceHandle",
    "ControlService",
    "CreateEventW",
    "CreateFileW",
    "CreateThread",
    "EnumPortsW",
    "ExitProcess",
    "GetACP",
    "GetLastError",
    "GetPrinterW",
    "GetStdHandle",
    "GetTickCount",
    "GlobalAlloc",
    "GlobalFree",
    "InitializeSRWLock",
    "MultiByteToWideChar",
    "OpenPrinterW",
    "OpenSCManagerA",
    "OpenServiceA",
    "OutputDebugStringA",
    "QueryServiceStatus",
    "ReadFile",
    "RegCloseKey",
    "RegisterDeviceNotificationW",
    "RegisterServiceCtrlHandlerExW",
    "RegOpenKeyExA",
    "RegQueryValueExA",
    "ReleaseSRWLockExclusive",
    "SetEvent",
    "SetPrinterW",
    "SetServiceStatus",
    "SetupDiDestroyDeviceInfoList",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiGetClassDevsW",
    "SetupDiGetDeviceInterfaceDetailW",
    "Sleep",
    "StartServiceA",
    "StartServiceCtrlDispatcherW",
    "TryAcquireSRWLockExclusive",
    "UnregisterDeviceNotification",
    "WaitForSingleObject",
    "WideCharToMultiByte",
    "WriteFile",
};

struct Tally {
  int checked = 0;
  int matching = 0;
  std::vector<std::string> notModelled;
  std::vector<std::string> differing;
  std::set<std::string> functions;
};

Tally& Counts() {
  static Tally tally;
  return tally;
}

const ::testing::TestResult& CurrentResult() {
  return *::testing::UnitTest::GetInstance()->current_test_info()->result();
}

// Prints the figures once every test has run, and holds the suite to
// covering the service's calls.
class Summary : public ::testing::Environment {
 public:
  void TearDown() override {
    const Tally& tally = Counts();
    for (const char* function : kServiceCalls) {
      EXPECT_TRUE(tally.functions.contains(function)) << function << " has no behaviour checked";
    }
    for (const std::string& entry : tally.notModelled) std::printf("conformance: not modelled: %s\n", entry.c_str());
    for (const std::string& entry : tally.differing) std::printf("conformance: DOES NOT MATCH: %s\n", entry.c_str());
    std::printf("conformance: %d behaviours checked, %d match, %zu not modelled", tally.checked, tally.matching,
                tally.notModelled.size());
    if (!tally.differing.empty()) std::printf(", %zu do not match", tally.differing.size());
    std::printf(" (%zu functions)\n", tally.functions.size());
  }
};

[[maybe_unused]] ::testing::Environment* const kSummary = ::testing::AddGlobalTestEnvironment(new Summary);

}  // namespace

Behaviour::Behaviour(std::string function, std::string what)
    : function_(std::move(function)), what_(std::move(what)), firstPart_(CurrentResult().total_part_count()) {}

Behaviour::~Behaviour() {
  const ::testing::TestResult& result = CurrentResult();
  bool held = true;
  for (int i = firstPart_; i < result.total_part_count(); ++i) held = held && !result.GetTestPartResult(i).failed();
  Tally& tally = Counts();
  ++tally.checked;
  tally.functions.insert(function_);
  if (held) {
    ++tally.matching;
  } else {
    tally.differing.push_back(function_ + ": " + what_);
  }
}

NotModelled::NotModelled(std::string function, std::string what, std::string why)
    : function_(std::move(function)), what_(std::move(what)), why_(std::move(why)) {
  reporter_.emplace(&differences_);
}

NotModelled::~NotModelled() {
  reporter_.reset();
  Tally& tally = Counts();
  ++tally.checked;
  tally.functions.insert(function_);
  tally.notModelled.push_back(function_ + ": " + what_ + " (" + why_ + ")");
  int differences = 0;
  for (int i = 0; i < differences_.size(); ++i) differences += differences_.GetTestPartResult(i).failed() ? 1 : 0;
  EXPECT_GT(differences, 0) << function_ << ": " << what_
                            << ": listed as not modelled, but the simulated machine now answers as Windows does";
}

}  // namespace conformance
